## Every fit refitted on y' = a y + b and columns x'_j = d_j x_j + c_j must be
## the transformed first fit.  The data sit on a grid of 2^-20 with medians
## exactly 0, so that the shifted data are exact; the scale factors are not
## powers of two, so that the standardised data differ by rounding.

equi_data <- function(n = 41) {
  set.seed(12)
  x <- cbind(rnorm(n), runif(n, -1, 1))
  y <- 1 + 2 * x[, 1] - x[, 2] + rnorm(n, sd = 0.5) + 10 * (seq_len(n) <= 6)
  grid <- function(v) round((v - stats::median(v)) * 2^20) / 2^20
  list(x = apply(x, 2, grid), y = grid(y))
}

## Transformations: (a, d, shift of y and of the columns in spreads).
equi_cases <- list(
  list(a = 1e-100, d = c(1e100, 1e-100), shift = 0),
  list(a = 1, d = c(1, 1), shift = 1e8),
  list(a = -7e-50, d = c(1e50, 1e-30), shift = 1e6))

## Each fitting function: coefficients (intercept first) and scale.  The
## S refinements stop when a norm of the change of the coefficients is small;
## rescaled columns change that norm, so the refinements run to 1e-10 here
## (at the default 1e-7 the fits agree to about 1e-7).
equi_fits <- function() {
  ctl <- lmrob_control(refine_tol = 1e-10)
  df <- function(x, y) data.frame(y = y, x1 = x[, 1], x2 = x[, 2])
  cs <- function(f) list(coef = coef(f), scale = f$scale)
  seeded <- function(fit) { set.seed(3); fit }  # the fit is evaluated after set.seed()
  lm_fit <- function(...) function(x, y)
    cs(lmrob(y ~ x1 + x2, df(x, y), seed = 3, refine_tol = 1e-10, ...))
  list(
    lmrob_S = function(x, y) cs(seeded(lmrob_S(cbind(1, x), y, ctl))),
    lmrob_M_S = function(x, y) cs(seeded(lmrob_M_S(matrix(1, nrow(x)), x, y))),
    lmrob_MM = lm_fit(), lmrob_S_method = lm_fit(method = "S"),
    lmrob_M_S_init = lm_fit(init = "M-S"),
    lts = function(x, y) {
      f <- lts(x, y, seed = 3)
      list(coef = c(coef(f), coef(f, "reweighted")), scale = c(f$scale, f$reweighted$scale))
    },
    l1_fit = function(x, y) cs(l1_fit(x, y)))
}

## The first fit's coefficients in the coordinates of the transformed data.
equi_map <- function(beta, k, a, d, b, cc) {
  slopes <- a * beta[-1] / d
  rep(c(a * beta[1] + b - sum(slopes * cc), slopes), length.out = length(beta) * k)
}

expect_rel <- function(actual, expected, tol, label) {
  err <- abs(actual - expected) / pmax(abs(expected), 1e-300)
  expect_true(all(err <= tol), label = sprintf("%s: max relative error %g", label, max(err)))
}

test_that("every regression fit is equivariant under units and origin of y and x", {
  d0 <- equi_data()
  fits <- equi_fits()
  for (nm in names(fits)) {
    f0 <- fits[[nm]](d0$x, d0$y)
    k <- length(f0$coef) / 3
    for (cs in equi_cases) {
      b <- cs$shift * stats::mad(d0$y, constant = 1) * abs(cs$a)
      cc <- cs$shift * cs$d * apply(d0$x, 2, stats::mad, constant = 1) * c(1, -1)
      y <- cs$a * d0$y + b
      f <- suppressWarnings(fits[[nm]](sweep(sweep(d0$x, 2, cs$d, "*"), 2, cc, "+"), y))
      lab <- sprintf("%s, a = %g, shift = %g", nm, cs$a, cs$shift)
      ex <- c(equi_map(f0$coef[1:3], 1, cs$a, cs$d, b, cc),
              if (k == 2) equi_map(f0$coef[4:6], 1, cs$a, cs$d, b, cc))
      # The intercept absorbs the shifts: relative to their size.
      icpt <- c(1, 4)[seq_len(k)]
      expect_rel(f$coef[-icpt], ex[-icpt], 1e-8, paste(lab, "slopes"))
      expect_rel(f$coef[icpt], ex[icpt], 1e-8 * (1 + cs$shift), paste(lab, "intercept"))
      expect_rel(f$scale, abs(cs$a) * f0$scale, 1e-8, paste(lab, "scale"))
    }
  }
  # lmrob_MM from the transformed start; prior weights of any size.
  s0 <- lmrob_S(cbind(1, d0$x), d0$y)
  m0 <- lmrob_MM(cbind(1, d0$x), d0$y, s0$coefficients, s0$scale)
  dd <- data.frame(y = d0$y, x1 = d0$x[, 1], x2 = d0$x[, 2])
  f0 <- lmrob(y ~ x1 + x2, dd, seed = 3)
  g0 <- lmrob(y ~ x1 + x2, dd, init = f0$init)
  for (cs in equi_cases[c(1, 3)]) {
    mp <- function(beta) equi_map(beta, 1, cs$a, cs$d, 0, 0)
    m <- lmrob_MM(cbind(1, sweep(d0$x, 2, cs$d, "*")), cs$a * d0$y, mp(s0$coefficients),
                  abs(cs$a) * s0$scale)
    expect_rel(m$coefficients, mp(m0$coefficients), 1e-8, "MM")
    dt <- data.frame(y = cs$a * dd$y, x1 = cs$d[1] * dd$x1, x2 = cs$d[2] * dd$x2)
    g <- lmrob(y ~ x1 + x2, dt, init = list(coefficients = mp(f0$init$coefficients),
                                            scale = abs(cs$a) * f0$init$scale))
    expect_rel(coef(g), mp(coef(g0)), 1e-8, "user start")
  }
  for (w in c(1e-16, 1e50)) {
    f <- lmrob(y ~ x1 + x2, dd, weights = rep(w, nrow(dd)), seed = 3)
    expect_equal(coef(f), coef(f0), tolerance = 1e-12)
    expect_equal(f$scale, sqrt(w) * f0$scale, tolerance = 1e-12)
    expect_equal(f$cov, f0$cov, tolerance = 1e-10)
  }
})

test_that("mcd is affine equivariant under extreme units, and huge outliers stay outliers", {
  d0 <- equi_data()
  z0 <- cbind(d0$x, d0$y)
  m0 <- mcd(z0, seed = 3)
  for (cs in equi_cases) {
    dd <- c(cs$d, cs$a)
    sh <- cs$shift * dd * apply(z0, 2, stats::mad, constant = 1)
    m <- mcd(sweep(sweep(z0, 2, dd, "*"), 2, sh, "+"), seed = 3)
    expect_rel(m$center, m0$center * dd + sh, 1e-8 * (1 + cs$shift), "mcd center")
    expect_rel(diag(m$cov), diag(m0$cov) * dd^2, 1e-8, "mcd cov")
    expect_identical(m$weights, m0$weights)
  }
  # A value 1e200 spreads out: an outlier like one at 1e6, not an overflow.
  set.seed(5)
  Z <- matrix(rnorm(600), 200)
  ma <- mcd(replace(Z, 1, 1e200), seed = 1)
  expect_identical(ma$exact_fit, 0L)
  expect_equal(ma$cov, mcd(replace(Z, 1, 1e6), seed = 1)$cov, tolerance = 1e-12)
  expect_identical(unname(ma$weights[1]), 0L)
  expect_error(mcd(replace(Z, 1, 1e200), alpha = 1), "cannot be represented")
})
