## The M-S estimator: a design split into a block fitted by L1 regression
## (the intercept and the dummy columns of factors) and a block of
## continuous columns fitted by random exact fits and reweighted least
## squares, judged by the M-scale of the residuals.

lmrob_M_S_control <- function(psi = "bisquare", tuning_chi = 1.54764, bb = 0.5,
                              n_resample = 500L, max_steps = 1000L,
                              max_no_improve = 20L, descent_tol = 1e-7,
                              subsample_tol = 1e-7, orthogonalize = TRUE,
                              subsample = TRUE, descent = TRUE,
                              max_singular = 200L, nonsingular = TRUE,
                              trace_level = 0L, max_it_scale = 200L) {
  code <- .psi_code(psi)
  k <- .psi_const(tuning_chi, code)
  list(psi = names(.psi_codes)[code], tuning_chi = k,
       bb = .check_number_in(bb, "bb", 0, 1, open = c(TRUE, TRUE)),
       n_resample = .check_count(n_resample, "n_resample"),
       max_steps = .check_count(max_steps, "max_steps"),
       max_no_improve = .check_count(max_no_improve, "max_no_improve"),
       descent_tol = .check_positive(descent_tol, "descent_tol"),
       subsample_tol = .check_positive(subsample_tol, "subsample_tol"),
       orthogonalize = .check_flag(orthogonalize, "orthogonalize"),
       subsample = .check_flag(subsample, "subsample"),
       descent = .check_flag(descent, "descent"),
       max_singular = .check_count(max_singular, "max_singular"),
       nonsingular = .check_flag(nonsingular, "nonsingular"),
       trace_level = .check_count(trace_level, "trace_level", min = 0L),
       max_it_scale = .check_count(max_it_scale, "max_it_scale"))
}

## A design block; NULL is a block without columns.
.ms_block <- function(x, what, n) {
  if (is.null(x)) return(matrix(0, n, 0L))
  x <- .l1_as_design(x, what, n)
  if (is.null(colnames(x)) && ncol(x) > 0L)
    colnames(x) <- sprintf("%s%d", what, seq_len(ncol(x)))
  x
}

lmrob_M_S <- function(x1, x2, y, control = lmrob_M_S_control(), start = NULL) {
  f <- .lmrob_M_S_fit(x1, x2, y, control, start)
  .ms_outcome(f$status, f$fit, fail = TRUE)
  f$fit
}

## The M-S fit and its status (see .fit_status), without any message.
.lmrob_M_S_fit <- function(x1, x2, y, control, start) {
  y <- .l1_as_response(y)
  n <- length(y)
  x1 <- .ms_block(x1, "x1", n)
  x2 <- .ms_block(x2, "x2", n)
  p1 <- ncol(x1)
  p2 <- ncol(x2)
  if (p1 + p2 < 1L) stop("'x1' and 'x2' have no columns together", call. = FALSE)
  if (n <= p1 + p2)
    stop(sprintf("need more observations (%d) than columns of 'x1' and 'x2' (%d)",
                 n, p1 + p2), call. = FALSE)
  if (!is.list(control)) stop("'control' must be a list from lmrob_M_S_control()",
                              call. = FALSE)
  ctrl <- do.call(lmrob_M_S_control, control)
  n_resample <- ctrl$n_resample
  # Without continuous columns every draw yields the same candidate.
  if (p2 == 0L) n_resample <- 1L
  b1 <- double(p1)
  b2 <- double(p2)
  scale <- 0
  if (!ctrl$subsample) {
    if (is.null(start) || !is.list(start))
      stop("without subsampling, 'start' must be a list(b1, b2, scale)",
           call. = FALSE)
    b1 <- .l1_as_response(if (p1 > 0L) start$b1 else double(0), "start$b1")
    b2 <- .l1_as_response(if (p2 > 0L) start$b2 else double(0), "start$b2")
    if (length(b1) != p1 || length(b2) != p2)
      stop(sprintf("'start$b1' and 'start$b2' must have lengths %d and %d", p1, p2),
           call. = FALSE)
    scale <- .check_positive(start$scale, "start$scale")
  }
  z <- .C("kv_lmrob_M_S",
          x1 = x1, x2 = x2, y = y, res = double(n),
          n = as.integer(n), p1 = as.integer(p1), p2 = as.integer(p2),
          n_resample = as.integer(n_resample), scale = as.double(scale),
          b1 = as.double(b1), b2 = as.double(b2), k = ctrl$tuning_chi,
          ipsi = .psi_code(ctrl$psi), bb = ctrl$bb,
          max_no_improve = ctrl$max_no_improve, max_steps = ctrl$max_steps,
          descent_tol = ctrl$descent_tol, tol = ctrl$subsample_tol,
          converged = FALSE, trace_level = ctrl$trace_level,
          orthogonalize = ctrl$orthogonalize, subsample = ctrl$subsample,
          descent = ctrl$descent, max_singular = ctrl$max_singular,
          nonsingular = as.integer(ctrl$nonsingular),
          max_it_scale = ctrl$max_it_scale, status = integer(length(.status_slots)),
          PACKAGE = "kelvara")
  st <- .fit_status(z$status)
  b1 <- stats::setNames(z$b1, colnames(x1))
  b2 <- stats::setNames(z$b2, colnames(x2))
  exact <- st$outcome == "exact_fit"
  list(fit = list(coefficients = c(b1, b2), b1 = b1, b2 = b2,
                  scale = if (exact) 0 else z$scale, residuals = z$res,
                  converged = if (exact) TRUE else if (ctrl$descent) z$converged else NA,
                  exact_fit = exact, control = ctrl),
       status = st)
}

## What an M-S status means: warnings for what bears on the fit, and for a
## search that ended without a fit an error (fail = TRUE) or FALSE.  Returns
## TRUE when there is a fit; with fail = FALSE an exact fit is left to the
## caller (FALSE, without a warning).
.ms_outcome <- function(st, fit, fail) {
  if (st$orth_failed > 0L)
    warning(sprintf(.fit_text$ms_orth_failed, st$orth_failed), call. = FALSE)
  stopped <- function(why) {
    why()
    if (fail) stop(.fit_text$ms_stopped, call. = FALSE)
    FALSE
  }
  ok <- switch(st$outcome,
    ok = TRUE,
    exact_fit = if (fail) {
      on_plane <- sum(abs(fit$residuals) < .native_value("exact_fit_tol"))
      warning(sprintf(.fit_text$exact_fit, on_plane, length(fit$residuals),
                      "M-S scale"), call. = FALSE)
      TRUE
    } else {
      FALSE  # the caller's S-estimate reports the exact fit
    },
    no_subsample = stopped(function() .subsample_warning(st$detail)),
    no_candidate = if (fail) {
      stop(sprintf(.fit_text$no_candidate, "M-S estimation", .native_value("unset_scale")),
           call. = FALSE)
    } else {
      FALSE
    },
    few_x2_rows = stopped(function()
      warning(sprintf(.fit_text$ms_few_rows, st$detail, length(fit$b2)), call. = FALSE)),
    l1_failed = if (st$descent_end == "failed") {
      stop(sprintf(.fit_text$ms_descent_l1, st$detail), call. = FALSE)
    } else {
      stopped(function() warning(sprintf(.fit_text$ms_search_l1, st$detail),
                                 call. = FALSE))
    },
    stop("unexpected status of the M-S fit: ", st$code, call. = FALSE))
  if (ok && st$descent_end == "step_limit")
    warning(.fit_text$ms_step_limit, call. = FALSE)
  if (ok && st$result_scale_unconverged)
    warning(sprintf(.fit_text$scale_unconverged, fit$control$max_it_scale), call. = FALSE)
  ok
}
