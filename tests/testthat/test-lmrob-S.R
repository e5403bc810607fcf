test_that("the S-scale solves the M-scale equation and beats other fits", {
  set.seed(101)
  d <- lmrob_data(60, c(1, 2, -1), share = 0.2)
  tight <- lmrob_control(refine_tol = 1e-10)
  f <- lmrob_S(d$x, d$y, tight); n <- 60; p <- 3
  expect_equal(f$residuals, drop(d$y - d$x %*% f$coefficients))
  lhs <- sum(chifun(f$residuals / f$scale, 1.54764)) / (n - p)
  expect_equal(lhs, 0.5, tolerance = 1e-8)
  expect_equal(f$scale, mscale_by_root(f$residuals, p), tolerance = 1e-8)
  expect_equal(mscale(f$residuals, p = p), f$scale, tolerance = 1e-8)
  expect_equal(f$weights, wgtfun(f$residuals / f$scale, 1.54764))
  expect_true(f$converged && f$iterations >= 1 && f$iterations <= 200)
  # At the default tolerance the scale is the one of the last scale step.
  f0 <- lmrob_S(d$x, d$y)
  expect_equal(f0$scale, mscale_by_root(f0$residuals, p), tolerance = 1e-5)
  # No competitor has a smaller M-scale: least squares, the truth, the fit
  # on the clean part, and small perturbations of the S-estimate.
  others <- list(qr.coef(qr(d$x), d$y), c(1, 2, -1),
                 qr.coef(qr(d$x[-(1:12), ]), d$y[-(1:12)]))
  for (j in 1:3) for (h in c(-1e-3, 1e-3))
    others[[length(others) + 1L]] <- f$coefficients + h * (seq_len(p) == j)
  for (b in others)
    expect_gte(mscale_by_root(drop(d$y - d$x %*% b), p), f$scale * (1 - 1e-9))
})

test_that("on tiny data the S-estimate is the global minimum of the M-scale", {
  set.seed(7); n <- 9; x <- cbind(1, sort(runif(n, 0, 10)))
  y <- 2 + 0.5 * x[, 2] + rnorm(n, sd = 0.3)
  y[c(2, 7)] <- y[c(2, 7)] + c(8, -6)
  f <- lmrob_S(x, y, lmrob_control(refine_tol = 1e-10))
  ms <- function(b) mscale_by_root(drop(y - x %*% b), 2)
  # Every exact fit through two observations, and the best of them polished
  # by a general-purpose minimiser, can do no better.
  exact <- apply(combn(n, 2), 2, function(i) solve(x[i, ], y[i]))
  scales <- apply(exact, 2, ms)
  expect_lte(f$scale, min(scales) * (1 + 1e-9))
  starts <- exact[, order(scales)[1:5]]
  polished <- apply(starts, 2, function(b)
    optim(b, ms, method = "Nelder-Mead", control = list(reltol = 1e-14, maxit = 4000))$value)
  expect_lte(f$scale, min(polished) * (1 + 1e-7))
  expect_gt(f$scale, min(polished) * (1 - 1e-5))
})

test_that("gross outliers in y and at leverage points leave the fit near the truth", {
  beta <- c(1, 2, -1)
  for (share in c(0.1, 0.3, 0.45)) for (lev in c(FALSE, TRUE)) {
    set.seed(round(1000 * share) + lev)
    d <- lmrob_data(200, beta, share = share, leverage = lev)
    # Near the breakdown point the M-scale iteration of a candidate may need
    # more than its 200 steps; that is only a warning.
    f <- suppressWarnings(lmrob_S(d$x, d$y))
    m <- lmrob_MM(d$x, d$y, f$coefficients, f$scale)
    ols <- qr.coef(qr(d$x), d$y)
    lab <- sprintf("share %g, leverage %s", share, lev)
    expect_lt(max(abs(f$coefficients - beta)), 0.5, label = lab)
    expect_lt(max(abs(m$coefficients - beta)), 0.3, label = lab)
    expect_gt(max(abs(ols - beta)), 2, label = lab)
    # The outliers get zero weight, the clean cases mostly positive weight.
    bad <- seq_len(round(share * 200))
    expect_true(all(m$weights[bad] == 0), label = lab)
    expect_gt(mean(m$weights[-bad] > 0), 0.95, label = lab)
  }
})

test_that("a seed reproduces the fit and R's stream advances by the documented draws", {
  set.seed(5); d <- lmrob_data(40, c(0, 1), share = 0.2); ctl <- lmrob_control(nsamp = 30)
  set.seed(1); f1 <- lmrob_S(d$x, d$y, ctl); s1 <- .Random.seed
  set.seed(1); f2 <- lmrob_S(d$x, d$y, ctl)
  expect_identical(f1, f2)
  # Replacement mode: one uniform per observation per draw, nothing else.
  set.seed(1); invisible(runif(30 * 40))
  expect_identical(.Random.seed, s1)
  # Large samples: the index draw of n_groups * group_size observations, then
  # group_size uniforms per draw in every group.
  set.seed(6); d <- lmrob_data(2001, c(1, 1))
  ctl <- lmrob_control(nsamp = 4, n_groups = 3, group_size = 100)
  set.seed(2); f <- lmrob_S(d$x, d$y, ctl); s2 <- .Random.seed
  set.seed(2); invisible(runif(300 + 3 * 4 * 100))
  expect_identical(.Random.seed, s2)
  expect_lt(max(abs(f$coefficients - 1)), 0.2)
  expect_equal(f$scale, mscale_by_root(f$residuals, 2), tolerance = 1e-5)
})

test_that("exact fits through more than half of the data give scale 0", {
  set.seed(3); x <- cbind(1, 1:20); y <- 3 - 0.5 * x[, 2]
  y[c(2, 5, 11, 17)] <- y[c(2, 5, 11, 17)] + c(4, -9, 2, 30)
  expect_warning(f <- lmrob_S(x, y), "exact fit: 16 of 20 observations")
  expect_true(identical(f$scale, 0) && f$exact_fit)
  expect_equal(unname(f$coefficients), c(3, -0.5), tolerance = 1e-10)
  expect_equal(f$weights, as.double(abs(f$residuals) < 1e-10))
  expect_identical(mscale(c(0, 0, 0, 1)), 0)
  # Large samples: exact fits found in the groups carry scale 0 through the
  # merged and final phases, with no M-scale iteration started from 0.
  set.seed(4); n <- 2001; x <- cbind(1, rnorm(n)); y <- 2 + 3 * x[, 2]; y[1:600] <- rnorm(600)
  r <- collect_warnings(lmrob_S(x, y, lmrob_control(nsamp = 10)))
  expect_identical(r$warnings, "exact fit: 1401 of 2001 observations lie on the fitted hyperplane; the S-scale is 0")
  expect_identical(r$value$scale, 0)
  expect_equal(unname(r$value$coefficients), c(2, 3), tolerance = 1e-10)
})

test_that("singular designs and bad input stop with clear messages", {
  set.seed(4); n <- 30
  x <- cbind(1, rnorm(n), c(rep(0, n - 1), 1))  # full rank, but one case carries column 3
  y <- rnorm(n)
  ctl <- lmrob_control(subsampling = "simple", max_singular = 2, nsamp = 50)
  expect_error(expect_warning(lmrob_S(x, y, ctl), "Too many singular resamples. Aborting subsample",
                              fixed = TRUE), "no non-singular subsample")
  # The same design works when singular draws are repaired.
  expect_equal(lmrob_S(x, y, lmrob_control(nsamp = 50))$residuals[n], 0)
  xr <- cbind(1, 1:10, 2 * (1:10))
  expect_error(lmrob_S(xr, rnorm(10)), "rank deficient \\(rank 2 < 3 columns\\)")
  big <- lmrob_data(2001, c(1, 1))
  expect_error(lmrob_S(big$x, big$y, lmrob_control(n_groups = 6, group_size = 400)),
               "'n_groups' \\* 'group_size' = 2400 exceeds the 2001 observations")
  expect_error(lmrob_S(cbind(1, 1:5), 1:5, list(typo = 1)), "unknown control setting")
})

test_that("refinements report non-convergence with the documented warning", {
  set.seed(9); d <- lmrob_data(40, c(1, 2), share = 0.2)
  r <- collect_warnings(lmrob_S(d$x, d$y, lmrob_control(max_refine = 1)))
  # One warning per final refinement.
  expect_identical(list(r$warnings, r$value$converged, r$value$iterations),
                   list(rep("S refinements did not converge (to tol=1e-07) in 1 iterations", 2),
                        FALSE, 1L))
})

test_that("mscale() is the M-scale of the residuals", {
  set.seed(12); r <- rnorm(5000)
  # The default constants make the scale consistent at the normal model.
  expect_equal(mscale(r), 1, tolerance = 0.05)
  expect_equal(mscale(c(1, -1, 2, -2), control = lmrob_control(tuning_chi = 1.5), scale0 = 10),
               2.19621090582, tolerance = 1e-10)
  r <- rcauchy(50)
  expect_equal(mscale(r, p = 3), mscale_by_root(r, 3), tolerance = 1e-9)
  expect_equal(mscale(5 * r, p = 3), 5 * mscale(r, p = 3), tolerance = 1e-9)
  expect_warning(mscale(r, control = lmrob_control(max_it_scale = 1)),
                 "find_scale() did not converge in 'maxit.scale' (= 1) iterations",
                 fixed = TRUE)
  opt <- lmrob_control(psi = "optimal", tuning_chi = 0.4047, tuning_psi = 1.06)
  expect_equal(mscale(r, control = opt),
               mscale_by_root(r, 0, k = 0.4047, code = 3L), tolerance = 1e-9)
})

## R_lmrob_S called directly, for settings the R layer refuses.
lmrob_S_raw <- function(x, y, n_resample, refine_steps, max_refine, n_best = 2L,
                        beta = double(ncol(x)), nonsingular = 1L, max_singular = 200L) {
  .C("R_lmrob_S", x = as.double(x), y = as.double(y), n = nrow(x), p = ncol(x),
     n_resample = as.integer(n_resample), scale = 0, beta = as.double(beta),
     k = 1.54764, ipsi = 1L, b = 0.5, n_best = as.integer(n_best), 5L, 400L,
     refine_steps = as.integer(refine_steps), max_refine = as.integer(max_refine), 200L,
     refine_tol = 1e-7, tol = 1e-7, converged = TRUE, trace = 0L,
     max_singular = as.integer(max_singular), nonsingular = as.integer(nonsingular),
     PACKAGE = "kelvara")
}

test_that("without refinement steps the best exact fit is returned, as brute force finds", {
  set.seed(17); n <- 8; x <- cbind(1, runif(n, 0, 5))
  y <- 1 + x[, 2] + rnorm(n, sd = 0.5); y[3] <- 20
  exact <- apply(combn(n, 2), 2, function(i) solve(x[i, ], y[i]))
  scales <- apply(exact, 2, function(b) mscale_by_root(drop(y - x %*% b), 2))
  r <- collect_warnings(lmrob_S_raw(x, y, n_resample = 400, refine_steps = 0, max_refine = 0))
  z <- r$value
  # Each final refinement makes no step: a non-convergence warning each, the
  # list's own coefficients and scale as the result.
  expect_identical(list(r$warnings, z$converged, z$max_refine),
                   list(rep("S refinements did not converge (to tol=1e-07) in 0 iterations", 2),
                        FALSE, 0L))
  expect_equal(z$scale, min(scales), tolerance = 1e-9)
  expect_equal(z$beta, exact[, which.min(scales)], tolerance = 1e-9)
  # Scale-only mode writes the scale and nothing else.
  s <- .C("R_lmrob_S", double(0), y = as.double(y), n = 8L, p = 2L, n_resample = 0L,
          scale = 1, beta = c(7, 7), 1.54764, 1L, 0.5, 2L, 5L, 400L, 1L,
          max_refine = 9L, 200L, 1e-7, 1e-7, converged = TRUE, 0L, 200L, 1L,
          PACKAGE = "kelvara")
  expect_equal(s$scale, mscale_by_root(y, 2), tolerance = 1e-9)
  expect_identical(s[c("beta", "max_refine", "converged")],
                   list(beta = c(7, 7), max_refine = 9L, converged = TRUE))
  # A failed draw leaves the coefficients and flags as they came in.
  xs <- cbind(1, c(rep(0, n - 1), 1))
  f <- suppressWarnings(lmrob_S_raw(xs, y, 5, 1, 10, beta = c(3, 4), nonsingular = 0L,
                                    max_singular = 1L))
  expect_identical(f[c("scale", "beta", "max_refine")],
                   list(scale = -1, beta = c(3, 4), max_refine = 10L))
  # The entry refuses an empty best list and groups larger than the data.
  expect_error(lmrob_S_raw(x, y, 5, 1, 10, n_best = 0), "at least one entry")
})

test_that("a failed draw in any group of a large sample stops the fit", {
  set.seed(14); n <- 2001
  x <- cbind(1, rnorm(n), c(rep(0, n - 1), 1))  # column 3 lives on one case
  y <- rnorm(n)
  ctl <- lmrob_control(subsampling = "simple", max_singular = 1, nsamp = 2, group_size = 100)
  # A group copy without the case carrying column 3 cannot be equilibrated.
  expect_error(lmrob_S(x, y, ctl), "dgeequ: column 3 is exactly zero.", fixed = TRUE)
  # Column 3 on every 20th case: each group has some, but most draws miss them.
  x[, 3] <- as.double(seq_len(n) %% 20 == 0)
  expect_error(expect_warning(lmrob_S(x, y, ctl), "Too many singular resamples"),
               "no non-singular subsample")
  expect_lt(max(abs(lmrob_S(x, y, lmrob_control(nsamp = 20))$coefficients)), 0.5)
})

test_that("the status tables and shared constants of R are the compiled code's", {
  ns <- asNamespace("kelvara")
  nc <- ns$.native_constants()
  expect_identical(nc$codes, unname(c(ns$.fit_codes, ns$.descent_ends, ns$.status_slots - 1L,
                                      length(ns$.status_slots), ns$.subsample_status)))
  expect_identical(nc$values[["l1_scale_divisor"]], ns$.l1_scale_divisor)
  # The large-sample switch is where the compiled search takes it: n = 2000
  # runs the plain search, n = 2001 the nested one (its group phase traces).
  d <- lmrob_data(nc$values[["large_n_threshold"]] + 1, c(1, 1))
  out <- capture.output(lmrob_S(d$x, d$y, lmrob_control(nsamp = 2, trace = 1)))
  expect_true(any(grepl("^ best \\[0\\]", out)))
  out <- capture.output(lmrob_S(d$x[-1, ], d$y[-1], lmrob_control(nsamp = 2, trace = 1)))
  expect_false(any(grepl("^ best \\[0\\]", out)))
})

test_that("half of the residuals zero: an exact fit with scale 0, never a NaN scale", {
  set.seed(1); x <- sample(-10:10, 40, TRUE)
  y <- 1 + 2 * x + c(rep(0, 21), rnorm(19, 0, 3))
  expect_warning(f <- lmrob_S(cbind(1, x), y, lmrob_control(nsamp = 200)),
                 "exact fit: 21 of 40")
  expect_identical(f$scale, 0); expect_equal(unname(f$coefficients), c(1, 2), tolerance = 1e-10)
  # Exactly half of the residuals non-zero at p = 2: the M-scale equation
  # (mean chi = 0.5 over n - p = 38) has no positive root, so 0 is the M-scale.
  expect_identical(mscale(y - 1 - 2 * x, p = 2), 0)
  # At p = 4 the same share leaves a positive root though the MAD is 0: a
  # candidate starts from the mean absolute residual and gets a finite scale.
  x4 <- cbind(1, x, rnorm(40), rnorm(40))
  y4 <- drop(x4 %*% c(1, 2, 0, 0)) + c(rep(0, 21), rnorm(19, 0, 3))
  s4 <- lmrob_S(x4, y4, lmrob_control(nsamp = 100))
  expect_true(is.finite(s4$scale) && s4$scale >= 0)
})

test_that("max_it_scale bounds every M-scale solve, and warnings follow the result", {
  set.seed(8); d <- lmrob_data(60, c(1, 2), share = 0.1)
  ctl <- function(m) lmrob_control(nsamp = 50, max_it_scale = m)
  set.seed(1); a <- lmrob_S(d$x, d$y, ctl(200))
  # The search's solves only rank candidates: recorded, not announced.
  set.seed(1); expect_silent(b <- lmrob_S(d$x, d$y, ctl(1)))
  expect_true(identical(a$scale_unconverged, 0L) && b$scale_unconverged > 0L && b$converged)
  # The M-S scale is the result: a solve cut short there is announced once.
  x1 <- model.matrix(~gl(2, 30)); x2 <- d$x[, 2, drop = FALSE]
  set.seed(1); m200 <- lmrob_M_S(x1, x2, d$y, list(nsamp = 20, descent = FALSE))
  set.seed(1)
  w <- collect_warnings(m1 <- lmrob_M_S(x1, x2, d$y,
                                         list(nsamp = 20, descent = FALSE, max_it_scale = 1)))
  expect_identical(w$warnings,
                   "find_scale() did not converge in 'maxit.scale' (= 1) iterations")
  expect_false(isTRUE(all.equal(m1$scale, m200$scale)))
})

test_that("behaviour follows the status codes, not the message texts", {
  d <- lmrob_data(40, c(1, 2), share = 0.2)
  txt <- asNamespace("kelvara")$.fit_text
  old <- as.list(txt)
  on.exit(list2env(old, txt))
  run <- function() {
    set.seed(9)
    w <- collect_warnings(lmrob(y ~ g + x, data.frame(y = d$y, x = d$x[, 2], g = gl(2, 20)),
                                init = "M-S", seed = 1, ms_max_steps = 1))
    list(warnings = w$warnings, status = w$value$init, coef = coef(w$value))
  }
  a <- run()
  for (nm in names(old)) assign(nm, paste("reworded", nm), envir = txt)
  b <- run()
  expect_identical(b[c("status", "coef")], a[c("status", "coef")])
  expect_true("reworded ms_step_limit" %in% b$warnings && old$ms_step_limit %in% a$warnings)
})

test_that("a search whose scales never fall below the empty-slot value reports no estimate", {
  set.seed(2); x <- cbind(1, rnorm(50)); y <- drop(x %*% c(1, 2)) + rnorm(50)
  codes <- asNamespace("kelvara")$.fit_codes
  kv_S <- function(y) .C("kv_lmrob_S", x, y, 50L, 2L, 20L, scale = 0, beta = double(2),
                         1.54764, 1L, 0.5, 2L, 5L, 400L, 2L, 200L, 200L, 1e-7, 1e-7, FALSE,
                         0L, 200L, 1L, status = integer(8), PACKAGE = "kelvara")
  set.seed(1); ok <- kv_S(y)
  set.seed(1); huge <- kv_S(y * 1e21)
  expect_identical(c(ok$status[1], huge$status[1]), c(codes[["ok"]], codes[["no_candidate"]]))
  expect_identical(huge$scale, 1e20)  # the sentinel the R layer must not pass on
  kv_MS <- function(y) .C("kv_lmrob_M_S", matrix(0, 50, 0), x, y, double(50), 50L, 0L, 2L,
                          20L, scale = 0, double(0), double(2), 1.54764, 1L, 0.5, 20L, 50L,
                          1e-7, 1e-7, FALSE, 0L, FALSE, TRUE, TRUE, 200L, 1L, 200L,
                          status = integer(8), PACKAGE = "kelvara")$status[1]
  set.seed(1); expect_identical(kv_MS(y), codes[["ok"]])
  set.seed(1); expect_identical(kv_MS(y * 1e21), codes[["no_candidate"]])
})
