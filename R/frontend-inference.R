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
  if (isTRUE(dpsi > 0) && isTRUE(sum(w) > 0)) {
    inv <- tryCatch(chol2inv(chol(xtwx)), error = function(e) NULL)
    if (!is.null(inv)) {
      tau <- mean(psi_u^2) / dpsi^2
      cov[] <- scale^2 * tau * sum(w) / (n - p) * inv
    }
  }
  if (anyNA(cov))
    warning("the covariance of the estimate cannot be computed (too few observations with positive weight)",
            call. = FALSE)
  ## Robust R^2: the R^2 of the weighted least-squares problem that the
  ## estimate solves at convergence, with the robustness weights
  ## w_i = psi(u_i) / u_i of its rho function:
  ##   R^2 = 1 - sum w r^2 / sum w (y - mu_w)^2,
  ## mu_w the weighted mean (0 without an intercept).  Observations that
  ## the fit rejects have weight 0 and do not count; on clean data the
  ## weights are near 1 and the value is near the least-squares R^2.
  r1 <- y - drop(x %*% beta)
  r0 <- if (intercept) y - sw * sum(w * sw * y) / sum(w * sw^2) else y
  tss <- sum(w * r0^2)
  ## (tss overflows for responses beyond the square root of the largest double)
  r2 <- if (is.finite(tss) && tss > 0) 1 - sum(w * r1^2) / tss else NA_real_
  df_int <- as.integer(intercept)
  adj <- 1 - (1 - r2) * (n - df_int) / (n - p)
  list(cov = cov, r.squared = r2, adj.r.squared = adj)
}
