## The triangular factor of a subset of rows (the least-squares fits of
## lts) is formed in fixed row blocks on the call's threads.

test_that("the row-block factor is the same for 1, 2 and 16 threads and is a factor of the rows", {
  set.seed(12)
  n <- 30001  # many blocks, the last one partial
  X <- cbind(matrix(stats::rnorm(3 * n), n), 1)
  y <- drop(X %*% c(1, -2, 3, 4)) + stats::rnorm(n)
  rows <- sort(sample(n, 25001))
  tri <- function(k, ...) kelvara:::.with_threads(k, kelvara:::.qr_factor_rows(...))
  R <- tri(1, X, rows, y)
  expect_identical(tri(2, X, rows, y), R)
  expect_identical(tri(16, X, rows, y), R)
  Z <- cbind(X, y)[rows, ]
  expect_equal(crossprod(R), unname(crossprod(Z)), tolerance = 1e-12)
  expect_true(all(R[lower.tri(R)] == 0))
  expect_equal(qr.coef(qr(R[, 1:4]), R[, 5]), unname(qr.coef(qr(Z[, 1:4]), Z[, 5])),
               tolerance = 1e-12)
  # Columns of 1e200 and 1e-200 (whose squares leave the doubles), a
  # collinear column, fewer rows than columns, and no rows at all.
  W <- cbind(X[, 1:2] * c(1e200, 1e-200)[col(X[, 1:2])], X[, 1] * 1e200 + X[, 2] * 1e-200)
  RW <- tri(2, W, rows)
  expect_equal(abs(RW[1:2, 1:2]) / rep(c(1e200, 1e-200), each = 2),
               abs(tri(1, X[, 1:2], rows)), tolerance = 1e-12)
  expect_identical(qr(RW)$rank, qr(W[rows, ])$rank)
  expect_identical(qr(RW)$rank, 2L)
  expect_identical(qr(tri(1, X, 3:4))$rank, 2L)
  expect_identical(tri(1, X, integer(0), y), matrix(0, 5, 5))
})

test_that("the cross-product of a long matrix is x'x for any thread count, and NA stays NA", {
  set.seed(13)
  n <- 40001  # several row blocks, the last partial
  X <- cbind(matrix(stats::rnorm(3 * n, 5), n), stats::runif(n) * 1e6)
  cp <- function(k, ...) kelvara:::.with_threads(k, kelvara:::.cross_product(...))
  for (ones in c(FALSE, TRUE)) {
    C1 <- cp(1, X, ones)
    expect_identical(cp(2, X, ones), C1)
    expect_identical(cp(16, X, ones), C1)
    expect_equal(C1, unname(crossprod(if (ones) cbind(X, 1) else X)), tolerance = 1e-12)
    expect_identical(C1, t(C1))
  }
  X[777, 2] <- NA
  expect_true(is.na(cp(2, X, TRUE)[2, 5]))
  expect_false(kelvara:::.clearly_full_rank(X))
  # a column of ones beside an intercept-free design that holds one
  expect_false(kelvara:::.clearly_full_rank(cbind(X[-777, ], 1), ones = TRUE))
  expect_true(kelvara:::.clearly_full_rank(X[-777, ], ones = TRUE))
})

test_that("the pass after the search refits the best subset and keeps the definitions", {
  set.seed(13)
  n <- 1e5  # the selection of the h smallest squares takes several two-thread passes
  X <- cbind("(Intercept)" = 1, a = stats::rnorm(n), b = stats::rnorm(n))
  y <- drop(X %*% c(1, 2, -1)) + stats::rnorm(n) + 15 * (seq_len(n) <= n / 8)
  h <- 50003L
  best <- sort(sample(n, h))
  fit <- list(coefficients = c("(Intercept)" = 0, a = 0, b = 0), best = best, refit = TRUE)
  f <- lapply(c(1, 2, 16), function(k) kelvara:::.with_threads(k, kelvara:::.lts_finish(fit, X, y, h)))
  expect_identical(f[2:3], f[c(1, 1)])
  f <- f[[1]]
  expect_equal(f$coefficients, stats::lm.fit(X[best, ], y[best])$coefficients, tolerance = 1e-12)
  r <- y - drop(X %*% f$coefficients)
  expect_equal(unname(f$residuals), r, tolerance = 1e-12)
  expect_equal(f$crit, sum(sort(r^2)[seq_len(h)]), tolerance = 1e-13)
  expect_identical(f$weights, as.numeric(abs(f$residuals) <= 2.5 * f$scale))
  ok <- f$weights == 1
  expect_equal(f$reweighted$coefficients, stats::lm.fit(X[ok, ], y[ok])$coefficients,
               tolerance = 1e-12)
  # the reweighted fit's values and scale are R's product and sum, exactly
  rf <- drop(X %*% f$reweighted$coefficients)
  expect_identical(unname(f$reweighted$fitted.values), rf)
  rr <- (y - rf)[ok]
  expect_identical(f$reweighted$scale,
                   kelvara:::.lts_rw_constants(h, n)$scale * sqrt(sum(rr^2) / (sum(ok) - 3)) *
                     f$small_sample[["reweighted"]])
  # A best subset on which column b vanishes: the search's coefficients stay.
  Xb <- X
  Xb[best, "b"] <- 0
  fit$coefficients[] <- c(1, 2, 0.5)
  expect_warning(g <- kelvara:::.lts_finish(fit, Xb, y, h), "best subset is rank-deficient")
  expect_identical(g$coefficients, fit$coefficients)
})

test_that("the search's selection of many cases keeps the h smallest residuals, with or without ties", {
  # Beyond 20000 cases the search selects the h smallest residuals in
  # passes over blocks; a tie at the h-th value leaves the choice to the
  # one-thread selection.  Either way the search's criterion is the sum of
  # the h smallest squared residuals of its coefficients.
  set.seed(21)
  n <- 24001
  X <- matrix(stats::rnorm(2 * n), n)
  y <- drop(X %*% c(2, -1)) + stats::rnorm(n)
  y[1:3000] <- y[1:3000] + 30
  pool <- sample(n, 40)  # the same data with every case one of 40 rows: ties
  dup <- sample(pool, n, replace = TRUE)
  Z <- cbind(X, ifelse(seq_len(n) %% 5 < 3, 0, X[, 1]))  # a column of zero MAD
  for (d in list(list(X = X, y = y), list(X = X[dup, ], y = y[dup]), list(X = Z, y = y))) {
    f <- lapply(c(1, 2), function(k) kelvara:::.with_threads(k, lts(d$X, d$y, seed = 5)))
    expect_identical(f[[1]], f[[2]])
    r <- d$y - drop(cbind(1, d$X) %*% f[[1]]$search_coefficients)
    expect_equal(f[[1]]$search_crit, sum(sort(r^2)[seq_len(f[[1]]$h)]), tolerance = 1e-10)
    expect_length(f[[1]]$best, f[[1]]$h)
  }
})
