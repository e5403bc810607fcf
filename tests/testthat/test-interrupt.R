test_that("every long fit returns promptly on a user interrupt; later fits are unchanged", {
  skip_on_os("windows")
  set.seed(7)
  x <- cbind(1, matrix(stats::rnorm(120), 40))
  y <- drop(x %*% c(1, -1, 2, 0.5)) + stats::rnorm(40)
  y[1:5] <- y[1:5] + 20
  small <- function() {
    set.seed(1)
    list(S = lmrob_S(x, y, lmrob_control(n_resample = 50)),
         mcd = mcd(x[, -1], nsamp = 50, seed = 2)[c("center", "cov", "best")],
         lts = lts(x[, -1], y, nsamp = 50)$coefficients)
  }
  before <- small()
  fits <- interrupt_fits()
  for (nm in names(fits)) {
    r <- interrupt_latency(fits[[nm]]())
    expect_identical(r$result, "interrupted", label = nm)
    expect_lt(r$latency, 1, label = paste(nm, "latency"))
  }
  expect_identical(small(), before)
})

test_that("an interrupt under options(warn = 2) is still an interrupt", {
  skip_on_os("windows")
  old <- options(warn = 2)
  on.exit(options(old))
  r <- interrupt_latency(interrupt_fits()$S())
  expect_identical(r$result, "interrupted")
  expect_lt(r$latency, 1)
})
