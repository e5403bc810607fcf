## Inference for the fitted regression: the asymptotic covariance of the
## estimate under its psi function, and a robust R^2 from the rho function.

## E[psi(Z)^2], E[psi'(Z)], E[psi'(Z)^2], E[w(Z)] and E[w(Z) Z^2] = E[psi(Z) Z] at the
## standard normal for a family and its constants (kept once computed).
.normal_psi_moments_cache <- new.env(parent = emptyenv())
.normal_psi_moments <- function(code, tuning) {
  key <- paste(code, paste(format(tuning, digits = 17), collapse = ","))
  m <- .normal_psi_moments_cache[[key]]
  if (!is.null(m)) return(m)
  br <- .psi_breaks(code, tuning)
  m <- c(psi2 = .normal_expect(function(z) .psi_value(z, code, tuning, "psi")^2, br),
         dpsi = .normal_expect(function(z) .psi_value(z, code, tuning, "psip"), br),
         dpsi2 = .normal_expect(function(z) .psi_value(z, code, tuning, "psip")^2, br),
         w = .normal_expect(function(z) .psi_value(z, code, tuning, "wgt"), br),
         wz2 = .normal_expect(function(z) z * .psi_value(z, code, tuning, "psi"), br))
  .normal_psi_moments_cache[[key]] <- m
  m
}

## x, y: the (prior-weighted) design and response that were fitted; beta,
## scale: the estimate; sw: the square roots of the prior weights (NULL: all
## 1); r: the residuals y - x beta, u = r / scale and w their robustness
## weights, when the caller has them (passes of the design fewer); sums: the
## sums over the rows (.inference_sums()) when the caller has them.
.lmrob_inference <- function(x, y, beta, scale, control, tuning, intercept, sw, exact,
                             w = NULL, r = NULL, u = NULL, sums = NULL) {
  n <- nrow(x)
  p <- ncol(x)
  na_cov <- matrix(NA_real_, p, p, dimnames = list(colnames(x), colnames(x)))
  if (exact) return(list(cov = na_cov, cov_weighted = na_cov, r.squared = 1,
                        adj.r.squared = 1))
  code <- .psi_code(control$psi)
  if (is.null(sums)) sums <- .inference_sums(x, y, beta, scale, code, tuning, intercept, sw,
                                             w, r, u)
  ## Covariance sigma^2 tau (E x x')^{-1} / n with tau = E psi^2 / (E psi')^2.
  ## E x x' is estimated by the robustness-weighted mean of x x'; under the
  ## model the weights do not depend on x, so this is consistent and bad
  ## leverage points (large residuals, weight near 0) do not shrink it.
  ## The factor n / (n - p) makes the formula the least-squares one when
  ## psi is the identity.
  mean_psi2 <- sums$mean_psi2
  dpsi <- sums$dpsi
  sum_w <- sums$sum_w
  nm <- .normal_psi_moments(code, tuning)
  ## Robust R^2.  The estimate solves, at convergence, the weighted
  ## least-squares problem with the robustness weights w_i = psi(u_i) / u_i,
  ## which splits the weighted total sum of squares
  ##   TSS_w = sum w (y - mu_w)^2 = sum w (yhat - mu_w)^2 + SSE_w,
  ## mu_w the weighted mean (0 without an intercept).  At the normal model
  ## the weights do not depend on x, so sum w (yhat - mu_w)^2 estimates
  ## n E[w(Z)] Var(x'beta) and SSE_w = sum w r^2 estimates n E[w(Z) Z^2]
  ## sigma^2.  Dividing by these expected weight factors gives
  ##   R^2 = F / (F + E),  F = (TSS_w - SSE_w) / E[w(Z)],  E = SSE_w / E[w(Z) Z^2],
  ## an estimate of the population R^2 Var(x'beta) / (Var(x'beta) + sigma^2).
  ## Observations that the fit rejects have weight 0 and do not count.
  tss <- sums$tss
  sse <- sums$sse
  ## (tss overflows for responses beyond the square root of the largest double)
  r2 <- if (is.finite(tss) && tss > 0) {
    fit_part <- max(tss - sse, 0) / nm[["w"]]
    fit_part / (fit_part + sse / nm[["wz2"]])
  } else NA_real_
  cov <- cov_w <- na_cov
  inv <- if (isTRUE(sum_w > 0)) tryCatch(chol2inv(chol(sums$xtwx)), error = function(e) NULL)
  if (!is.null(inv)) cov_w[] <- .weighted_cov_factor(nm, n, p) * scale^2 * inv
  if (isTRUE(dpsi > 0) && isTRUE(sum_w > 0)) {
    if (!is.null(inv)) {
      tau <- mean_psi2 / dpsi^2
      ## An S-estimate (its psi is that of the scale's rho) minimises the
      ## scale of its own residuals, which pulls them towards the centre of
      ## psi: the plug-in tau is far too small (1.7 at n = 100 where the
      ## normal value is 3.49, 2.9 at n = 500), and intervals cover 0.80.
      ## Its value at the normal model is the floor.
      if (identical(tuning, control$tuning_chi))
        tau <- max(tau, nm[["psi2"]] / nm[["dpsi"]]^2)
      cov[] <- scale^2 * tau * sum_w / (n - p) * inv
    }
  }
  if (anyNA(cov))
    warning("the covariance of the estimate cannot be computed (too few observations with positive weight)",
            call. = FALSE)
  df_int <- as.integer(intercept)
  adj <- 1 - (1 - r2) * (n - df_int) / (n - p)
  list(cov = cov, cov_weighted = cov_w, r.squared = r2, adj.r.squared = adj)
}

## The sums over the rows that the inference takes (arguments as for
## .lmrob_inference): the means of psi(u)^2 and psi'(u), the sum of the
## weights, the weighted total and residual sums of squares (about the
## weighted mean with an intercept) and the weighted cross-product
## X'WX.  (Without prior weights sw is 1, and multiplying by 1 changes no
## value: those products are left out.)  kv_lmrob_rows makes the same values
## in one pass (.lmrob_rows()).
.inference_sums <- function(x, y, beta, scale, code, tuning, intercept, sw, w = NULL,
                            r = NULL, u = NULL) {
  if (is.null(r)) r <- y - drop(x %*% beta)
  if (is.null(u)) u <- r / scale
  ## (the means of psi^2 and psi' first, so that their vectors are gone
  ## before the cross-product's n x p temporary)
  mean_psi2 <- mean(.psi_at(u, code, tuning, "psi")^2)
  dpsi <- mean(.psi_at(u, code, tuning, "psip"))
  if (is.null(w)) w <- .psi_at(u, code, tuning, "wgt")
  u <- NULL
  sum_w <- sum(w)
  r0 <- if (!intercept) y
        else if (is.null(sw)) y - sum(w * y) / sum_w
        else y - sw * sum(w * sw * y) / sum(w * sw^2)
  tss <- sum(w * r0^2)
  r0 <- NULL
  sse <- sum(w * r^2)
  r <- NULL
  .free_temporaries(x)
  list(mean_psi2 = mean_psi2, dpsi = dpsi, sum_w = sum_w, tss = tss, sse = sse,
       xtwx = crossprod(x * sqrt(w)))
}

## One compiled pass over the rows of a fit whose problem is the data
## themselves (design x, response y and coefficients coef, finite as the fit
## checked them, and scale > 0): the fitted values x coef, the robustness
## weights of the residuals and the sums of .inference_sums() (sw NULL),
## with the same values; NULL where a residual is not finite (the R
## computation then decides).  `names`: those of the fitted values and
## weights (.C returns its outputs with the attributes of the arguments).
## sw: the square roots of the prior weights that x and y carry, as for
## .inference_sums() (NULL: all 1).
.lmrob_rows <- function(x, y, coef, scale, psi, tuning, intercept, names = NULL, sw = NULL) {
  n <- nrow(x)
  p <- ncol(x)
  out <- double(n)
  if (!is.null(names)) names(out) <- names
  .rows_value(.C("kv_lmrob_rows", list(x, y, if (is.null(sw)) double() else as.double(sw)),
                 n, p, as.double(coef), as.double(scale), as.double(tuning), .psi_code(psi),
                 as.integer(intercept), as.integer(!is.null(sw)),
                 fitted = out, w = out, sums = double(6L),
                 xtwx = double(p * p), status = 0L, NAOK = TRUE, PACKAGE = "kelvara"), p)
}

## The value of .lmrob_rows() from the outputs of a compiled call that made
## them (fitted, w, sums, xtwx, status) for p coefficients.
.rows_value <- function(z, p) {
  if (z$status != 0L) return(NULL)
  s <- z$sums
  list(fitted = z$fitted, w = z$w,
       sums = list(mean_psi2 = s[1L], dpsi = s[2L], sum_w = s[3L], positive = as.integer(s[4L]),
                   tss = s[5L], sse = s[6L], xtwx = matrix(z$xtwx, p, p)))
}

## psi, psi' or the weight function of a family at u, by the routines that
## psi_func() and wgt_func() call and with their values; without their
## copies of u (NA entries go the checked way).  (u keeps its names:
## as.double() would drop them at the cost of about 0.1 s a million.)
.psi_at <- function(u, code, k, what) {
  if (anyNA(u)) return(.psi_value(u, code, k, what))
  if (!is.double(u)) u <- as.double(u)
  k <- as.double(k)  # (the types the routines are registered with)
  code <- as.integer(code)
  n <- length(u)
  switch(what,
         psi = .C("R_psifun", x = u, k, code, 0L, n, NAOK = TRUE, PACKAGE = "kelvara")$x,
         psip = .C("R_psifun", x = u, k, code, 1L, n, NAOK = TRUE, PACKAGE = "kelvara")$x,
         wgt = .C("R_wgtfun", x = u, k, code, n, NAOK = TRUE, PACKAGE = "kelvara")$x)
}

## The weighted covariance sigma^2 gamma (X'WX)^{-1}, W = diag(w(r_i / sigma)),
## gamma = E psi(Z)^2 E w(Z) / (E psi'(Z))^2 at the normal model: since
## E X'WX = n E w(Z) E xx' when the weights do not depend on x, it is the
## asymptotic covariance sigma^2 E psi^2 / (E psi')^2 (n E xx')^{-1}, with the
## design entering through the weighted cross-product of the observed rows.
## gamma is a constant (no plug-in ratio), so it does not shrink with the
## residuals of a small sample.  It is multiplied by the square of the
## small-sample correction K = 1 + (p / n) Var psi'(Z) / (E psi'(Z))^2 of
## M-estimates (the bias of the expansion of the estimating equations to
## order p / n; K = 1 for least squares).  Without it the 95 % SMDM
## intervals covered 0.940 to 0.946 at n / p = 5 in 2000-sample runs of
## bench/smdm.R (K^2 = 1.068 there for lqq at 95 %).
.weighted_cov_factor <- function(nm, n, p) {
  K <- 1 + p / n * (nm[["dpsi2"]] - nm[["dpsi"]]^2) / nm[["dpsi"]]^2
  nm[["psi2"]] * nm[["w"]] / nm[["dpsi"]]^2 * K^2
}

## The covariance each method reports unless asked otherwise: SMDM, whose
## D-scale already corrects the residuals for their leverage, the weighted
## form; MM and S the asymptotic form with its plug-in factor.
.default_cov_type <- function(method) if (method == "SMDM") "weighted" else "asymptotic"
