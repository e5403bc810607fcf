## Inference for the fitted regression: the asymptotic covariance of the
## estimate under its psi function, and a robust R^2 from the rho function.

## x, y: the (prior-weighted) design and response that were fitted; beta,
## scale: the estimate; sw: the square roots of the prior weights.
.lmrob_inference <- function(x, y, beta, scale, control, tuning, intercept, sw, exact) {
  psi <- control$psi
  n <- nrow(x)
  p <- ncol(x)
  na_cov <- matrix(NA_real_, p, p, dimnames = list(colnames(x), colnames(x)))
  if (exact) return(list(cov = na_cov, r.squared = 1, adj.r.squared = 1))
  code <- .psi_code(psi)
  u <- drop(y - x %*% beta) / scale
  ## Covariance sigma^2 tau (E x x')^{-1} / n with tau = E psi^2 / (E psi')^2.
  ## E x x' is estimated by the robustness-weighted mean of x x'; under the
  ## model the weights do not depend on x, so this is consistent and bad
  ## leverage points (large residuals, weight near 0) do not shrink it.
  ## The factor n / (n - p) makes the formula the least-squares one when
  ## psi is the identity.
  psi_u <- .psi_value(u, code, tuning, "psi")
  dpsi <- mean(.psi_value(u, code, tuning, "psip"))
  w <- .psi_value(u, code, tuning, "wgt")
  cov <- na_cov
  xtwx <- crossprod(x * sqrt(w))
  if (dpsi > 0 && sum(w) > 0) {
    inv <- tryCatch(chol2inv(chol(xtwx)), error = function(e) NULL)
    if (!is.null(inv)) {
      tau <- mean(psi_u^2) / dpsi^2
      cov[] <- scale^2 * tau * sum(w) / (n - p) * inv
    }
  }
  if (anyNA(cov))
    warning("the covariance of the estimate cannot be computed (too few observations with positive weight)",
            call. = FALSE)
  ## Robust R^2 from M-scales: R^2 = 1 - (s_fit / s_null)^2, where s_fit is
  ## the M-scale of the residuals and s_null that of y - mu, mu the
  ## M-estimate of location under the same psi and scale (0 without an
  ## intercept).  Both M-scales use the rho function of the final estimate
  ## with the right-hand side E[chi(Z)], so they estimate the standard
  ## deviation at the normal and the ratio is close to the least-squares
  ## one on clean data; the adjusted version uses the divisors n - p and
  ## n - 1 (n without an intercept) inside the M-scale equations.
  if (intercept) {
    mu0 <- stats::median(y / sw)
    ## A location M-estimate converges slowly when many observations sit
    ## in the redescending part: allow it many steps.
    ctrl <- control
    ctrl$max_it <- max(control$max_it, 1000L)
    loc <- suppressWarnings(.stage_MM(matrix(sw, ncol = 1L), y, mu0, scale, ctrl,
                                      tuning = tuning))
    r0 <- y - sw * loc$coefficients
  } else r0 <- y
  r1 <- y - drop(x %*% beta)
  nc <- .native_control(control)
  nc$tuning_chi <- tuning
  nc$bb <- .chi_expect(code, tuning)
  df_int <- as.integer(intercept)
  ratio <- function(p1, p0) {
    s1 <- mscale(r1, p1, nc)
    s0 <- mscale(r0, p0, nc)
    if (s0 > 0) (s1 / s0)^2 else NA_real_
  }
  r2 <- 1 - ratio(0L, 0L)
  adj <- 1 - ratio(p, df_int)
  list(cov = cov, r.squared = r2, adj.r.squared = adj)
}
