## What the fits report: exact fits only where the residuals show them (in
## any units), no estimate made of a scale too small to weigh anything, size
## settings bounded with clear messages, one rule for coefficient names.

test_that("exact fits are reported by the residuals, in any units", {
  set.seed(1); x <- rnorm(30); y <- 1 + 2 * x; y[1:10] <- y[1:10] + rnorm(10)
  for (a in c(1, 1e-100, 1e100)) {
    expect_warning(f <- lmrob_S(cbind(1, x), a * y),
                   "exact fit: 20 of 30 observations lie on the fitted hyperplane")
    expect_identical(f$scale, 0)
    expect_equal(unname(f$coefficients) / a, c(1, 2), tolerance = 1e-10)
  }
  # Noise of relative size 1e-11 is no exact fit in any units.
  set.seed(2); y2 <- 1 + 2 * x + rnorm(30)
  for (a in c(1e-11, 1e21, 1e-200)) {
    f <- lmrob_S(cbind(1, x), a * y2); expect_true(!f$exact_fit && f$scale / a > 0.5)
  }
  # A constant response: an exact fit naming the cause, for every start.
  yc <- rep(5, 30); expect_warning(m <- lmrob_M_S(matrix(1, 30), x, yc), "the response is constant")
  expect_identical(c(m$scale, unname(m$coefficients)), c(0, 5, 0))
  for (init in c("S", "M-S")) {
    f <- suppressWarnings(lmrob(yc ~ x, init = init))
    expect_true(f$exact_fit)
    expect_equal(unname(coef(f)), c(5, 0), tolerance = 1e-12)
  }
  # ... or constant within the cells of a factor, or on 36 of 40 cases.
  f <- factor(rep(1:2, 20)); yf <- ifelse(f == "1", 3, 5)
  fit <- suppressWarnings(lmrob(yf ~ f + x2, data.frame(yf, f, x2 = rnorm(40)), init = "M-S"))
  expect_true(fit$exact_fit)
  expect_equal(unname(coef(fit)), c(3, 2, 0), tolerance = 1e-12)
  # A scale at which no observation has weight is refused, not "converged".
  y3 <- 1 + 2 * x + rnorm(30)
  expect_error(lmrob_MM(cbind(1, x), y3, c(1, 2), 1e-6),
               "only 0 observation\\(s\\) get a positive weight")
  # So is a 'beta' whose residuals overflow (regressors near 1e300).
  expect_error(lmrob_MM(cbind(1, x * 1e300), y3, c(1, 1e300), 1),
               "residuals of 'beta' are not representable")
})

test_that("size settings are bounded by what the data can use", {
  set.seed(3); x <- rnorm(50); X <- cbind(1, x); y <- x + rnorm(50)
  expect_silent(lmrob_S(X, y, lmrob_control(nsamp = 20, n_best = 20)))
  expect_error(lmrob_S(X, y, lmrob_control(nsamp = 20, n_best = 21)),
               "'n_best' = 21 exceeds the 20 candidates")
  xb <- rnorm(2001); yb <- xb + rnorm(2001)
  expect_error(lmrob_S(cbind(1, xb), yb, lmrob_control(n_groups = 1e5, group_size = 1e5)),
               "'n_groups' \\* 'group_size' = 10000000000 exceeds the 2001 observations")
  expect_silent(lmrob_S(cbind(1, xb), yb, lmrob_control(nsamp = 5, n_groups = 3, group_size = 667)))
  expect_error(lmrob_S(cbind(1, xb), yb, lmrob_control(n_groups = 2, group_size = 2)),
               "'group_size' must exceed")
  expect_error(lmrob_S(cbind(1, xb), yb, lmrob_control(nsamp = 2, n_groups = 2,
                                                       n_best = 5, group_size = 1000)),
               "'n_best' = 5 exceeds the 4 candidates")
  # Every group of the large-sample LTS search gets a draw, even when nsamp
  # is below the number of groups.
  xl <- rnorm(1500)
  expect_equal(unname(coef(lts(xl, xl + rnorm(1500), nsamp = 4, seed = 1))), c(0, 1),
               tolerance = 0.2)
  # All p-subsets: refused when they cannot be counted in an int, run otherwise.
  X3 <- matrix(rnorm(60), 20)
  expect_error(lts(X3, rnorm(20), nsamp = 0), NA)
  expect_error(lts(X3[rep(1:20, 100), ], rnorm(2000), nsamp = 0),
               "nsamp = 0 asks for all [0-9]{12} subsets of p = 4")
})

test_that("coefficients are named by one rule, and empty models get clear errors", {
  set.seed(4); x <- rnorm(40); y <- x + rnorm(40)
  X <- cbind(1, x, rnorm(40)); colnames(X) <- c("", "x", "")
  expect_identical(names(lmrob_S(X, y)$coefficients), c("x1", "x", "x3"))
  expect_identical(names(lmrob_MM(unname(X), y, c(0, 1, 0), 1)$coefficients),
                   c("x1", "x2", "x3"))
  expect_identical(list(names(coef(lts(x, y))), names(coef(l1_fit(x, y)))),
                   rep(list(c("(Intercept)", "x1")), 2))
  expect_identical(names(lmrob_M_S(matrix(1, 40), x, y)$coefficients), c("x11", "x21"))
  expect_error(lmrob(y ~ 0), "neither an intercept nor a regressor")
  expect_error(lmrob(y ~ x, subset = x > 100), "no observations to fit")
  expect_error(lmrob(y ~ x, weights = rep(0, 40)), "prior weight 0")
})

test_that("random-subset counts beyond the distinct subsets are refused, the default is not", {
  set.seed(3); x <- rnorm(30); y <- x + rnorm(30)
  # choose(30, 2) = 435 pairs for lts, choose(30, 2) = 435 for a univariate mcd
  expect_error(lts(x, y, nsamp = 501), "more random p-subsets than the 435 distinct")
  expect_error(mcd(x, nsamp = 1e7), "more random \\(p \\+ 1\\)-subsets than the 435")
  expect_error(lts(x, y, nsamp = 500, seed = 1), NA)  # the default stays
  small <- cbind(x[1:12], y[1:12])     # 220 triples < the default 500 draws
  expect_error(mcd(small, seed = 1), NA)
})

