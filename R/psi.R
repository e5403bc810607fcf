## The psi families evaluated from R, and the R side of the D-scale and of the
## fitted values for arrays of coefficients.

## Tuning constants of a family, checked and as the compiled functions read
## them: one value c for bisquare, gaussweight and optimal; (a, b, r) for
## hampel; the case number (1..6), or (0, a, b, c, N) for the general case,
## for ggw; (b, c, s) for lqq.
.psi_const <- function(cc, code) {
  fam <- names(.psi_codes)[code]
  bad <- function(...) stop("'cc' ", ..., call. = FALSE)
  if (!is.numeric(cc) || length(cc) == 0L)
    bad("must be a numeric vector of tuning constants for psi = \"", fam, "\"")
  if (anyNA(cc) || !all(is.finite(cc)))
    bad("must hold finite tuning constants, not NA, NaN or Inf")
  cc <- as.double(cc)
  need <- function(len, what)
    if (length(cc) != len)
      bad("must hold ", what, " for psi = \"", fam, "\" (got ", length(cc),
          " value", if (length(cc) != 1L) "s", ")")
  switch(fam,
    bisquare = , gaussweight = , optimal = {
      need(1L, "one tuning constant")
      if (cc <= 0) bad("must be positive for psi = \"", fam, "\"")
    },
    hampel = {
      need(3L, "three break points c(a, b, r)")
      if (!(0 < cc[1L] && cc[1L] <= cc[2L] && cc[2L] < cc[3L]))
        bad("must satisfy 0 < a <= b < r for psi = \"hampel\"")
    },
    ggw = {
      case <- cc[1L]
      if (case != round(case) || case < 0 || case > 6)
        bad("[1] must be the ggw case number, a whole number from 0 to 6")
      if (case == 0) {
        need(5L, "c(0, a, b, c, N) for the general case 0")
        if (!(cc[2L] > 0 && cc[3L] > 0 && cc[4L] >= 0 && cc[5L] > 0))
          bad("must satisfy a > 0, b > 0, c >= 0 and N > 0 for ggw case 0")
      } else need(1L, "only the case number for the built-in ggw cases 1 to 6")
    },
    lqq = {
      need(3L, "c(b, c, s)")
      ## psi(b + c) = (b + c) - b s / 2 must be positive for psi to descend
      ## to 0 from there
      if (!(cc[1L] > 0 && cc[2L] >= 0 && cc[3L] > 1 &&
            cc[1L] * cc[3L] < 2 * (cc[1L] + cc[2L])))
        bad("must satisfy b > 0, c >= 0 and 1 < s < 2 (b + c) / b for psi = \"lqq\"")
    })
  cc
}

## One of the vectorised routines on x; NA and NaN entries are not passed to
## the module and come back as they were.  Attributes of x are kept.
.psi_eval <- function(routine, x, psi, cc, deriv) {
  if (!is.numeric(x)) stop("'x' must be numeric", call. = FALSE)
  code <- .psi_code(psi)
  if (missing(cc)) stop("'cc', the tuning constants, must be given", call. = FALSE)
  k <- .psi_const(cc, code)
  out <- x
  storage.mode(out) <- "double"
  ok <- !is.na(out)
  v <- out[ok]
  # Literal routine names, so that each call is checked against the
  # registration table.
  v <- switch(routine,
    R_wgtfun = .C("R_wgtfun", x = v, k, code, length(v), NAOK = TRUE, PACKAGE = "kelvara")$x,
    R_psifun = .C("R_psifun", x = v, k, code, as.integer(deriv), length(v), NAOK = TRUE,
                  PACKAGE = "kelvara")$x,
    R_chifun = .C("R_chifun", x = v, k, code, as.integer(deriv), length(v), NAOK = TRUE,
                  PACKAGE = "kelvara")$x)
  out[ok] <- v
  out
}

.check_deriv <- function(deriv, allowed) {
  if (!is.numeric(deriv) || length(deriv) != 1L || is.na(deriv) ||
      !(deriv %in% allowed))
    stop("'deriv' must be one of ", paste(allowed, collapse = ", "), call. = FALSE)
  as.integer(deriv)
}

psi_func <- function(x, psi = "bisquare", cc, deriv = 0) {
  d <- .check_deriv(deriv, -1:1)
  .psi_eval("R_psifun", x, psi, cc, d)
}

chi_func <- function(x, psi = "bisquare", cc, deriv = 0) {
  d <- .check_deriv(deriv, 0:2)
  .psi_eval("R_chifun", x, psi, cc, d)
}

wgt_func <- function(x, psi = "bisquare", cc) .psi_eval("R_wgtfun", x, psi, cc, NULL)

## D-scale of the residuals r / tau: the fixed point of
## s^2 = (sum N_i / sum M_i) / kappa with the weights w_i = wgt(r_i / (tau_i s))
## (variant 1: N = w z^2, M = w; 2: N = (w z)^2, M = w^2; 3: N = w r^2,
## M = w tau^2; 4: N = (w r)^2, M = (w tau)^2; z = r / tau).
.find_D_scale <- function(r, kappa, tau, scale, cc, psi, variant = 3L,
                          rel_tol = 1e-7, max_k = 100L) {
  if (!is.numeric(r) || length(r) == 0L || !all(is.finite(r)))
    stop("'r' must be a non-empty numeric vector of finite residuals", call. = FALSE)
  if (!is.numeric(tau) || length(tau) != length(r) || !all(is.finite(tau)) ||
      any(tau <= 0))
    stop("'tau' must hold one positive finite factor per residual", call. = FALSE)
  kappa <- .check_positive(kappa, "kappa")
  scale <- .check_positive(scale, "scale")
  rel_tol <- .check_positive(rel_tol, "rel_tol")
  max_k <- .check_count(max_k, "max_k", min = 0L)
  if (!is.numeric(variant) || length(variant) != 1L || !(variant %in% 1:4))
    stop("'variant' must be 1, 2, 3 or 4", call. = FALSE)
  code <- .psi_code(psi)
  k <- .psi_const(cc, code)
  z <- .C("R_find_D_scale", as.double(r), as.double(kappa), as.double(tau),
          length(r), scale = as.double(scale), k, code, as.integer(variant),
          as.double(rel_tol), as.integer(max_k), converged = FALSE,
          PACKAGE = "kelvara")
  list(scale = z$scale, converged = z$converged)
}

## Fitted values X %*% beta for a 4-d array of designs X (n x p x A x C) and
## one of coefficients beta (A x p x B x C): an n x A x B x C array.  A
## coefficient vector whose first value is NA gives NA fitted values.
.calc_fitted <- function(X, beta) {
  dx <- dim(X)
  db <- dim(beta)
  if (!is.numeric(X) || length(dx) != 4L)
    stop("'X' must be a numeric n x p x A x C array", call. = FALSE)
  if (!is.numeric(beta) || length(db) != 4L)
    stop("'beta' must be a numeric A x p x B x C array", call. = FALSE)
  if (db[1L] != dx[3L] || db[2L] != dx[2L] || db[4L] != dx[4L])
    stop("the dimensions of 'X' (n x p x A x C) and 'beta' (A x p x B x C) ",
         "do not match", call. = FALSE)
  if (dx[2L] < 1L) stop("'X' must have at least one column", call. = FALSE)
  n <- dx[1L]; p <- dx[2L]; A <- dx[3L]; B <- db[3L]; C <- dx[4L]
  out <- .C("R_calc_fitted", as.double(X), as.double(beta),
            fitted = rep(NA_real_, n * A * B * C), n, p, A, B, C,
            NAOK = TRUE, PACKAGE = "kelvara")$fitted
  array(out, c(n, A, B, C))
}
