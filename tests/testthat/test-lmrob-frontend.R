## The formula front end of the robust regression: model frame, inference,
## methods, reproducibility.  References: lm(), a plain-R IRWLS, definitions.

frontend_data <- function(n = 60, seed = 11) {
  set.seed(seed)
  d <- data.frame(x1 = rnorm(n), x2 = runif(n, -2, 2),
                  g = factor(sample(c("a", "b", "c"), n, replace = TRUE)))
  d$y <- 1 + 2 * d$x1 - d$x2 + c(a = 0, b = 1, c = -1)[as.character(d$g)] + rnorm(n)
  d
}

test_that("the model frame and design are those of lm(): factors, interactions, subset, NA", {
  d <- frontend_data()
  d$x2[c(3, 17)] <- NA; d$g[5] <- NA; ctrl <- lmrob.config(seed = 1)
  same <- function(m) list(model.matrix(m), names(coef(m)), nobs(m), names(residuals(m)),
                           names(fitted(m)), m$na.action, m$df.residual)
  forms <- list(y ~ x1 + x2 + g, y ~ x1 * g, log(y + 10) ~ poly(x1, 2) + g:x2, y ~ 0 + g + x1)
  for (fo in forms) {
    f <- lmrob(fo, data = d, subset = x1 > -1.5, control = ctrl)
    l <- lm(fo, data = d, subset = x1 > -1.5)
    expect_identical(same(f), same(l))
    expect_identical(names(f$rweights), names(residuals(l)))
    expect_equal(unname(fitted(f) + residuals(f)), unname(model.response(model.frame(l))))
  }
  ## na.exclude pads residuals and fitted values with NA like lm().
  f <- lmrob(y ~ x1 + x2, data = d, na.action = na.exclude, control = ctrl)
  l <- lm(y ~ x1 + x2, data = d, na.action = na.exclude)
  nas <- function(m) list(which(is.na(residuals(m))), which(is.na(predict(m))))
  expect_identical(nas(f), nas(l))
  expect_length(fitted(f), nrow(d))
  ## Prediction on new data with a factor uses the levels of the fit.
  nd <- data.frame(x1 = c(0, 1), x2 = c(0, 0), g = factor(c("c", "a")))
  f <- lmrob(y ~ x1 + x2 + g, data = d, control = ctrl)
  Xn <- cbind(1, nd$x1, nd$x2, nd$g == "b", nd$g == "c")
  expect_equal(unname(predict(f, nd)), unname(drop(Xn %*% coef(f))))
  expect_error(predict(f, data.frame(x1 = 0, x2 = 0, g = "z")), "new levels|factor g")
})

test_that("on clean Gaussian data the MM fit agrees with least squares", {
  d <- frontend_data(n = 120, seed = 3)
  f <- lmrob(y ~ x1 + x2 + g, data = d, control = lmrob.config(seed = 2))
  l <- lm(y ~ x1 + x2 + g, data = d)
  se_ls <- sqrt(diag(vcov(l)))
  expect_true(all(abs(coef(f) - coef(l)) < se_ls))
  ## Standard errors about 1 / sqrt(0.95) times the least-squares ones.
  ratio <- sqrt(diag(vcov(f))) / se_ls
  expect_true(all(ratio > 0.9 & ratio < 1.2))
  expect_equal(f$scale, summary(l)$sigma, tolerance = 0.15)
  expect_equal(f$r.squared, summary(l)$r.squared, tolerance = 0.05)
  expect_true(f$converged && length(summary(f)$downweighted) == 0L)
  ## confint() and predict() are built from the same covariance.
  tq <- qt(0.975, f$df.residual)
  expect_equal(confint(f)[, 2L], coef(f) + tq * sqrt(diag(vcov(f))))
  p <- predict(f, d[1:4, ], se.fit = TRUE, interval = "prediction")
  X <- model.matrix(f)[1:4, ]
  expect_equal(unname(p$se.fit), unname(sqrt(diag(X %*% vcov(f) %*% t(X)))))
  expect_equal(unname(p$fit[, "upr"] - p$fit[, "fit"]), unname(tq * sqrt(p$se.fit^2 + f$scale^2)))
  expect_equal(unname(predict(f)), unname(fitted(f)))
})

test_that("the covariance formula is the least-squares one when psi is the identity", {
  d <- frontend_data(n = 40, seed = 5)
  l <- lm(y ~ x1 + x2, data = d)
  ## A huge bisquare constant makes psi(x) = x on the data; started at the
  ## least-squares fit, the MM step stays there.
  f <- lmrob(y ~ x1 + x2, data = d, tuning_psi = 1e5,
             init = list(coefficients = coef(l), scale = summary(l)$sigma))
  expect_equal(coef(f), coef(l), tolerance = 1e-8)
  expect_equal(vcov(f), vcov(l), tolerance = 1e-6)
  expect_equal(f[c("r.squared", "adj.r.squared")], summary(l)[c("r.squared", "adj.r.squared")],
               tolerance = 1e-6)
})

test_that("the MM step solves the M-estimating equations of the chosen family", {
  d <- frontend_data(n = 50, seed = 8); d$y[1:5] <- d$y[1:5] + 15
  X <- model.matrix(~ x1 + x2, d)
  for (psi in c("bisquare", "optimal", "hampel", "lqq", "ggw", "gaussweight")) {
    f <- lmrob(y ~ x1 + x2, data = d, psi = psi, control = lmrob.config(seed = 3, max_it = 500))
    expect_identical(f$psi, psi)
    expect_equal(f$tuning, as.vector(unclass(psi_tuning(psi, efficiency = 0.95))))
    ## Same start, plain IRWLS in R.
    ref <- irwls_ref(X, d$y, f$init$coefficients, f$scale, psi, f$tuning)
    expect_equal(unname(coef(f)), ref, tolerance = 1e-6)
    ## Estimating equations: sum psi(r / s) x = 0.
    u <- residuals(f) / f$scale
    expect_lt(max(abs(crossprod(X, psi_func(u, psi, f$tuning)))), 1e-5 * nrow(X))
    ## All five planted outliers get small weights.
    expect_true(all(1:5 %in% summary(f)$downweighted))
  }
})

test_that("contamination: coefficients stay near the truth and outliers are counted", {
  set.seed(21); n <- 100; x <- rnorm(n); y <- 2 + 3 * x + rnorm(n, sd = 0.5)
  out_v <- 1:20; y[out_v] <- y[out_v] + 30                   # 20% vertical outliers
  out_l <- 21:30; x[out_l] <- 10 + rnorm(10, sd = 0.2); y[out_l] <- -20  # 10% bad leverage
  f <- lmrob(y ~ x, control = lmrob.config(seed = 4))
  expect_equal(unname(coef(f)), c(2, 3), tolerance = 0.1)
  s <- summary(f)
  expect_true(all(c(out_v, out_l) %in% s$downweighted))
  expect_gte(s$n_rejected, 30L)
  expect_output(print(s), "30 observation\\(s\\) with weight < 0.1")
  ## The robust R^2 sees the clean part (true value 9 / 9.25), least squares
  ## does not.
  expect_equal(f$r.squared, 9 / 9.25, tolerance = 0.03)
  expect_lt(summary(lm(y ~ x))$r.squared, 0.5)
  ## 40% vertical outliers: still within the breakdown point of the S start.
  y2 <- 2 + 3 * x + rnorm(n, sd = 0.5); y2[1:40] <- 50 + rnorm(40)
  f2 <- lmrob(y2 ~ x, control = lmrob.config(seed = 4))
  expect_equal(unname(coef(f2)), c(2, 3), tolerance = 0.1)
  expect_true(all(1:40 %in% summary(f2)$downweighted))
  ## Least squares is carried away by the same data.
  expect_gt(abs(coef(lm(y ~ x))[2] - 3), 1)
})

test_that("aliased columns get NA coefficients as in lm()", {
  d <- frontend_data(n = 50, seed = 2); d$x3 <- 2 * d$x1 - d$x2
  expect_warning(f <- lmrob(y ~ x1 + x2 + x3, data = d, control = lmrob.config(seed = 1)),
                 "aliased.*x3")
  expect_identical(is.na(coef(f)), is.na(coef(lm(y ~ x1 + x2 + x3, data = d))))
  g <- lmrob(y ~ x1 + x2, data = d, control = lmrob.config(seed = 1))
  expect_equal(coef(f)[1:3], coef(g))
  expect_true(all(is.na(vcov(f)["x3", ])))
  expect_equal(vcov(f, complete = FALSE), vcov(g))
  expect_output(print(summary(f)), "x3 +NA")
})

test_that("prior weights are precision weights; zero weights drop observations", {
  d <- frontend_data(n = 50, seed = 6)
  w <- rep(c(1, 4, 0.25), length.out = 50)
  st <- lmrob(y ~ x1 + x2, data = d, control = lmrob.config(seed = 1))
  init <- list(coefficients = coef(st), scale = st$scale)
  f <- lmrob(y ~ x1 + x2, data = d, weights = w, init = init)
  ## The same as the fit of the transformed model sqrt(w) y ~ sqrt(w) x.
  sw <- sqrt(w); g <- lmrob(I(sw * y) ~ 0 + sw + I(sw * x1) + I(sw * x2), data = d, init = init)
  expect_equal(unname(coef(f)), unname(coef(g)), tolerance = 1e-10)
  expect_equal(unname(vcov(f)), unname(vcov(g)), tolerance = 1e-10)
  expect_equal(unname(residuals(f)), unname(residuals(g) / sw), tolerance = 1e-10)
  expect_identical(weights(f, "prior"), w)
  ## Unit weights change nothing.
  h <- lmrob(y ~ x1 + x2, data = d, weights = rep(1, 50), control = lmrob.config(seed = 1))
  expect_equal(coef(h), coef(st))
  ## Zero weights: the same as leaving those observations out.
  w0 <- rep(1, 50); w0[c(2, 9)] <- 0
  f0 <- lmrob(y ~ x1 + x2, data = d, weights = w0, init = init)
  g0 <- lmrob(y ~ x1 + x2, data = d[-c(2, 9), ], init = init)
  expect_equal(coef(f0), coef(g0), tolerance = 1e-10)
  expect_identical(list(nobs(f0), f0$df.residual, length(residuals(f0))),
                   list(48L, g0$df.residual, 50L))
  expect_true(all(is.na(weights(f0)[c(2, 9)])))
  expect_error(lmrob(y ~ x1, data = d, weights = rep(-1, 50)), "non-negative")
})

test_that("method S, user starts, exact fits and non-convergence are reported", {
  d <- frontend_data(n = 50, seed = 4)
  s <- lmrob(y ~ x1 + x2, data = d, method = "S", control = lmrob.config(seed = 5))
  m <- lmrob(y ~ x1 + x2, data = d, control = lmrob.config(seed = 5))
  expect_equal(unname(coef(s)), m$init$coefficients)
  expect_true(identical(s$tuning, s$control$tuning_chi) && is.null(s$status$MM))
  ## Non-convergence of the MM step is a warning and is recorded.
  expect_warning(nc <- lmrob(y ~ x1 + x2, data = d, max_it = 2L, control = lmrob.config(seed = 5)),
                 "not converge")
  expect_false(nc$converged || nc$status$MM$converged)
  ## Singular draws with simple subsampling: the routine's warning points to
  ## the help of lmrob.config(), and the fit stops with a clear error.
  s1 <- data.frame(x = d$x1, g = factor(c("a", rep("b", 49))), y = d$y)
  expect_warning(expect_error(lmrob(y ~ g + x, data = s1, subsampling = "simple",
                                    max_singular = 2, seed = 1), "S-estimation failed"),
                 "subsampling in help of lmrob.config")
  expect_true(is.finite(lmrob(y ~ g + x, data = s1, seed = 1)$scale))
  ## Exact fit: 35 of 50 points on a line.
  d$y[1:35] <- 1 + 2 * d$x1[1:35]
  expect_warning(e <- lmrob(y ~ x1, data = d, control = lmrob.config(seed = 1)), "exact fit")
  expect_true(e$exact_fit && identical(e$scale, 0) && identical(sum(weights(e)), 35))
  expect_equal(unname(coef(e)), c(1, 2))
  ## Input errors.
  expect_error(lmrob(y ~ x1, data = d, init = list(coefficients = 1)), "'init'")
})

test_that("psi_tuning gives the asked efficiency and breakdown point in every family", {
  ## Every family: the asked efficiency and breakdown point, checked by an
  ## independent quadrature (E psi' directly, a fine Riemann sum).
  z <- seq(-12, 12, length.out = 200001); dz <- dnorm(z) * (z[2] - z[1])
  for (psi in names(kelvara:::.psi_codes)) {
    eff <- if (psi %in% c("bisquare", "hampel", "ggw")) 0.85 else 0.95
    k <- psi_tuning(psi, efficiency = eff)
    e <- sum(psi_func(z, psi, k, deriv = 1) * dz)^2 / sum(psi_func(z, psi, k)^2 * dz)
    ## (The Riemann sum errs by about 1e-4 at the jumps of the hampel psi'.)
    expect_equal(e, eff, tolerance = if (psi == "ggw") 1e-3 else 2e-4, info = psi)
    bdp <- if (psi %in% c("optimal", "lqq")) 0.25 else 0.5
    k <- psi_tuning(psi, breakdown = bdp)
    expect_equal(sum(chi_func(z, psi, k) * dz), bdp, tolerance = 1e-4, info = psi)
  }
  ## GGW: the built-in cases where they match, the general case otherwise.
  expect_identical(as.vector(psi_tuning("ggw", efficiency = 0.95)), 4)
  expect_identical(as.vector(psi_tuning("ggw", breakdown = 0.5, shape = c(-0.5, 1))), 3)
  k90 <- psi_tuning("ggw", efficiency = 0.9); expect_length(k90, 5L)
  expect_equal(k90[[5]], integrate(psi_func, 0, Inf, psi = "ggw", cc = k90)$value, tolerance = 1e-6)
  ## Hampel keeps its shape; lqq its minimal slope.
  kh <- psi_tuning("hampel", efficiency = 0.95)
  expect_equal(as.vector(kh / kh[1]), c(1.5, 3.5, 8) / 1.5)
  kl <- psi_tuning("lqq", efficiency = 0.95)
  expect_equal(min(psi_func(c(seq(0, 5, by = 1e-3), kl[[1]] + kl[[2]]), "lqq", kl, deriv = 1)),
               -0.5, tolerance = 1e-8)
})

test_that("lmrob.config builds on lmrob_control and validates its settings", {
  ctrl <- lmrob.config(); expect_equal(ctrl$bb, 0.5, tolerance = 1e-8)
  ms <- kelvara:::.ms_control(lmrob.config(ms_max_steps = 7, subsampling = "simple"))
  expect_identical(ms[c("max_steps", "subsampling", "tuning_chi")],
                   list(max_steps = 7L, subsampling = "simple", tuning_chi = ctrl$tuning_chi))
  ## Given constants: bb is E chi(Z) for them.
  c2 <- lmrob.config(tuning_chi = 2); z <- seq(-10, 10, length.out = 100001)
  expect_equal(c2$bb, sum(chi_func(z, "bisquare", 2) * dnorm(z)) * (z[2] - z[1]), tolerance = 1e-6)
  ## A family change through lmrob() keeps the breakdown and efficiency.
  d <- frontend_data(n = 30)
  f <- lmrob(y ~ x1, data = d, psi = "lqq", control = lmrob.config(efficiency = 0.9, seed = 1))
  expect_equal(f$control$tuning_psi, as.vector(psi_tuning("lqq", efficiency = 0.9)))
  expect_error(lmrob(y ~ x1, data = d, psi = "lqq", control = lmrob.config(tuning_psi = 5)),
               "for the bisquare family")
})

test_that("the M-S start splits factor and continuous columns and resists outliers", {
  set.seed(31); n <- 90
  d <- data.frame(g = gl(3, 30, labels = c("u", "v", "w")), h = gl(2, 1, n),
                  x = rnorm(n), z = runif(n))
  d$y <- 2 + c(0, 3, -2)[d$g] + 1.5 * d$x - d$z + rnorm(n, sd = 0.3)
  ## The L1 block: intercept and columns of terms made only of factors.
  mf <- model.frame(y ~ g * h + x + g:x + z, d)
  X <- model.matrix(attr(mf, "terms"), mf)
  blk <- kelvara:::.ls_block(attr(mf, "terms"), mf, X)
  expect_identical(colnames(X)[blk], c("(Intercept)", "gv", "gw", "h2", "gv:h2", "gw:h2"))
  ## 15% vertical outliers.
  out <- seq(3, n, by = 7); d$y[out] <- d$y[out] + 20
  f <- lmrob(y ~ g + x + z, data = d, init = "M-S", seed = 2)
  expect_true(identical(f$init$method, "M-S") && f$status$init$converged)
  expect_equal(unname(coef(f)), c(2, 3, -2, 1.5, -1), tolerance = 0.1)
  expect_true(all(out %in% summary(f)$downweighted))
  ## The M-S scale solves the M-scale equation of the S stage.
  r0 <- drop(d$y - model.matrix(f) %*% f$init$coefficients)
  expect_equal(mean(chi_func(r0 / f$init$scale, "bisquare", f$control$tuning_chi)) *
                 n / (n - 5), f$control$bb, tolerance = 1e-6)
  ## A model of factors only: L1 fit with its M-scale as the start.
  w <- lmrob(breaks ~ wool * tension, data = warpbreaks, init = "M-S", seed = 1)
  expect_identical(w$init$method, "M-S")
  expect_equal(unname(coef(w)), unname(coef(lm(breaks ~ wool * tension, warpbreaks))),
               tolerance = 0.1)
  ## Neither intercept nor factors: the S start.
  expect_message(s <- lmrob(y ~ 0 + x + z, data = d, init = "M-S", seed = 2), "S-estimate")
  expect_identical(s$init$method, "S")
})

test_that("simulation on clean data: MM efficiency and coverage of its intervals", {
  ## 200 replicates (the longer run is bench/lmrob-simulation.R).
  set.seed(1); beta <- c(1, 2, -1); R <- 200L; n <- 60L
  est <- matrix(NA_real_, R, 6L); cover <- matrix(NA, R, 3L)
  ## A few S refinements need several hundred iterations on such data.
  ctrl <- lmrob.config(max_refine = 2000L)
  for (i in seq_len(R)) {
    d <- data.frame(x1 = rnorm(n), x2 = runif(n, -2, 2))
    d$y <- drop(cbind(1, d$x1, d$x2) %*% beta) + rnorm(n)
    f <- lmrob(y ~ x1 + x2, data = d, control = ctrl)
    est[i, ] <- c(coef(f), coef(lm(y ~ x1 + x2, data = d)))
    ci <- confint(f); cover[i, ] <- ci[, 1L] <= beta & beta <= ci[, 2L]
  }
  v <- apply(est, 2L, var); eff <- v[4:6] / v[1:3]
  ## Variance ratios of two highly correlated estimators over 200 replicates:
  ## Monte Carlo s.e. about 0.03, so the window around 0.95 is 3 s.e. below
  ## and 2 above.  Coverage over 600 intervals: s.e. sqrt(0.95 * 0.05 / 600)
  ## = 0.009, the window +- 0.02 about 2.2 s.e.
  expect_true(all(eff > 0.85 & eff <= 1.02))
  expect_true(mean(cover) >= 0.93 && mean(cover) <= 0.97)
})

