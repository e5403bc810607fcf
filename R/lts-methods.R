## Inference accessors of least trimmed squares fits (class "lts").  The
## covariance is that of the reweighted least-squares fit (the raw LTS
## coefficients have none of their own): vcov, confint and the standard
## errors of summary() agree.

vcov.lts <- function(object, ...) {
  v <- object$reweighted$cov
  if (is.null(v)) {
    cn <- names(object$reweighted$coefficients)
    v <- matrix(NA_real_, length(cn), length(cn), dimnames = list(cn, cn))
  }
  v
}

## t intervals around the reweighted coefficients, with the degrees of
## freedom of the reweighted fit (kept cases minus coefficients).
confint.lts <- function(object, parm, level = 0.95, ...) {
  .t_confint(object$reweighted$coefficients, sqrt(diag(vcov.lts(object))), parm, level,
             sum(object$weights) - object$p)
}

## nobs(), weights() (the 0/1 flags of the reweighting) and sigma() of lts
## fits stand with lm's other conventions in R/lts.R.
