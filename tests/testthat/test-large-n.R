## The large-sample path of lmrob(): the design is copied only where rows
## are dropped or weights differ, and a cross-product spares the aliasing QR;
## the shortcuts must give the very same fit and columns.

test_that("rows of prior weight 0 leave the fit exactly as the fit without them", {
  set.seed(5)
  n <- 2600  # beyond the size at which the S search draws groups
  d <- data.frame(x1 = rnorm(n), x2 = runif(n, 50, 60))
  d$y <- 3 + d$x1 - 2 * d$x2 + rnorm(n) + 40 * (1:n <= 260)
  zero <- seq(7, n, by = 97)
  d$w <- replace(rep(1, n), zero, 0)
  ctrl <- lmrob.config(seed = 3)
  f0 <- lmrob(y ~ x1 + x2, data = d, weights = w, control = ctrl)  # rows dropped: copies
  f1 <- lmrob(y ~ x1 + x2, data = d[-zero, ], control = ctrl)      # no weights: no copy
  for (e in c("coefficients", "scale", "cov", "r.squared"))
    expect_identical(f0[[e]], f1[[e]], info = e)
  expect_identical(list(fitted(f0)[-zero], f0$rweights[-zero]), list(fitted(f1), f1$rweights))
  ## A weighted row beyond the range of doubles is refused, not fitted.
  d <- transform(d[1:50, ], x1 = replace(x1, 1, 1e160), w = replace(w, 1, 1e300))
  expect_error(lmrob(y ~ x1, data = d, weights = w), "not representable in the units of the fit")
})

test_that("the aliased columns are those the pivoted QR puts beyond the rank", {
  by_qr <- function(x) {
    q <- qr(x, tol = 1e-7)
    replace(logical(ncol(x)), q$pivot[seq_len(ncol(x) - q$rank) + q$rank], TRUE)
  }
  set.seed(8)
  n <- 300
  a <- rnorm(n); b <- runif(n)
  for (e in 10^-(0:14)) {  # near dependencies of every strength
    x <- cbind(1, a, b, a + 2 * b + e * rnorm(n), 1e6 * b)
    expect_identical(kelvara:::.aliased_columns(x), by_qr(x), info = format(e))
    x[, 5] <- 1e-6 * (a + e * rnorm(n))
    expect_identical(kelvara:::.aliased_columns(x), by_qr(x), info = format(e))
  }
  x <- cbind(1, model.matrix(~ 0 + factor(rep(1:3, 100))), a, 0)
  expect_identical(kelvara:::.aliased_columns(x), by_qr(x))
  expect_identical(kelvara:::.aliased_columns(x[1:3, ]), by_qr(x[1:3, ]))
})

test_that("the set-up's shortcuts (one standardisation, residuals from the fitted values) change no number", {
  set.seed(11)
  n <- 400
  d <- data.frame(x1 = rnorm(n, 1e6, 1e3), x2 = rnorm(n), f = gl(4, n / 4))
  d$x3 <- 2 * d$x2  # aliased
  d$y <- 1e-3 * d$x1 + d$x2 + as.integer(d$f) + rnorm(n) + 30 * (1:n <= 40)
  d$y2 <- d$y - 1e-3 * d$x1  # in range: the problem is the data themselves
  ## Standardising the set-up's data again (the long way) gives what the set-up keeps.
  for (fo in list(y ~ x1 + x2 + f + x3, y2 ~ x2 + f + x3, y2 ~ 0 + x2)) {
    x <- model.matrix(fo, d)
    pr <- suppressWarnings(kelvara:::.lmrob_problem(x, model.response(model.frame(fo, d)),
                                                    NULL, NULL, colnames(x)))
    expect_identical(kelvara:::.problem_data(pr), kelvara:::.fit_data(pr$xw, pr$yw),
                     info = deparse(fo))
  }
  ## The weights and R^2 from the residuals recomputed from the coefficients.
  f <- suppressWarnings(lmrob(y2 ~ x2 + f + x3, data = d))
  X <- model.matrix(f)[, !f$aliased]
  r <- d$y2 - drop(X %*% coef(f)[!f$aliased])
  expect_identical(unname(f$rweights), wgt_func(unname(r) / f$scale, "bisquare", f$tuning))
  expect_identical(f$r.squared, kelvara:::.lmrob_inference(
    X, d$y2, NULL, f$scale, f$control, f$tuning, TRUE, NULL, FALSE, r = r)$r.squared)
})
