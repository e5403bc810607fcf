## Finite-sample correction factors of the LTS scale and the MCD covariance.
##
## The asymptotic consistency factors make the estimates consistent at the
## normal model, but in small samples the residuals (LTS) and distances (MCD)
## of clean cases have much heavier tails than their limits: at n = 21 the
## raw fits flagged a quarter to a third of clean cases.  The factors here
## are determined by simulation at the normal model (.lts_factor_sim,
## .mcd_factor_sim) over a grid of n, p and alpha, and stored as fitted
## formulas (.small_sample_coef; bench/consistency-factors.R reruns the
## determination and prints the table).
##
## What each factor makes right at the normal model:
##   LTS raw scale:     clean cases beyond 2.5 scales have the normal share
##                      2 * pnorm(-2.5) (the cut-off's nominal rate);
##   LTS reweighted:    the mean squared reweighted scale is sigma^2;
##   LTS covariance:    the mean of (estimate - true)^2 / variance over the
##                      coefficients of the reweighted fit is 1;
##   MCD raw and reweighted covariance: clean squared distances beyond the
##                      0.975 chi-square quantile have share 0.025.
## The fitted formula, for each alpha of the grid:
##   log f(n, p) = sum_j b_j t_j(n, p), with the terms t of
##   .small_sample_basis, all of which vanish as n grows for fixed p.
## Between grid values of alpha, log f is interpolated linearly; from the
## last grid value to alpha = 1 it falls linearly to 0 (no factor at full
## coverage, where both estimates are the classical ones).

.small_sample_alpha <- c(0.5, 0.75)

## Terms of the fitted formula at grid value alpha.  d is the rounding of
## the default coverage, floor(...) minus its unrounded value (0 or -1/2 at
## alpha = 0.5): one case more or less in the h-subset matters at n = 20.
.small_sample_basis <- function(n, p, alpha) {
  r <- p / n
  n2 <- (n + p + 1) / 2
  d <- floor(2 * floor(n2) - n + 2 * (n - floor(n2)) * alpha) - (2 * n2 - n + 2 * (n - n2) * alpha)
  cbind(r, r^2, r^3, 1 / n, r / n, sqrt(p) / n, r^2 / n, d / n, d * r / n, d * r^2 / n)
}

## Coefficients of the fitted formulas: one row per grid alpha, one column
## per basis term.  Produced by bench/consistency-factors.R.
.small_sample_coef <- list(
  lts_raw = matrix(c(11.304279, -19.974754, -9.9560413, 5.7016623, -95.441582, -5.168707,
                     461.73064, 1.9900861, -60.977387, 144.4916, 4.6098055, -11.357587,
                     30.15929, 0.91900074, 21.465086, -2.5804861, -94.17022, 0.65293561,
                     -10.938436, 14.892854), 2L, byrow = TRUE),
  lts_rw = matrix(c(-0.49492506, 2.6032736, -0.60237325, -0.37438608, 10.255915, 0.15376322,
                    -55.757263, -0.87900831, 20.426991, -66.958822, 0.048429607, 1.1266822,
                    -6.3259863, 0.059277751, 2.7664656, -0.38643631, -2.3043833,
                    0.087040572, 7.0195375, -44.217697), 2L, byrow = TRUE),
  lts_cov = matrix(c(-0.0099306028, -1.4114874, 28.71612, 4.0768516, 69.550606, -4.4764919,
                     -256.04396, 1.0149442, 6.5623189, -66.096046, -0.0061089261,
                     -8.4761858, 24.950912, 0.17767525, 34.028716, 1.2211896, -39.893841,
                     6.6627827, -95.537039, 283.32663), 2L, byrow = TRUE),
  mcd_raw = matrix(c(-17.963771, 53.91552, -83.486534, -45.789235, -256.99873, 89.653519,
                     179.00965, -8.4762623, 69.820112, -360.37672, -2.9688211, 4.796514,
                     45.134359, -4.5037893, -3.2109518, 19.866066, -312.12646, -1.3584793,
                     4.9793593, 27.142826), 2L, byrow = TRUE),
  mcd_rw = matrix(c(2.0918142, -3.9394303, 2.2875942, 5.2177071, 8.8338553, -6.9370354,
                    6.9989256, -1.0005009, 10.067755, -24.38967, 1.3536764, -7.2657955,
                    28.793266, 1.3402323, 37.979186, -3.2187021, -192.44577, -0.16988432,
                    6.4855475, -29.14334), 2L, byrow = TRUE))

## The factor of one stage ("lts_raw", "lts_rw", "lts_cov", "mcd_raw", "mcd_rw") at
## sample size n, dimension p (LTS: coefficients including the intercept;
## MCD: variables) and coverage fraction alpha.
.small_sample_factor <- function(stage, n, p, alpha) {
  b <- .small_sample_coef[[stage]]
  ag <- .small_sample_alpha
  ## Outside the grid of the determination (n >= 20, p <= 6) the formula is
  ## evaluated at its edge rather than extrapolated.
  lf <- vapply(seq_along(ag), function(i)
    sum(b[i, ] * .small_sample_basis(max(n, 20), min(p, 6), ag[i])), 0)
  alpha <- min(max(alpha, ag[1L]), 1)
  v <- if (alpha >= ag[length(ag)]) {
    lf[length(ag)] * (1 - alpha) / (1 - ag[length(ag)])
  } else {
    stats::approx(ag, lf, alpha)$y
  }
  exp(v)
}

## The coverage fraction that a given coverage h corresponds to (the
## inverse of the default rule floor((n + p + 1) / 2) .. n).
.coverage_alpha <- function(h, n, p) {
  n2 <- (n + p + 1) %/% 2
  if (n <= n2) return(1)
  min(max((h - 2 * n2 + n) / (2 * (n - n2)), 0.5), 1)
}

## Factor q / cutoff with q the quantile of level 1 - rate of the pooled
## values v (a matrix, one column per simulated sample), and its standard
## error from resampling whole samples (the values of one sample are
## dependent).
.quantile_factor <- function(v, rate, cutoff, nboot = 200L) {
  level <- 1 - rate
  est <- stats::quantile(v, level, names = FALSE, type = 7) / cutoff
  R <- ncol(v)
  boot <- vapply(seq_len(nboot), function(i)
    stats::quantile(v[, sample.int(R, R, TRUE)], level, names = FALSE), 0)
  c(factor = est, se = stats::sd(boot) / cutoff)
}

## Factor 1 / sqrt(mean(s^2)) of simulated scales s and its standard error.
.variance_factor <- function(s) {
  m <- mean(s^2)
  c(factor = 1 / sqrt(m), se = 0.5 * m^(-1.5) * stats::sd(s^2) / sqrt(length(s)))
}

## The determination at one (n, p, alpha) for LTS: nrep samples of n cases
## at the normal model (intercept and p - 1 standard normal regressors,
## standard normal errors), fitted by lts() with its defaults.  Returns the
## factor and its Monte Carlo standard error for the raw scale, the
## reweighted scale and the covariance, each relative to the stored factor
## of its stage (1 when the stored formula is exact).  The reweighted stage
## depends on the raw factor: with raw = "stored" it uses the stored one (as
## lts() does); with raw = "estimated" (the determination of the table) it
## is redone with the raw factor just estimated, and the reweighted and
## covariance factors are then absolute.
.lts_factor_sim <- function(n, p, alpha = 0.5, nrep = 200L, seed = 1L,
                            raw = c("stored", "estimated")) {
  raw <- match.arg(raw)
  .with_seed(seed, {
    u <- matrix(0, n, nrep)
    fits <- vector("list", nrep)
    for (r in seq_len(nrep)) {
      X <- if (p > 1L) matrix(stats::rnorm(n * (p - 1L)), n) else NULL
      y <- stats::rnorm(n)
      f <- lts(X, y, alpha = alpha)
      u[, r] <- abs(f$residuals) / f$scale
      fits[[r]] <- list(X = X, y = y, f = f)
    }
    f_raw <- .quantile_factor(u, 2 * stats::pnorm(-2.5), 2.5)
    s1 <- t2 <- numeric(nrep)
    for (r in seq_len(nrep)) {
      f <- fits[[r]]$f
      ss <- f$small_sample
      if (raw == "estimated") {
        design <- cbind(rep(1, n), fits[[r]]$X)
        ss <- c(raw = ss[["raw"]] * f_raw[["factor"]], reweighted = 1, cov = 1)
        f <- .lts_finish(list(coefficients = f$coefficients, best = f$best), design,
                         fits[[r]]$y, f$h, small = ss)
      }
      s1[r] <- f$reweighted$scale
      ## every true coefficient is 0
      t2[r] <- mean(f$reweighted$coefficients^2 / diag(f$reweighted$cov))
    }
    rbind(raw = f_raw, reweighted = .variance_factor(s1),
          cov = c(factor = mean(t2), se = stats::sd(t2) / sqrt(nrep)))
  })
}

## The determination for MCD: nrep samples of n cases from N(0, I_p),
## fitted by mcd() with its defaults.  The raw factor makes the share of raw
## squared distances beyond the 0.975 chi-square quantile 0.025, the
## reweighted factor does the same for the final distances; `raw` as for
## .lts_factor_sim.
.mcd_factor_sim <- function(n, p, alpha = 0.5, nrep = 200L, seed = 1L,
                            raw = c("stored", "estimated")) {
  raw <- match.arg(raw)
  cutoff <- stats::qchisq(0.975, p)
  .with_seed(seed, {
    d0 <- d1 <- matrix(0, n, nrep)
    fits <- vector("list", nrep)
    for (r in seq_len(nrep)) {
      x <- matrix(stats::rnorm(n * p), n)
      m <- mcd(x, alpha = alpha)
      d0[, r] <- m$raw_mah
      fits[[r]] <- list(x = x, m = m)
    }
    f_raw <- .quantile_factor(d0, 0.025, cutoff)
    for (r in seq_len(nrep)) {
      m <- fits[[r]]$m
      if (raw == "estimated") {
        x <- fits[[r]]$x
        raw_cov <- m$raw_cov * f_raw[["factor"]]
        d1[, r] <- .mcd_reweight(x, .mcd_prescale(x), m$raw_center, raw_cov, cutoff, 1)$mah
      } else {
        d1[, r] <- m$mah
      }
    }
    rbind(raw = f_raw, reweighted = .quantile_factor(d1, 0.025, cutoff))
  })
}
