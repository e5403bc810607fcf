test_that("the thread count follows the option and refuses unusable values", {
  old <- options(kelvara.threads = NULL)
  on.exit(options(old))
  def <- kelvara_threads()
  expect_true(def >= 1L)
  if (isTRUE(attr(def, "openmp"))) {
    options(kelvara.threads = 3)
    expect_equal(as.integer(kelvara_threads()), 3L)
    expect_equal(as.integer(kelvara:::.with_threads(1, kelvara_threads())), 1L)
    expect_equal(getOption("kelvara.threads"), 3)
  }
  for (bad in list(0, 1.5, NA, "2", c(1, 2), 257))
    expect_error(kelvara:::.check_threads(bad), "'threads' must be")
})
