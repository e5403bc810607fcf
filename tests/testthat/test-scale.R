## M-scale, robustness weights, D-scale and fitted values.

probe <- native_probe("scale_probe", c("psi.cpp", "scale.cpp"))

sum_rho_sc <- function(r, scale, p, k, ipsi)
  .C("probe_sum_rho_sc", as.double(r), as.double(scale), length(r), as.integer(p),
     as.double(k), as.integer(ipsi), out = 0, PACKAGE = probe)$out
find_scale <- function(r, b, k, ipsi, s0, p = 0L, max_it = 200L)
  .C("probe_find_scale", as.double(r), as.double(b), as.double(k), as.integer(ipsi),
     as.double(s0), length(r), as.integer(p), as.integer(max_it), out = 0,
     NAOK = TRUE, PACKAGE = probe)$out
weights_rhop <- function(r, scale, k, ipsi)
  .C("probe_get_weights_rhop", as.double(r), as.double(scale), length(r), as.double(k),
     as.integer(ipsi), w = double(length(r)), PACKAGE = probe)$w

no_conv <- function(m)
  sprintf("find_scale() did not converge in 'maxit.scale' (= %d) iterations", m)

test_that("find_scale solves the M-scale equation; worked values and the warning", {
  skip_if(is.null(probe), "module sources not available")
  r <- c(1, -1, 2, -2)
  expect_silent(s <- find_scale(r, 0.5, 1.5, 1L, 1))
  expect_equal(find_scale(r, 0.5, 1.5, 1L, 0.5), s, tolerance = 1e-10)
  # the defining equation, by uniroot on chi_func
  eq <- function(s) mean(chi_func(r / s, "bisquare", 1.5)) - 0.5
  expect_equal(s, uniroot(eq, c(1, 10), tol = 1e-14)$root, tolerance = 1e-9)

  expect_warning(s0 <- find_scale(r, 0.5, 1.5, 1L, 1.25, max_it = 0L), no_conv(0), fixed = TRUE)
  expect_identical(s0, 1.25)
  expect_warning(s1 <- find_scale(r, 0.5, 1.5, 1L, 1, max_it = 1L), no_conv(1), fixed = TRUE)
  expect_equal(s1, sqrt(mean(chi_func(r, "bisquare", 1.5)) / 0.5), tolerance = 1e-15)

  # other families, p > 0, planted outliers: s solves sum chi(r/s) / (n - p) = b
  set.seed(11); r <- c(rnorm(40), 50, -80, 200)
  cases <- list(list("bisquare", 1.547645, 0.5), list("hampel", c(1.5, 3.5, 8) * 0.2119163, 0.5),
                list("gaussweight", 1.2, 0.3))
  for (cs in cases) {
    code <- kelvara:::.psi_code(cs[[1]]); p <- 3L
    s <- expect_silent(find_scale(r, cs[[3]], cs[[2]], code, 2, p = p))
    eq <- function(s) sum(chi_func(r / s, cs[[1]], cs[[2]])) / (length(r) - p) - cs[[3]]
    expect_equal(s, uniroot(eq, c(0.01, 100), tol = 1e-14)$root, tolerance = 1e-8,
                 info = cs[[1]])
    expect_equal(sum_rho_sc(r, s, p, cs[[2]], code), cs[[3]], tolerance = 1e-9)
    # scale equivariance
    expect_equal(find_scale(7 * r, cs[[3]], cs[[2]], code, 2, p = p), 7 * s,
                 tolerance = 1e-9, info = cs[[1]])
    # bounded under the three planted outliers (well below breakdown)
    expect_lt(s, 2.5 * find_scale(r[1:40], cs[[3]], cs[[2]], code, 1, p = p))
  }
  # a NaN residual: no convergence, a warning and NaN
  expect_warning(sn <- find_scale(c(1, NaN, 2), 0.5, 2, 1L, 1, max_it = 5L), no_conv(5),
                 fixed = TRUE)
  expect_true(is.nan(sn))
})

test_that("get_weights_rhop applies the weight function to r / scale", {
  skip_if(is.null(probe), "module sources not available")
  r <- c(-7, -2.5, 0, 0.3, 1.9, 4)
  expect_identical(weights_rhop(r, 1.7, c(1, 2, 3), 4L), wgt_func(r / 1.7, "hampel", c(1, 2, 3)))
})

## R_find_D_scale called directly.
d_scale <- function(r, K, t, scale, k, ipsi, variant, eps = 1e-10, max_k = 100L, n = length(r))
  .C("R_find_D_scale", as.double(r), as.double(K), as.double(t), as.integer(n),
     scale = as.double(scale), as.double(k), as.integer(ipsi), as.integer(variant),
     as.double(eps), as.integer(max_k), converged = NA, NAOK = TRUE,
     PACKAGE = "kelvara")[c("scale", "converged")]

## One step of the D-scale iteration, written out from its definition.
d_step <- function(s, r, K, t, psi, k, variant) {
  z <- r / t; w <- wgt_func(z / s, psi, k)
  nm <- switch(variant, list(w * z^2, w), list((w * z)^2, w^2),
               list(w * r^2, w * t^2), list((w * r)^2, (w * t)^2))
  sqrt(sum(nm[[1]]) / sum(nm[[2]]) / K)
}

test_that("R_find_D_scale iterates its defining fixed point in all variants", {
  set.seed(3); r <- c(rnorm(25), 9, -12); t <- runif(27, 0.5, 1.5)
  fams <- list(list("bisquare", 4.685061, 1L), list("lqq", c(1.4735, 0.9823, 1.5), 6L))
  for (v in 1:4) for (fam in fams[1 + v %% 2]) {
      res <- d_scale(r, 0.8, t, 1, fam[[2]], fam[[3]], v)
      expect_true(res$converged)
      expect_equal(d_step(res$scale, r, 0.8, t, fam[[1]], fam[[2]], v), res$scale,
                   tolerance = 1e-9, info = paste(fam[[1]], v))
      # the iteration itself, step by step, from the same start
      s <- 1; for (i in 1:3) s <- d_step(s, r, 0.8, t, fam[[1]], fam[[2]], v)
      three <- d_scale(r, 0.8, t, 1, fam[[2]], fam[[3]], v, max_k = 3L)
      expect_false(three$converged); expect_equal(three$scale, s, tolerance = 1e-13)
      # the R wrapper agrees and is scale equivariant
      w <- kelvara:::.find_D_scale(r, 0.8, t, 1, fam[[2]], fam[[1]], v, 1e-10)
      expect_identical(w$scale, res$scale)
      expect_equal(kelvara:::.find_D_scale(5 * r, 0.8, t, 1, fam[[2]], fam[[1]], v,
                                           1e-12)$scale, 5 * res$scale, tolerance = 1e-8)
  }
  # unlisted variants act as variant 3, exactly
  for (v in c(0L, 7L, -3L))
    expect_identical(d_scale(r, 0.8, t, 1, 4.685061, 1L, v),
                     d_scale(r, 0.8, t, 1, 4.685061, 1L, 3L))
})

test_that("R_find_D_scale worked values, the flag and degenerate input", {
  r <- c(3, -1, 2.5, 0.5, -4); K <- 1.3; s1 <- sqrt(sum(r^2) / (5 * K))
  # every weight is exactly 1: the first iterate is s1, the second equals it
  one <- d_scale(r, K, rep(1, 5), 2, 1000, 3L, 3L, max_k = 1L)
  expect_identical(one, list(scale = s1, converged = FALSE))
  expect_identical(d_scale(r, K, rep(1, 5), 2, 1000, 3L, 3L), list(scale = s1, converged = TRUE))
  # max_k = 0: the scale stays, the flag is FALSE
  expect_identical(d_scale(r, K, rep(1, 5), 2, 1000, 3L, 3L, max_k = 0L),
                   list(scale = 2, converged = FALSE))
  expect_error(kelvara:::.find_D_scale(r, 1, rep(1, 4), 1, 4, "bisquare"), "'tau'")
})

## R_calc_fitted called directly, with the output's initial content given.
calc_fitted <- function(X, beta, F, n, p, A, B, C)
  .C("R_calc_fitted", as.double(X), as.double(beta), F = as.double(F),
     as.integer(n), as.integer(p), as.integer(A), as.integer(B), as.integer(C),
     NAOK = TRUE, PACKAGE = "kelvara")$F

test_that("R_calc_fitted multiplies every design by its coefficient vectors", {
  # C = 0 writes nothing
  expect_identical(calc_fitted(c(1, 1, 1, 2), c(3, 4), c(-1, -1), 2, 2, 1, 1, 0), c(-1, -1))

  # random 4-d arrays against plain matrix products, with missing vectors
  set.seed(7); n <- 5; p <- 3; A <- 2; B <- 3; C <- 2
  X <- array(rnorm(n * p * A * C), c(n, p, A, C))
  beta <- array(rnorm(A * p * B * C), c(A, p, B, C))
  beta[2, 1, 3, 1] <- NA; beta[1, 1, 1, 2] <- NA
  beta[1, 2, 2, 2] <- NA  # not the first coefficient: not missing, gives NA
  Fit <- kelvara:::.calc_fitted(X, beta)
  expect_equal(dim(Fit), c(n, A, B, C))
  for (cc in 1:C) for (bb in 1:B) for (aa in 1:A)
    expect_equal(Fit[, aa, bb, cc], drop(X[, , aa, cc] %*% beta[aa, , bb, cc]), tolerance = 1e-14)
  expect_true(all(is.na(Fit[, 2, 3, 1])) && all(is.na(Fit[, 1, 1, 2])))
  expect_equal(sum(is.na(Fit)), 3 * n)
  # the kernel leaves missing vectors' outputs as passed in
  raw <- calc_fitted(X, beta, rep(-7, n * A * B * C), n, p, A, B, C)
  expect_equal(sum(raw == -7, na.rm = TRUE), 2 * n)

  expect_error(kelvara:::.calc_fitted(X, beta[, -1, , , drop = FALSE]), "dimensions")
})

test_that("a NaN start or residual ends the M-scale and D-scale iterations at once", {
  big <- .Machine$integer.max; t0 <- proc.time()[["elapsed"]]
  expect_warning(
    s <- .C("R_lmrob_S", double(0), y = c(1, -1, 2, -2), 4L, 0L, 0L, scale = NaN,
            double(0), 1.5, 1L, 0.5, 0L, 0L, 0L, 0L, 0L, big, 0, 0, FALSE, 0L, 0L, 0L,
            NAOK = TRUE, PACKAGE = "kelvara")$scale,
    sprintf("(= %d)", big), fixed = TRUE)
  expect_true(is.nan(s))
  d <- .C("R_find_D_scale", c(1, NaN, 2), 1, rep(1, 3), 3L, scale = 1, 4.685, 1L, 3L,
          1e-7, big, converged = TRUE, NAOK = TRUE, PACKAGE = "kelvara")
  expect_true(is.nan(d$scale) && !d$converged)
  expect_lt(proc.time()[["elapsed"]] - t0, 2)
})
