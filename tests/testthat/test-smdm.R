## SMDM: the quadrature behind kappa and tau(h), the D-step and the final
## M-step against their defining equations, the covariance types, the
## small-sample setting, coverage and robustness (long runs: bench/smdm.R).

lqq95 <- c(1.4734390, 0.9822928, 1.5)

test_that("kappa, gamma and tau(h) match closed forms, worked values and Monte Carlo", {
  tab <- kelvara:::.smdm_table(6L, lqq95)
  expect_equal(tab$kappa, 0.86265, tolerance = 1e-5 / 0.86)
  expect_equal(tab$gamma, 1.01239, tolerance = 1e-5)
  expect_equal(tab$tau(c(0, 0.2, 0.5)), c(1, 0.8824, 0.6950), tolerance = 5e-5)
  ## the interpolated table against direct root searches between its nodes
  fam <- tab$fam; cst <- tab$constants; h <- c(0.013, 0.37, 0.71, 0.93, 0.9875)
  direct <- vapply(h, function(v) kelvara:::.smdm_tau_solve(v, fam, cst), 0)
  expect_lt(max(abs(tab$tau(h) - direct)), 1e-5)
  ## psi(u) = u: kappa = 1 and tau^2 = 1 - h, the variance of an LS residual
  id <- list(psi = function(u) u, wgt = function(u) rep(1, length(u)), breaks = numeric())
  ci <- kelvara:::.smdm_constants(id)
  expect_equal(unname(ci[c("A", "B", "kappa", "gamma")]), c(1, 1, 1, 1), tolerance = 1e-10)
  for (v in c(0.1, 0.6, 0.95))
    expect_equal(kelvara:::.smdm_tau_solve(v, id, ci)^2, 1 - v, tolerance = 1e-8)
  ## Monte Carlo: the root of the sample moment; its s.e. by the delta method
  ## (s.d. of the terms / sqrt(N) / |slope in tau|); the window is 4 s.e.
  set.seed(11); N <- 2e5; z <- rnorm(N)
  for (v in c(0.2, 0.6)) {
    r <- z - v / cst[["A"]] * fam$psi(z) +
      rnorm(N, sd = sqrt((v - v^2) * cst[["B"]]) / cst[["A"]])
    g <- function(t) fam$wgt(r / t) * ((r / t)^2 - tab$kappa)
    t_mc <- uniroot(function(t) mean(g(t)), c(0.2, 1.5), tol = 1e-10)$root
    slope <- (mean(g(t_mc + 1e-4)) - mean(g(t_mc - 1e-4))) / 2e-4
    se <- sd(g(t_mc)) / sqrt(N) / abs(slope)
    expect_lt(abs(t_mc - tab$tau(v)), 4 * se)
  }
})

test_that("the D-step and the final M-step solve their equations", {
  set.seed(5); n <- 30; d <- data.frame(x1 = rt(n, 3), x2 = rnorm(n), x3 = runif(n))
  d$y <- 1 + d$x1 - d$x2 + rnorm(n); d$y[1:3] <- d$y[1:3] + 15
  f <- lmrob(y ~ x1 + x2 + x3, d, method = "SMDM", psi = "lqq", control = lmrob.config(seed = 1))
  expect_true(identical(f$method, "SMDM") && f$converged)
  x <- model.matrix(f); tab <- kelvara:::.smdm_table(6L, f$tuning)
  tau <- tab$tau(hat(x, intercept = FALSE))
  ## the D-scale of the MM residuals
  r_mm <- d$y - drop(x %*% f$stages$MM$coefficients)
  s <- f$scale_D; u <- r_mm / (tau * s)
  expect_lt(abs(sum(tau^2 * wgt_func(u, "lqq", f$tuning) * (u^2 - tab$kappa))),
            1e-6 * sum(tau^2))
  ## the final M-step at that scale
  expect_equal(f$scale, s)
  expect_lt(max(abs(crossprod(x, psi_func(residuals(f) / s, "lqq", f$tuning)))), 1e-6 * n)
  expect_true(all(f$rweights[1:3] < 0.05))
  ## equivariance: y scaled by 3 scales the coefficients and both scales
  f3 <- lmrob(y ~ x1 + x2 + x3, transform(d, y = 3 * y), method = "SMDM", psi = "lqq",
              control = lmrob.config(seed = 1))
  expect_equal(coef(f3), 3 * coef(f), tolerance = 1e-6)
  expect_equal(f3$scale_D, 3 * f$scale_D, tolerance = 1e-6)
  ## prior weights: constant ones change nothing but the unit of the scales,
  ## and a row of weight 0 takes no part (not in the leverages either)
  dw <- rbind(d, data.frame(x1 = 50, x2 = 0, x3 = 0, y = -1e3))
  fw <- lmrob(y ~ x1 + x2 + x3, dw, weights = c(rep(4, n), 0), method = "SMDM", psi = "lqq",
              control = lmrob.config(seed = 1))
  expect_equal(coef(fw), coef(f), tolerance = 1e-6)
  expect_equal(fw$scale_D / fw$init$scale, f$scale_D / f$init$scale, tolerance = 1e-6)
  ## psi close to the identity: the least-squares fit and sigma_D^2 = RSS / (n - p)
  g <- lmrob(y ~ x1 + x2 + x3, d, method = "SMDM", control = lmrob.config(tuning_psi = 1e5))
  l <- lm(y ~ x1 + x2 + x3, d)
  expect_equal(coef(g), coef(l), tolerance = 1e-7)
  expect_equal(g$scale_D^2, sum(residuals(l)^2) / (n - 4), tolerance = 1e-7)
  expect_equal(vcov(g, type = "weighted"), vcov(l), tolerance = 1e-6)
})

test_that("the covariance type is chosen per fit and used by every method", {
  set.seed(8); d <- data.frame(x1 = rnorm(40), x2 = rnorm(40)); d$y <- d$x1 + rnorm(40)
  ctl <- lmrob.config(setting = "small-sample", seed = 2)
  expect_equal(ctl$tuning_psi, lqq95, tolerance = 1e-6)
  expect_identical(ctl[c("psi", "breakdown", "nsamp", "method", "cov_type")],
                   list(psi = "lqq", breakdown = 0.5, nsamp = 1500L, method = "SMDM",
                        cov_type = "weighted"))
  expect_identical(lmrob.config(setting = "small-sample", nsamp = 700)$nsamp, 700L)
  f <- lmrob(y ~ x1 + x2, d, control = ctl)
  expect_identical(c(f$method, f$cov_type), c("SMDM", "weighted"))
  expect_identical(lmrob(y ~ x1 + x2, d, control = ctl, method = "MM")$method, "MM")
  expect_identical(lmrob(y ~ x1 + x2, d)$cov_type, "asymptotic")
  ## the weighted form by its definition, with the small-sample factor K^2
  x <- model.matrix(f); w <- wgt_func(residuals(f) / f$scale, "lqq", f$tuning)
  e <- function(g) integrate(function(z) g(z) * dnorm(z), -Inf, Inf, rel.tol = 1e-10)$value
  d1 <- e(function(z) psi_func(z, "lqq", f$tuning, deriv = 1))
  d2 <- e(function(z) psi_func(z, "lqq", f$tuning, deriv = 1)^2)
  K <- 1 + 3 / 40 * (d2 - d1^2) / d1^2
  vw <- kelvara:::.smdm_table(6L, f$tuning)$gamma * K^2 * f$scale^2 *
    solve(crossprod(x * sqrt(w)))
  expect_equal(unname(vcov(f)), unname(vw), tolerance = 1e-6)
  va <- vcov(f, type = "asymptotic"); se_a <- sqrt(diag(va))
  expect_false(isTRUE(all.equal(va, vcov(f))))
  expect_equal(summary(f, cov_type = "asymptotic")$coefficients[, 2], se_a)
  expect_equal(unname(confint(f, cov_type = "asymptotic")[, 2]),
               unname(coef(f) + qt(0.975, 37) * se_a))
  expect_equal(predict(f, d[1:2, ], se.fit = TRUE, cov_type = "asymptotic")$se.fit,
               sqrt(rowSums((x[1:2, ] %*% va) * x[1:2, ])), ignore_attr = TRUE)
  expect_output(print(summary(f)), "Standard errors: weighted covariance")
  ## anova's Wald statistic from the chosen covariance
  f0 <- lmrob(y ~ x1, d, control = ctl)
  for (type in c("weighted", "asymptotic"))
    expect_equal(anova(f0, f, cov_type = type)$Wald[2],
                 coef(f)[["x2"]]^2 / vcov(f, type = type)["x2", "x2"], tolerance = 1e-8)
  expect_error(vcov(f, type = "sandwich"), "one of")
})

test_that("SMDM intervals cover at n = 25, p = 5 and stay robust to outliers in y", {
  ## 80 fits per design; the coverage of the 5 coefficients is averaged, so
  ## 400 intervals per design with Monte Carlo s.e. about 0.011 at 0.95
  ## (within-fit correlation is small).  Window [0.91, 0.99] is about +-3.6
  ## s.e.; the exact [0.935, 0.965] window with 2000 fits per cell, and MM
  ## beside it, is in bench/smdm.R.
  ctl <- lmrob.config(setting = "small-sample", nsamp = 300, seed = 4)
  set.seed(21)
  for (design in c("gaussian", "t3")) {
    cover <- replicate(80, {
      x <- matrix(if (design == "t3") rt(100, 3) else rnorm(100), 25, 4)
      ci <- confint(suppressWarnings(lmrob(y ~ ., data.frame(y = rnorm(25), x), control = ctl)))
      mean(ci[, 1] <= 0 & ci[, 2] >= 0)
    })
    expect_true(mean(cover) > 0.91 && mean(cover) < 0.99)
  }
  ## 10 % gross outliers in y of growing size: the coefficients stay put
  set.seed(3); n <- 40; d <- data.frame(x1 = rnorm(n), x2 = rnorm(n))
  d$y <- 1 + 2 * d$x1 - d$x2 + rnorm(n)
  est <- sapply(c(10, 1e2, 1e4, 1e6), function(k)
    coef(lmrob(y ~ x1 + x2, transform(d, y = y + k * (seq_len(n) <= 4)), control = ctl)))
  expect_lt(max(abs(est - c(1, 2, -1))), 1)
  expect_lt(max(abs(est[, 4] - est[, 2])), 1e-6)
})

test_that("the ggw chi has the documented slope: N psi times a fixed factor per case", {
  ## central differences of chi against N psi (chi_func(deriv = 1)) at
  ## points inside the quadratic piece and beyond it
  fac <- c(1, 0.97887, 1.05784, 1, 1.00322, 1.08199)
  for (case in 1:6) {
    u <- c(0.2, 0.9, 2.5) * kelvara:::.ggw_table()$cases[case, 3]
    slope <- (chi_func(u + 1e-5, "ggw", case) - chi_func(u - 1e-5, "ggw", case)) / 2e-5
    expect_equal(slope / chi_func(u, "ggw", case, deriv = 1), rep(fac[case], 3), tolerance = 2e-4)
  }
})
