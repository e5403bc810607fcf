## The large-sample path of lmrob(): the design is copied only where rows
## are dropped or weights differ, so the paths that share the data must give
## the very same fit as those that copy it.

test_that("rows of prior weight 0 leave the fit exactly as the fit without them", {
  set.seed(5)
  n <- 2600  # beyond the size at which the S search draws groups
  d <- data.frame(x1 = rnorm(n), x2 = runif(n, 50, 60))
  d$y <- 3 + d$x1 - 2 * d$x2 + rnorm(n)
  d$y[1:260] <- d$y[1:260] + 40
  zero <- seq(7, n, by = 97)
  d$w <- 1
  d$w[zero] <- 0
  ctrl <- lmrob.config(seed = 3)
  f0 <- lmrob(y ~ x1 + x2, data = d, weights = w, control = ctrl)  # rows dropped: copies
  f1 <- lmrob(y ~ x1 + x2, data = d[-zero, ], control = ctrl)      # no weights: no copy
  for (e in c("coefficients", "scale", "cov", "r.squared", "df.residual"))
    expect_identical(f0[[e]], f1[[e]], info = e)
  expect_identical(fitted(f0)[-zero], fitted(f1))
  expect_identical(f0$rweights[-zero], f1$rweights)
  expect_true(all(is.na(f0$rweights[zero])))
  ## The fitted values of the dropped rows use the same coefficients.
  expect_equal(unname(fitted(f0)[zero]),
               drop(cbind(1, d$x1[zero], d$x2[zero]) %*% coef(f0)))
})

test_that("a weighted row beyond the range of doubles is refused, not fitted", {
  set.seed(6)
  d <- data.frame(x = rnorm(50))
  d$y <- d$x + rnorm(50)
  d$x[1] <- 1e160   # finite, and so is its weight; their product is not
  d$w <- c(1e300, rep(1, 49))
  expect_error(lmrob(y ~ x, data = d, weights = w), "not representable in the units of the fit")
  d$w[1] <- 1
  expect_s3_class(suppressWarnings(lmrob(y ~ x, data = d, weights = w)), "lmrob")
})

test_that("the aliased columns are those the pivoted QR puts beyond the rank", {
  ## The cross-product only spares the QR of a design it keeps whole; near
  ## and exact dependencies of every strength must give the QR's answer.
  by_qr <- function(x) {
    q <- qr(x, tol = 1e-7)
    a <- logical(ncol(x))
    if (q$rank < ncol(x)) a[q$pivot[(q$rank + 1L):ncol(x)]] <- TRUE
    a
  }
  set.seed(8)
  n <- 300
  a <- rnorm(n)
  b <- runif(n)
  g <- factor(sample(1:3, n, TRUE))
  for (e in 10^-(0:14)) {
    x <- cbind(1, a, b, a + 2 * b + e * rnorm(n), 1e6 * b)
    expect_identical(kelvara:::.aliased_columns(x), by_qr(x), info = format(e))
    x[, 5] <- 1e-6 * (a + e * rnorm(n))
    expect_identical(kelvara:::.aliased_columns(x), by_qr(x), info = format(e))
  }
  x <- cbind(1, model.matrix(~ 0 + g), a, 0)
  expect_identical(kelvara:::.aliased_columns(x), by_qr(x))
  expect_identical(kelvara:::.aliased_columns(x[1:3, ]), by_qr(x[1:3, ]))
  expect_false(any(kelvara:::.aliased_columns(cbind(1, a, b))))
})
