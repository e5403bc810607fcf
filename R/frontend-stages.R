## The estimation stages of lmrob(), each running the body of a matrix-level
## estimator on data that lmrob() has checked already (`d` from .fit_data)
## with settings it has validated once (`ctrl` from .check_control), and
## returning the estimate and a status record.

.stage_S <- function(d, ctrl) {
  s <- .lmrob_S_fit(d, ctrl, residuals = FALSE)
  list(coefficients = unname(s$coefficients), scale = s$scale,
       status = list(method = "S", converged = isTRUE(s$converged),
                     iterations = s$iterations))
}

## The MM step from (beta, scale); rows: see .lmrob_MM_fit.
.stage_MM <- function(d, beta, scale, ctrl, rows = NULL) {
  m <- .lmrob_MM_fit(d, beta, scale, ctrl, rows, residuals = FALSE)
  list(coefficients = unname(m$coefficients),
       status = list(method = "MM", converged = isTRUE(m$converged),
                     iterations = m$iterations),
       rows = m$rows)
}

## Robust distances of the rows of x from the reweighted MCD.  The draws use
## the given seed (1 when there is none, so that diagnostics are
## reproducible) and leave the caller's random stream as it was.
.mcd_distances <- function(x, seed = NULL) {
  m <- .with_seed(if (is.null(seed)) 1L else seed, mcd(x))
  sqrt(m$mah)
}

## The M-S start: x1 (intercept and factor columns) by L1, x2 by subsampling.
## The descent ends when the coefficients settle, after a run of steps
## without a smaller scale, or at its step limit; only the last is a failure
## to converge, and so is a scale whose M-scale solve hit max_it_scale (both
## are announced by .ms_outcome).  found is FALSE when the search ended without a start (a
## failed draw or L1 fit, or an exact fit): the caller then falls back.
.stage_M_S <- function(x1, x2, y, control) {
  f <- .lmrob_M_S_fit(x1, x2, as.vector(y), .ms_control(control), NULL)
  found <- .ms_outcome(f$status, f$fit, fail = FALSE)
  s <- f$fit
  list(b1 = unname(s$b1), b2 = unname(s$b2), scale = s$scale, found = found,
       status = list(method = "M-S",
                     converged = f$status$descent_end != "step_limit" &&
                       !f$status$result_scale_unconverged,
                     settled = isTRUE(s$converged)))
}
