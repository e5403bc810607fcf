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

test_that("the univariate statistics and the L1 fit answer an interrupt, also during memory set-up", {
  skip_on_os("windows")
  set.seed(8)
  x <- rexp(4e6)
  X <- matrix(stats::rnorm(4e6), ncol = 10)
  y <- drop(X %*% (1:10)) + stats::rt(nrow(X), 2)
  small <- function() list(qn(x[1:3000]), sn(x[1:3000]), medcouple(x[1:3000]),
                           l1_fit(X[1:400, ], y[1:400])$coefficients)
  before <- small()
  # The early signals land while the medcouple copies, sorts and sets up its
  # work memory, where an interrupt once turned into an allocation failure.
  for (after in c(0.02, 0.08, 0.15, 0.25, 0.4)) {
    r <- interrupt_latency(medcouple(x), after)
    expect_identical(r$result, "interrupted", label = paste("medcouple at", after))
    expect_lt(r$latency, 1, label = paste("medcouple latency at", after))
  }
  # Each runs for a second or more without the signal.
  calls <- list(qn = function() qn(c(x, x)), sn = function() sn(c(x, x)),
                l1_fit = function() l1_fit(X, y))
  for (nm in names(calls)) {
    r <- interrupt_latency(calls[[nm]](), 0.3)
    expect_identical(r$result, "interrupted", label = nm)
    expect_lt(r$latency, 1, label = paste(nm, "latency"))
  }
  expect_identical(small(), before)
})
