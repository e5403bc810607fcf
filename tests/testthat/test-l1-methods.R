## The formula interface, inference and prediction of l1_fit.

l1_data <- function(n = 40, seed = 3) {
  set.seed(seed)
  d <- data.frame(x = rnorm(n), g = factor(sample(c("a", "b", "c"), n, TRUE)),
                  w = runif(n, 0.5, 2), o = rnorm(n))
  d$y <- 1 + 2 * d$x + as.integer(d$g) + d$o + rt(n, 3)
  d
}

test_that("the formula method follows lm's model frame, design, NA handling and offsets", {
  d <- l1_data()
  d$y[4] <- d$x[7] <- NA
  sub <- seq_len(nrow(d)) != 11
  f <- l1_fit(y ~ x + g, data = d, subset = sub, weights = w, offset = o, na.action = na.exclude)
  m <- lm(y ~ x + g, data = d, subset = sub, weights = w, offset = o, na.action = na.exclude)
  X <- model.matrix(m)
  keep <- rownames(X)
  ## the same fit on the same rows, scaled by the weights
  f0 <- l1_fit(X * d[keep, "w"], (d[keep, "y"] - d[keep, "o"]) * d[keep, "w"], intercept = FALSE)
  expect_equal(coef(f), coef(f0), tolerance = 1e-8)
  expect_identical(list(nobs(f), which(is.na(fitted(f)))), list(nobs(m), which(is.na(fitted(m)))))
  expect_equal(fitted(f)[keep], drop(X %*% coef(f)) + d[keep, "o"], tolerance = 1e-10)
  ## newdata: factor levels, contrasts and the offset argument carried over
  nd <- data.frame(x = c(0, 1, NA), g = c("c", "a", "b"), o = c(1, 2, 3))
  X_new <- model.matrix(delete.response(terms(m)), model.frame(delete.response(terms(m)), nd,
                        na.action = na.pass, xlev = m$xlevels), contrasts.arg = m$contrasts)
  expect_equal(unname(predict(f, nd)), unname(drop(X_new %*% coef(f)) + nd$o))
  expect_equal(is.na(predict(f, nd)), is.na(predict(m, nd)), ignore_attr = TRUE)
  ## an offset in the formula is the same as the argument
  f2 <- l1_fit(y ~ x + g + offset(o), data = d, subset = sub, weights = w, na.action = na.exclude)
  expect_equal(coef(f2), coef(f), tolerance = 1e-10)
  expect_equal(predict(f2, nd), predict(f, nd), tolerance = 1e-10)
  ## aliased columns get NA, as in lm
  d$x2 <- 2 * d$x
  fa <- l1_fit(y ~ x + x2, data = d)
  expect_identical(is.na(coef(fa)), is.na(coef(lm(y ~ x + x2, data = d))))
  expect_true(all(is.na(vcov(fa)["x2", ])))
})

test_that("case weights multiply the absolute residuals", {
  d <- l1_data(30, seed = 8)
  d$k <- rep(1:3, 10)
  f <- l1_fit(y ~ x, data = d, weights = k)
  ## integer weights act as replicated rows: the same minimum
  fr <- l1_fit(y ~ x, data = d[rep(seq_len(30), d$k), ])
  expect_equal(sum(d$k * abs(residuals(f))), sum(abs(residuals(fr))), tolerance = 1e-10)
  ## a weight of 0 drops the row from the fit (and from nobs)
  d$k[1:5] <- 0
  f0 <- l1_fit(y ~ x, data = d, weights = k)
  expect_equal(coef(f0), coef(l1_fit(y ~ x, data = d[-(1:5), ], weights = k)), tolerance = 1e-10)
  expect_identical(c(nobs(f0), length(residuals(f0))), c(25L, 30L))
})

test_that("the sandwich covariance is equivariant and matches its confint, summary and predict", {
  d <- l1_data(80, seed = 5)
  f <- l1_fit(y ~ x + g, data = d)
  v <- vcov(f)
  ## response scaled by c: covariance by c^2; response shifted along the
  ## design: covariance unchanged; design reparametrised by A: A^-1 V A^-T
  expect_equal(vcov(l1_fit(I(3 * y) ~ x + g, data = d)), 9 * v, tolerance = 1e-8,
               ignore_attr = TRUE)
  expect_equal(vcov(l1_fit(I(y + 4 - x) ~ x + g, data = d)), v, tolerance = 1e-8)
  X <- model.matrix(f$terms, f$model)
  A <- matrix(c(1, 0, 0, 0, 2, 1, 0, 0, 0, 0, 1, 0, 0, 1, 0, -1), 4)
  fa <- l1_fit(X %*% A, d$y, intercept = FALSE)
  Ai <- solve(A)
  expect_equal(unname(vcov(fa)), unname(Ai %*% v %*% t(Ai)), tolerance = 1e-8)
  ## the default method predicts from a matrix of its columns
  expect_equal(predict(fa, (X %*% A)[1:3, ]), fitted(fa)[1:3], ignore_attr = TRUE)
  f1 <- l1_fit(d$x, d$y)
  expect_equal(predict(f1, c(0.5, 2)), sum(coef(f1) * c(1, 0.5)) + c(0, 1.5 * coef(f1)[[2]]))
  s <- summary(f)
  expect_equal(s$coefficients[, "Std. Error"], sqrt(diag(v)))
  ci <- confint(f, level = 0.9)
  expect_equal(ci[, 2] - ci[, 1], 2 * qt(0.95, nobs(f) - 4) * sqrt(diag(v)))
  p <- predict(f, d[1:3, ], interval = "confidence", level = 0.9, se.fit = TRUE)
  expect_equal(unname(p$se.fit^2), unname(diag(X[1:3, ] %*% v %*% t(X[1:3, ]))))
  pp <- predict(f, d[1:3, ], interval = "prediction")
  expect_true(all(pp[, "lwr"] < p$fit[, "lwr"] & pp[, "upr"] > p$fit[, "upr"]))
  expect_output(print(s), "studentized-quantile bandwidth")
  ## a fit without a solution has NA standard errors and intervals, no error
  k <- l1_status2_case()
  g <- suppressWarnings(l1_fit(k$x, k$y, intercept = FALSE, tol = k$tol))
  expect_true(all(is.na(confint(g))) && all(is.na(predict(g, k$x[1:2, ], interval = "prediction"))))
})

test_that("95 % intervals cover at n = 200 with normal and t3 errors", {
  ## 1000 fits per error law, coverage pooled over three coefficients:
  ## Monte Carlo s.e. about sqrt(0.95 * 0.05 / 3000) = 0.004 (a little more,
  ## as the three share their fits), so the window [0.93, 0.97] is some 3
  ## s.e. from the coverage of the long run in bench/l1-coverage.R
  ## (0.950-0.955 normal, 0.958-0.959 t3).
  set.seed(11)
  beta <- c(1, 2, -1)
  for (err in list(rnorm, function(n) rt(n, 3))) {
    hit <- replicate(1000, {
      x <- cbind(rnorm(200), runif(200))
      ci <- confint(l1_fit(x, drop(cbind(1, x) %*% beta) + err(200)))
      ci[, 1] <= beta & beta <= ci[, 2]
    })
    expect_true(mean(hit) >= 0.93 && mean(hit) <= 0.97, info = format(mean(hit)))
  }
})
