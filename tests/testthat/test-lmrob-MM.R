test_that("the MM estimate solves its estimating equation and matches a plain IRWLS", {
  set.seed(31); d <- lmrob_data(80, c(2, -1, 0.5), share = 0.2); s <- lmrob_S(d$x, d$y)
  m <- lmrob_MM(d$x, d$y, s$coefficients, s$scale, lmrob_control(rel_tol = 1e-12))
  expect_true(m$converged && identical(m$scale, s$scale))
  expect_equal(m$residuals, drop(d$y - d$x %*% m$coefficients))
  ps <- psifun(m$residuals / m$scale, 4.685061)
  expect_lt(max(abs(colSums(ps * d$x))), 1e-9 * sum(abs(ps)))
  expect_equal(m$weights, wgtfun(m$residuals / m$scale, 4.685061))
  expect_equal(m$loss, mean(chifun(m$residuals / m$scale, 4.685061)))
  expect_equal(unname(m$coefficients),
               unname(irwls_ref(d$x, d$y, s$coefficients, s$scale)), tolerance = 1e-9)
  # Another family: the estimating equation of its own psi.
  ctl <- lmrob_control(psi = "optimal", tuning_chi = 0.4047, tuning_psi = 1.06, rel_tol = 1e-12)
  mo <- lmrob_MM(d$x, d$y, s$coefficients, s$scale, ctl)
  po <- psifun(mo$residuals / mo$scale, 1.06, 3L)
  expect_lt(max(abs(colSums(po * d$x))), 1e-9 * sum(abs(po)))
})

test_that("the step counter and the convergence flag follow the iteration limit", {
  set.seed(32); d <- lmrob_data(40, c(1, 1), share = 0.1); b0 <- c(0.5, 1.5); sc <- 2
  for (lim in 0:1) {
    expect_warning(m <- lmrob_MM(d$x, d$y, b0, sc, lmrob_control(max_it = lim)),
                   "MM iterations did not converge in 1 steps")
    expect_identical(list(m$converged, m$iterations), list(FALSE, 1L))
    expect_equal(list(unname(m$coefficients), m$residuals), list(b0, drop(d$y - d$x %*% b0)))
    expect_equal(m$loss, mean(chifun(m$residuals / sc, 4.685061)))
  }
  # max_it = 2: exactly one reweighting step.
  m2 <- suppressWarnings(lmrob_MM(d$x, d$y, b0, sc, lmrob_control(max_it = 2)))
  w <- wgtfun(drop(d$y - d$x %*% b0) / sc, 4.685061)
  expect_equal(unname(m2$coefficients), unname(lm.wfit(d$x, d$y, w)$coefficients))
  expect_identical(m2$iterations, 2L)
  # A large limit: the counter names the converging step; one less limit
  # stops just short of it.
  m <- lmrob_MM(d$x, d$y, b0, sc, lmrob_control(max_it = 500)); k <- m$iterations
  expect_true(m$converged && k > 2L)
  expect_identical(lmrob_MM(d$x, d$y, b0, sc, lmrob_control(max_it = k + 1))$coefficients,
                   m$coefficients)
  expect_warning(short <- lmrob_MM(d$x, d$y, b0, sc, lmrob_control(max_it = k)),
                 sprintf("did not converge in %d steps", k))
  expect_identical(list(short$converged, short$iterations), list(FALSE, k))
})

test_that("data on a hyperplane converge in the first step", {
  x <- cbind(1, 1:10, (1:10)^2); y <- drop(x %*% c(1, -2, 0.25))
  m <- lmrob_MM(x, y, c(1, -2, 0.25), 0.7)
  expect_identical(list(m$converged, m$iterations), list(TRUE, 1L))
  expect_equal(list(unname(m$coefficients), m$weights), list(c(1, -2, 0.25), rep(1, 10)))
})

test_that("a weighted design that loses a column stops with the rank error", {
  set.seed(35); n <- 20; x <- cbind(1, rnorm(n), c(rep(0, n - 1), 1))
  y <- rnorm(n); y[n] <- 1000  # the only case with column 3 gets weight 0 from this start
  expect_error(lmrob_MM(x, y, c(0, 0, 0), 1),
               "dgels: weighted design matrix not of full rank (column 3). Exiting.", fixed = TRUE)
  # The package keeps working after the error.
  expect_true(lmrob_MM(x, y, c(0, 0, 1000), 1)$converged)
  expect_error(lmrob_MM(x, y, c(0, 0), 1), "'beta' must be 3 finite numbers")
  expect_error(lmrob_MM(cbind(x, x[, 2]), y, rep(0, 4), 1), "rank deficient")
})

test_that("with one coefficient S and MM are robust estimates of location", {
  set.seed(3); y <- c(rnorm(40, 5), rep(100, 10)); f <- lmrob_S(rep(1, 50), y)
  expect_lt(abs(f$coefficients - 5), 0.5)
  expect_equal(f$scale, mscale_by_root(f$residuals, 1), tolerance = 1e-5)
  m <- lmrob_MM(rep(1, 50), y, f$coefficients, f$scale, lmrob_control(rel_tol = 1e-12))
  ps <- psifun(m$residuals / m$scale, 4.685061)
  expect_lt(abs(sum(ps)), 1e-9 * sum(abs(ps)))
  expect_true(all(m$weights[41:50] == 0))
})
