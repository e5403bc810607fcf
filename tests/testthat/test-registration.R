## The registration tables are the only way into the module.
entry_points <- list(
  .C = c(Qn0 = 3, Sn0 = 5, mc_C = 5, wgt_himed_i = 4, wgt_himed = 4, R_lmrob_S = 22,
         R_lmrob_MM = 17, R_psifun = 5, R_chifun = 5, R_wgtfun = 4,
         R_find_D_scale = 11, R_calc_fitted = 8, R_lmrob_M_S = 25, R_subsample = 20),
  .Fortran = c(rffastmcd = 48, rfltsreg = 42, rllarsbi = 18))

test_that("the routines are registered in order with their arity", {
  info <- getDLLRegisteredRoutines("kelvara")
  for (iface in names(entry_points)) {
    got <- info[[iface]]
    doc <- seq_along(entry_points[[iface]])
    expect_identical(vapply(got, function(r) as.numeric(r$numParameters), 1)[doc],
                     entry_points[[iface]])
    # Only the R layer's internal kv_ routines follow the documented ones.
    extra <- names(got)[-doc]
    expect_true(all(startsWith(extra, "kv_")), label = iface)
  }
  expect_length(info$.Call, 0L)
  expect_length(info$.External, 0L)
})

test_that("R refuses wrong argument counts and storage types for .C routines", {
  x <- c(0, 1, 2, 3)
  ok <- .C("R_psifun", x = x, 2, 1L, 0L, 4L, PACKAGE = "kelvara")$x
  expect_identical(ok, c(0, 0.5625, 0, 0))
  expect_error(.C("R_psifun", x, 2, 1L, 0L, PACKAGE = "kelvara"),
               "number of arguments")
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
