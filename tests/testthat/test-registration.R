## The registration tables are the only way into the module.
test_that("R refuses wrong argument counts and storage types for .C routines", {
  x <- c(0, 1, 2, 3)
  expect_identical(.C("R_psifun", x = x, 2, 1L, 0L, 4L, PACKAGE = "kelvara")$x, c(0, 0.5625, 0, 0))
  expect_error(.C("R_psifun", x, 2, 1L, 0L, PACKAGE = "kelvara"), "number of arguments")
  expect_error(.C("R_psifun", x, 2, 1, 0L, 4L, PACKAGE = "kelvara"), "type")
  expect_error(.C("R_wgtfun", x, 2L, 1L, 4L, PACKAGE = "kelvara"), "type")
  expect_error(.C("R_find_D_scale", x, 1, rep(1, 4), 4L, 1, 2, 1L, 3L, 1e-7, 10L,
                  0L, PACKAGE = "kelvara"), "type")
})

test_that("module symbols that are not registered cannot be reached", {
  for (sym in c("find_scale", "rwls", "fast_s", "qn", "unifrnd_", "rfltsreg_"))
    expect_false(is.loaded(sym, PACKAGE = "kelvara"), label = sym)
  expect_error(.C("find_scale", PACKAGE = "kelvara"))
  expect_error(.C("rffastmcd", PACKAGE = "kelvara"))  # a .Fortran routine
})
