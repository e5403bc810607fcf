## The M-S estimator: a design split into a block fitted by L1 regression
## (the intercept and the dummy columns of factors) and a block of
## continuous columns fitted by random exact fits and reweighted least
## squares, judged by the M-scale of the residuals.

lmrob_M_S_control <- function(psi = "bisquare", tuning_chi = 1.54764, bb = 0.5,
                              nsamp = 500L, max_steps = 1000L,
                              max_no_improve = 20L, descent_tol = 1e-7,
                              solve_tol = 1e-7, orthogonalize = TRUE,
                              subsample = TRUE, descent = TRUE,
                              max_singular = 200L,
                              subsampling = c("nonsingular", "simple"),
                              trace = 0L, max_it_scale = 200L, ...) {
  .no_other_args(.old_args(list(...)), "lmrob_M_S_control")
  code <- .psi_code(psi)
  k <- .psi_const(tuning_chi, code)
  list(psi = names(.psi_codes)[code], tuning_chi = k,
       bb = .check_number_in(bb, "bb", 0, 1, open = c(TRUE, TRUE)),
       nsamp = .check_count(nsamp, "nsamp"),
       max_steps = .check_count(max_steps, "max_steps"),
       max_no_improve = .check_count(max_no_improve, "max_no_improve"),
       descent_tol = .check_positive(descent_tol, "descent_tol"),
       solve_tol = .check_positive(solve_tol, "solve_tol"),
       orthogonalize = .check_flag(orthogonalize, "orthogonalize"),
       subsample = .check_flag(subsample, "subsample"),
       descent = .check_flag(descent, "descent"),
       max_singular = .check_count(max_singular, "max_singular"),
       subsampling = .check_choice(subsampling, c("nonsingular", "simple"), "subsampling"),
       trace = .check_count(trace, "trace", min = 0L),
       max_it_scale = .check_count(max_it_scale, "max_it_scale"))
}

## The M-S settings of a control: those of an lmrob.config(), or a list of
## lmrob_M_S_control() settings, validated.
.check_ms_control <- function(control) {
  if (inherits(control, "lmrob_config")) return(.ms_control(control))
  if (!is.list(control))
    stop("'control' must be made by lmrob.config() or lmrob_M_S_control()", call. = FALSE)
  ms <- do.call(lmrob_M_S_control, control[setdiff(names(control), "threads")])
  ms$threads <- .check_threads(control$threads)
  ms
}

## A design block; NULL is a block without columns.
.ms_block <- function(x, what, n) {
  if (is.null(x)) return(matrix(0, n, 0L))
  x <- .l1_as_design(x, what, n)
  if (ncol(x) > 0L) colnames(x) <- .coef_names(x, what)
  x
}

lmrob_M_S <- function(x1, x2, y, control = lmrob_M_S_control(), start = NULL) {
  y <- .l1_as_response(y)
  n <- length(y)
  x1 <- .ms_block(x1, "x1", n)
  x2 <- .ms_block(x2, "x2", n)
  if (ncol(x1) + ncol(x2) < 1L) stop("'x1' and 'x2' have no columns together", call. = FALSE)
  if (n <= ncol(x1) + ncol(x2))
    stop(sprintf("need more observations (%d) than columns of 'x1' and 'x2' (%d)",
                 n, ncol(x1) + ncol(x2)), call. = FALSE)
  ctrl <- .check_ms_control(control)
  ## The seed of an lmrob.config() holds here as in lmrob().
  f <- .with_seed(if (inherits(control, "lmrob_config")) control$seed,
                  .lmrob_M_S_fit(x1, x2, y, ctrl, start))
  .ms_outcome(f$status, f$fit, fail = TRUE)
  structure(c(f$fit, list(fitted.values = as.vector(y) - f$fit$residuals)),
            class = "lmrob_M_S")
}

## The M-S fit and its status (see .fit_status), without any message, on
## checked blocks (x1 and x2 finite double matrices with column names, y a
## finite double vector) and validated settings `ctrl`.
.lmrob_M_S_fit <- function(x1, x2, y, ctrl, start) {
  n <- length(y)
  p1 <- ncol(x1)
  p2 <- ncol(x2)
  nsamp <- ctrl$nsamp
  # Without continuous columns every draw yields the same candidate.
  if (p2 == 0L) nsamp <- 1L
  b1 <- double(p1)
  b2 <- double(p2)
  scale <- 0
  ## Both blocks and y standardised together (units, and the origin where
  ## x1 holds an intercept); start values and results are mapped.
  st <- .standardise(cbind(x1, x2), y)
  tr <- st$tr
  if (!ctrl$subsample) {
    if (is.null(start) || !is.list(start))
      stop("without subsampling, 'start' must be a list(b1, b2, scale)",
           call. = FALSE)
    b1 <- .l1_as_response(if (p1 > 0L) start$b1 else double(0), "start$b1")
    b2 <- .l1_as_response(if (p2 > 0L) start$b2 else double(0), "start$b2")
    if (length(b1) != p1 || length(b2) != p2)
      stop(sprintf("'start$b1' and 'start$b2' must have lengths %d and %d", p1, p2),
           call. = FALSE)
    scale <- .check_positive(start$scale, "start$scale") / tr$y_unit
    b <- .standardise_coef(c(b1, b2), tr)
    b1 <- b[seq_len(p1)]
    b2 <- b[p1 + seq_len(p2)]
  }
  ys <- st$y
  nm <- c(colnames(x1), colnames(x2))
  status <- function(code) {
    v <- integer(length(.status_slots))
    v[.status_slots[["code"]]] <- .fit_codes[[code]]
    v[.status_slots[["descent"]]] <- .descent_ends[["not_run"]]
    .fit_status(v)
  }
  ## Degenerate data: when the L1 fit of the x1 block alone (b2 = 0) passes
  ## through all but bb (n - p) observations, its M-scale is 0, the least
  ## possible, and that is the estimate.  (The search itself stops on a
  ## scale this small.)  On a design of intercept and factor columns, the
  ## observations on it share their y within a cell, so only responses with
  ## that many ties are tried.
  if (p1 > 0L && sum(duplicated(ys)) + p1 >= n - ctrl$bb * (n - p1 - p2)) {
    xs1 <- st$x[, seq_len(p1), drop = FALSE]
    l1 <- .l1_call(xs1, ys, ctrl$solve_tol)
    r1 <- drop(ys - xs1 %*% l1$theta[seq_len(p1)])
    ef <- .exact_fit_rule(r1, ys, p1 + p2, ctrl$bb)
    if (l1$kode <= 1L && ef$exact) {
      note <- sprintf(paste("exact fit: %d of %d observations lie on the fit of 'x1' alone",
                            "(%s); the scale is 0"), ef$n_on_plane, n,
                      if (all(ys == ys[1L])) "the response is constant"
                      else "one response value per cell of 'x1' on them")
      b <- .unstandardise_coef(stats::setNames(c(l1$theta[seq_len(p1)], numeric(p2)), nm),
                               tr)
      return(list(fit = list(coefficients = b, b1 = b[seq_len(p1)], b2 = b[p1 + seq_len(p2)],
                             scale = 0, residuals = r1 * tr$y_unit, converged = TRUE,
                             exact_fit = TRUE, exact_note = note, control = ctrl),
                  status = status("exact_fit")))
    }
  }
  z <- .with_threads(ctrl$threads, .C("kv_lmrob_M_S",
          x1 = st$x[, seq_len(p1), drop = FALSE], x2 = st$x[, p1 + seq_len(p2), drop = FALSE],
          y = ys, res = double(n),
          n = as.integer(n), p1 = as.integer(p1), p2 = as.integer(p2),
          nsamp = as.integer(nsamp), scale = as.double(scale),
          b1 = as.double(b1), b2 = as.double(b2), k = ctrl$tuning_chi,
          ipsi = .psi_code(ctrl$psi), bb = ctrl$bb,
          max_no_improve = ctrl$max_no_improve, max_steps = ctrl$max_steps,
          descent_tol = ctrl$descent_tol, tol = ctrl$solve_tol,
          converged = FALSE, trace = ctrl$trace,
          orthogonalize = ctrl$orthogonalize, subsample = ctrl$subsample,
          descent = ctrl$descent, max_singular = ctrl$max_singular,
          nonsingular = as.integer(ctrl$subsampling == "nonsingular"),
          max_it_scale = ctrl$max_it_scale, status = integer(length(.status_slots)),
          PACKAGE = "kelvara"))
  fs <- .fit_status(z$status)
  exact <- fs$outcome == "exact_fit"
  ## The start of the search's best scale, a negative or a NaN scale is no
  ## estimate.
  if (fs$outcome == "ok" &&
      (!is.finite(z$scale) || z$scale < 0 || z$scale >= .native_value("unset_scale")))
    stop("the M-S search stopped prematurely: no candidate with a finite scale was found",
         call. = FALSE)
  b <- .unstandardise_coef(stats::setNames(c(z$b1, z$b2), nm), tr)
  list(fit = list(coefficients = b, b1 = b[seq_len(p1)], b2 = b[p1 + seq_len(p2)],
                  scale = if (exact) 0 else z$scale * tr$y_unit,
                  residuals = z$res * tr$y_unit,
                  converged = if (exact) TRUE else if (ctrl$descent) z$converged else NA,
                  exact_fit = exact, control = ctrl),
       status = fs)
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
      if (!is.null(fit$exact_note)) {
        warning(fit$exact_note, call. = FALSE)
      } else {
        on_plane <- sum(abs(fit$residuals) < .native_value("exact_fit_tol"))
        warning(sprintf(.fit_text$exact_fit, on_plane, length(fit$residuals),
                        "M-S scale"), call. = FALSE)
      }
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
