test_that("every long fit returns promptly on a user interrupt; later fits are unchanged", {
  skip_on_os("windows")
  set.seed(7)
  x <- cbind(1, matrix(stats::rnorm(120), 40))
  y <- drop(x %*% c(1, -1, 2, 0.5)) + stats::rnorm(40) + 20 * (1:40 <= 5)
  small <- function() {
    set.seed(1)
    list(S = lmrob_S(x, y, lmrob_control(nsamp = 50)),
         mcd = mcd(x[, -1], nsamp = 50, seed = 2)[c("center", "cov", "best")],
         lts = lts(x[, -1], y, nsamp = 50)$coefficients)
  }
  before <- small()
  fits <- interrupt_fits()
  for (nm in names(fits)) expect_interrupted(fits[[nm]](), label = nm)
  # The searches whose trials run on several threads, on two.
  old <- options(kelvara.threads = 2)
  for (nm in c("MCD", "LTS")) expect_interrupted(fits[[nm]](), label = paste(nm, "on two threads"))
  options(old)
  expect_identical(small(), before)
})

test_that("an interrupt under options(warn = 2) is still an interrupt", {
  skip_on_os("windows")
  old <- options(warn = 2)
  on.exit(options(old))
  expect_interrupted(interrupt_fits()$S())
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
  for (after in c(0.02, 0.08, 0.15, 0.25, 0.4))
    expect_interrupted(medcouple(x), after, label = paste("medcouple at", after))
  # Each runs for a second or more without the signal.
  calls <- list(qn = function() qn(c(x, x)), sn = function() sn(c(x, x)),
                l1_fit = function() l1_fit(X, y))
  for (nm in names(calls)) expect_interrupted(calls[[nm]](), 0.3, label = nm)
  expect_identical(small(), before)
})

test_that("the R-level work of large lts, mcd and l1_fit fits answers an interrupt and keeps its numbers", {
  skip_on_os("windows")
  set.seed(9)
  n <- 3e5  # more rows than one block at these widths
  X <- matrix(stats::rnorm(n * 3), ncol = 3)
  y <- drop(X %*% 1:3) + stats::rt(n, 2)
  # The blocks give the numbers of single calls: moments identical, the
  # distances those of the definition, the rank that of qr() of the design.
  Z <- matrix(stats::rnorm(n * 12), ncol = 12) * 10^(0:11 %% 4) + 5e3
  m <- kelvara:::.cov_blocks(Z, seq(1, n, 2))
  expect_identical(m$cov, stats::cov(Z[seq(1, n, 2), ]))
  expect_identical(m$center, colMeans(Z[seq(1, n, 2), ]))
  m <- kelvara:::.cov_blocks(Z)
  expect_equal(kelvara:::.mcd_sq_dist(kelvara:::.mcd_prescale(Z), m$center + 1, m$cov),
               stats::mahalanobis(Z, m$center + 1, m$cov), tolerance = 1e-9)
  Xd <- cbind(X, X[, 1] - 2 * X[, 3] + 1e-10 * stats::rnorm(n))
  expect_identical(qr(kelvara:::.qr_factor_rows(cbind(Xd, 1)))$rank, qr(cbind(Xd, 1))$rank)
  expect_error(lts(Xd, y), "rank-deficient \\(rank 4 < 5")
  R <- kelvara:::.qr_factor_rows(cbind(X, 1), 2:n, y)
  expect_equal(qr.coef(qr(R[, 1:4]), R[, 5]),
               unname(qr.coef(qr(cbind(X, 1)[-1, ]), y[-1])), tolerance = 1e-12)
  # Signals over the whole run of each fit (each takes a second or more).
  calls <- list(lts = function() lts(X, y, nsamp = 100),
                mcd = function() mcd(Z, nsamp = 50),
                l1_fit = function() l1_fit(Z[1:2e5, ], y[1:2e5]),
                lts_threads = function() lts(X, y, nsamp = 100, threads = 2),
                mcd_threads = function() mcd(Z, nsamp = 50, threads = 2))
  for (nm in names(calls)) for (after in c(0.05, 0.2, 0.35)) {
    r <- interrupt_latency(calls[[nm]](), after)
    expect_true(r$result %in% c("interrupted", "completed"), label = nm)
    if (r$result == "interrupted")
      expect_lt(r$latency, 1, label = paste(nm, "latency at", after))
  }
})

test_that("a threaded mcd of a million cases answers an interrupt in its compiled search", {
  skip_on_os("windows")
  set.seed(10)
  Z <- matrix(stats::rnorm(1e6 * 20), ncol = 20)
  old <- options(kelvara.threads = 2)
  on.exit(options(old))
  # The compiled search starts after about 0.2 s of prescaling and runs for
  # about 2 s (2 threads).
  expect_interrupted(mcd(Z), 1)
})
