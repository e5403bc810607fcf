## L1 regression: optimality against brute force and the subgradient
## condition, the worked location examples, rank deficiency, invariances.

l1_objective <- function(X, y, b) sum(abs(y - X %*% b))

## Smallest sum |r| over every exact fit through p of the n cases (the L1
## optimum is attained at one of them when X has full column rank).
l1_brute_force <- function(X, y)
  min(vapply(combn(nrow(X), ncol(X), simplify = FALSE), function(S) {
    XS <- X[S, , drop = FALSE]
    if (abs(det(XS)) < 1e-10) Inf else l1_objective(X, y, solve(XS, y[S]))
  }, 0))

## Largest |u_i| of the multipliers at the zero-residual cases Z that balance
## the signs of the other residuals: sum_{i not in Z} sign(r_i) x_i +
## sum_{i in Z} u_i x_i = 0.  The fit is L1-optimal iff max |u_i| <= 1.
l1_multiplier <- function(X, r, zero = 1e-9 * max(1, abs(r))) {
  Z <- which(abs(r) <= zero)
  g <- colSums(sign(r[-Z]) * X[-Z, , drop = FALSE])
  max(abs(qr.solve(t(X[Z, , drop = FALSE]), -g)))
}

test_that("the L1 objective is minimal over every exact fit (tiny data)", {
  set.seed(11)
  for (rep in 1:25) {
    n <- sample(5:9, 1)
    p <- sample(1:3, 1)
    x <- matrix(round(rnorm(n * p), if (rep %% 2) 1 else 6), n, p)
    y <- round(x %*% rnorm(p) + rnorm(n) * 2, if (rep %% 3) 0 else 6)
    f <- l1_fit(x, y, intercept = rep %% 4 != 0)
    X <- if (rep %% 4 != 0) cbind(1, x) else x
    expect_true(f$rank == ncol(X) && f$status <= 1L)
    expect_equal(l1_objective(X, y, f$coefficients), l1_brute_force(X, y), tolerance = 1e-9)
    # The residuals returned are those of the coefficients returned, and the
    # fit passes exactly through as many cases as the rank.
    expect_equal(f$residuals, drop(y - X %*% f$coefficients), tolerance = 1e-9)
    expect_gte(sum(f$residuals == 0), f$rank)
  }
})

test_that("larger fits satisfy the subgradient condition", {
  set.seed(3)
  n <- 400
  x <- cbind(rnorm(n), runif(n), rexp(n), rnorm(n))
  y <- drop(2 + x %*% c(1, -3, 0.5, 0) + rt(n, 1.5))
  f <- l1_fit(x, y)
  X <- cbind(1, x)
  expect_equal(f$status, 1L)
  expect_lt(l1_multiplier(X, f$residuals), 1 + 1e-8)
  # Any small move away from the solution raises the objective.
  obj <- l1_objective(X, y, f$coefficients)
  for (j in 1:ncol(X)) for (h in c(-1e-4, 1e-4))
    expect_gt(l1_objective(X, y, f$coefficients + h * (seq_len(ncol(X)) == j)), obj)
  # The scale is the (n/2+1)-th smallest absolute residual over the divisor.
  expect_equal(f$scale, sort(abs(f$residuals))[n / 2 + 1] / 0.773372647623)
})

test_that("a location model gives the median and the documented status codes", {
  f <- l1_fit(NULL, c(1, 2, 3))
  expect_equal(c(f$coefficients, f$residuals, f$scale), c(2, -1, 0, 1, 1 / 0.773372647623),
               ignore_attr = TRUE)
  expect_identical(c(f$iterations, f$rank, f$status), c(1L, 1L, 1L))
  # An even count: not unique, the marginal cost ends at -2.
  f4 <- l1_fit(NULL, c(1, 2, 3, 4))
  expect_equal(unname(f4$coefficients), 2)
  expect_identical(f4$status, 0L)
  set.seed(5)
  y <- rlnorm(301)
  expect_equal(unname(l1_fit(NULL, y)$coefficients), median(y))
  # Heavy ties: the objective equals that of the median.
  yt <- sample(0:4, 200, replace = TRUE)
  ft <- l1_fit(rep(1, 200), yt, intercept = FALSE)
  expect_equal(sum(abs(yt - ft$coefficients)), sum(abs(yt - median(yt))))
  # Values beyond the simplex's start values for its ratio search.
  expect_equal(unname(l1_fit(NULL, c(3e39, 1e39, 2e39))$coefficients), 2e39)
})

test_that("dependent columns, interpolation and zero response", {
  set.seed(8)
  n <- 30
  x <- cbind(rnorm(n), rnorm(n))
  y <- rnorm(n)
  f <- l1_fit(x, y)
  fd <- l1_fit(cbind(x, x[, 2]), y)
  expect_identical(c(fd$rank, fd$status), c(3L, 0L))
  # One of the twin columns keeps 0; together they carry the single column's
  # coefficient (the fit without the twin is unique).
  expect_equal(min(abs(fd$coefficients[3:4])), 0)
  expect_equal(sum(fd$coefficients[3:4]), unname(f$coefficients[3]), tolerance = 1e-10)
  expect_equal(fd$coefficients[1:2], f$coefficients[1:2], tolerance = 1e-10)
  # A column that is a combination of others, and a zero column.
  fc <- l1_fit(cbind(x, x[, 1] - 2 * x[, 2], 0), y)
  expect_equal(fc$rank, 3L)
  for (g in list(fd, fc))
    expect_equal(sum(abs(g$residuals)), sum(abs(f$residuals)), tolerance = 1e-10)
  # n = p: the fit interpolates; fewer cases than columns: rank n.
  fi <- l1_fit(x[1:3, ], y[1:3])
  expect_identical(fi$scale, 0)
  fs <- l1_fit(cbind(x, x^2)[1:3, ], y[1:3])
  expect_equal(fs$rank, 3L)
  expect_equal(c(fi$residuals, max(abs(fs$residuals))), rep(0, 4))
  f0 <- l1_fit(x, rep(0, n))
  expect_equal(c(f0$coefficients, f0$residuals), rep(0, 3 + n), ignore_attr = TRUE)
})

test_that("the caller's data are never modified, and input is validated", {
  set.seed(2)
  x <- matrix(rnorm(40), 20, 2)
  y <- rnorm(20)
  x0 <- x + 0; y0 <- y + 0
  l1_fit(x, y); l1_fit(x, y, intercept = FALSE)
  expect_identical(list(x, y), list(x0, y0))
  expect_error(l1_fit(NULL, y, intercept = FALSE), "nothing to fit")
})

test_that("a loss of precision is reported, not returned as a fit", {
  d <- l1_status2_case()
  expect_warning(f <- l1_fit(d$x, d$y, intercept = FALSE, tol = d$tol), "stopped early")
  expect_identical(f$status, 2L)
  expect_true(all(is.na(c(f$coefficients, f$residuals, f$scale))))
  expect_identical(l1_fit(d$x, d$y, intercept = FALSE)$status, 1L)
})

test_that("the fit is an object with print, coef, residuals and fitted methods", {
  set.seed(4)
  x <- cbind(a = rnorm(30), b = rnorm(30))
  y <- drop(1 + x %*% c(2, -1)) + rt(30, 2)
  f <- l1_fit(x, y)
  expect_s3_class(f, "l1_fit")
  expect_equal(fitted(f), drop(cbind(1, x) %*% coef(f)), tolerance = 1e-10)
  expect_equal(fitted(f) + residuals(f), y)
})

test_that("L1 fits in extreme units are optimal, and the optimality check tells", {
  set.seed(8)
  x <- rnorm(12)
  y <- 1 + 2 * x + rt(12, 2)
  X <- cbind(1, x)
  best <- l1_brute_force(X, y)
  for (u in list(c(1e-8, 1e-8), c(1, 1e-150), c(1e100, 1))) {
    f <- l1_fit(x * u[2], y * u[1])
    expect_lte(f$status, 1L)
    expect_equal(sum(abs(f$residuals)) / u[1], best, tolerance = 1e-9)
    expect_equal(unname(f$coefficients[2]) * u[2] / u[1],
                 unname(l1_fit(x, y)$coefficients[2]), tolerance = 1e-9)
  }
  # The check itself: the optimum passes, a point off it fails.
  b <- l1_fit(x, y)$coefficients
  expect_identical(c(kelvara:::.l1_optimal(X, y, b), kelvara:::.l1_optimal(X, y, b + c(0, 0.3))),
                   c(TRUE, FALSE))
})
