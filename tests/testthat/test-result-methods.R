## Accessors of lts fits and of the matrix-level regression results.

test_that("lts: vcov, confint, nobs and weights agree with the reweighted fit", {
  set.seed(2)
  n <- 60L
  x <- cbind(rnorm(n), rnorm(n))
  y <- drop(1 + x %*% c(2, -1)) + rnorm(n)
  y[1:6] <- y[1:6] + 20
  l <- lts(x, y, seed = 1)
  w <- weights(l)
  expect_true(all(w[1:6] == 0))
  expect_setequal(w, c(0, 1))
  ci <- confint(l, level = 0.9)
  s <- summary(l)$coefficients
  expect_equal(unname((ci[, 1] + ci[, 2]) / 2), unname(s[, "Reweighted"]))
  expect_equal(unname(ci[, 2] - ci[, 1]),
               unname(2 * qt(0.95, sum(w) - 3) * s[, "Std. Error"]))
  expect_identical(rownames(confint(l, parm = 2)), rownames(s)[2])
  expect_identical(nobs(l), n)
  ## NA rows excluded from the fit are padded back
  d <- data.frame(y = y, x1 = x[, 1], x2 = x[, 2])
  d$y[10] <- NA
  lf <- lts(y ~ x1 + x2, data = d, seed = 1, na.action = na.exclude)
  expect_length(weights(lf), n)
  expect_true(is.na(weights(lf)[10]))
  expect_identical(nobs(lf), n - 1L)
})

test_that("matrix-level results: classes, coefficients, and fitted plus residuals giving y", {
  set.seed(4)
  n <- 50
  x <- cbind(1, rnorm(n), rnorm(n))
  y <- drop(x %*% c(1, 2, -1)) + rt(n, 3)
  ctl <- lmrob_control(nsamp = 100)
  s <- lmrob_S(x, y, ctl)
  m <- lmrob_MM(x, y, coef(s), s$scale, ctl)
  ms <- lmrob_M_S(x[, 1, drop = FALSE], x[, -1], y)
  fits <- list(`S-estimate` = s, `MM-estimate` = m, `M-S estimate` = ms)
  for (i in 1:3) {
    f <- fits[[i]]
    expect_s3_class(f, c("lmrob_S", "lmrob_MM", "lmrob_M_S")[i], exact = TRUE)
    expect_output(print(f), names(fits)[i], fixed = TRUE)
    expect_identical(coef(f), f$coefficients)
    expect_equal(fitted(f), drop(x %*% coef(f)), tolerance = 1e-10, ignore_attr = TRUE)
    expect_equal(fitted(f) + residuals(f), y, tolerance = 1e-10, ignore_attr = TRUE)
  }
})
