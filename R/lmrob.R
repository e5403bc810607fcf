## Robust regression at the matrix level: non-singular subsampling, the
## S-estimator (fast-S), the MM step and the M-scale of given residuals.

## Checks a design matrix and response before any compiled call.
.check_xy <- function(x, y, need_y = TRUE) {
  x <- .check_design(x)
  if (ncol(x) < 1L) stop("'x' must have at least one column", call. = FALSE)
  if (need_y) {
    if (!is.numeric(y) || !is.null(dim(y)) && min(dim(y)) != 1L)
      stop("'y' must be a numeric vector", call. = FALSE)
    y <- .bare(y)
    if (length(y) != nrow(x))
      stop(sprintf("'y' has length %d but 'x' has %d rows", length(y), nrow(x)),
           call. = FALSE)
    y <- .check_response(y)
  }
  list(x = x, y = if (need_y) y)
}

## One draw of a non-singular subsample (internal).  Returns the exact fit
## through the chosen observations (1-based in 'idc'), the factorisation of
## the equilibrated submatrix and the equilibration.
.lmrob_subsample <- function(x, y, sample = TRUE, max_singular = 200L,
                             subsampling = c("nonsingular", "simple"), solve_tol = 1e-7) {
  subsampling <- .check_choice(subsampling, c("nonsingular", "simple"), "subsampling")
  d <- .check_xy(x, y)
  n <- nrow(d$x)
  p <- ncol(d$x)
  if (n < p) stop("need at least as many observations as columns of 'x'", call. = FALSE)
  z <- .C("R_subsample",
          x = d$x, y = d$y, n = as.integer(n), p = as.integer(p),
          beta = double(p), perm_work = integer(n), idc = integer(n),
          var_order = integer(p), lu = double(p * p), col_work = double(p),
          pivot = integer(p), row_scale = double(n), col_scale = double(p),
          row_equ = integer(1L), col_equ = integer(1L), status = integer(1L),
          sample = .check_flag(sample, "sample"),
          max_singular = .check_count(max_singular, "max_singular"),
          nonsingular = as.integer(subsampling == "nonsingular"),
          tol = .check_positive(solve_tol, "solve_tol"),
          PACKAGE = "kelvara")
  list(coefficients = z$beta, status = z$status,
       idc = z$idc[seq_len(p)] + 1L, order = z$idc + 1L,
       var_order = z$var_order + 1L, lu = matrix(z$lu, p, p),
       pivot = z$pivot[seq_len(max(p - 1L, 0L))] + 1L,
       row_scale = z$row_scale, col_scale = z$col_scale,
       row_equ = z$row_equ == 1L, col_equ = z$col_equ == 1L)
}

## Tuning constants of a control setting, checked as the psi functions check them.
.check_tuning <- function(k, code, name) {
  tryCatch(.psi_const(k, code), error = function(e)
    stop(sprintf("'%s': %s", name, conditionMessage(e)), call. = FALSE))
}

lmrob_control <- function(psi = "bisquare", tuning_chi = NULL, bb = 0.5,
                          tuning_psi = NULL, nsamp = 500L, n_best = 2L,
                          refine_steps = 1L, max_refine = 1000L, refine_tol = 1e-7,
                          solve_tol = 1e-7, max_it_scale = 200L, n_groups = 5L,
                          group_size = 400L, max_it = 50L, rel_tol = 1e-7,
                          subsampling = c("nonsingular", "simple"),
                          max_singular = 1000L, trace = 0L, ...) {
  .no_other_args(.old_args(list(...)), "lmrob_control")
  code <- .psi_code(psi)
  if (code == 1L) {
    if (is.null(tuning_chi)) tuning_chi <- 1.54764
    if (is.null(tuning_psi)) tuning_psi <- 4.685061
  }
  if (is.null(tuning_chi) || is.null(tuning_psi))
    stop("'tuning_chi' and 'tuning_psi' must be given for the ",
         names(.psi_codes)[code], " family", call. = FALSE)
  bb <- .check_number_in(bb, "bb", 0, 1, open = c(TRUE, TRUE))
  subsampling <- .check_choice(subsampling, c("nonsingular", "simple"), "subsampling")
  list(psi = names(.psi_codes)[code], psi_code = code,
       tuning_chi = .check_tuning(tuning_chi, code, "tuning_chi"),
       bb = bb,
       tuning_psi = .check_tuning(tuning_psi, code, "tuning_psi"),
       nsamp = .check_count(nsamp, "nsamp"),
       n_best = .check_count(n_best, "n_best"),
       refine_steps = .check_count(refine_steps, "refine_steps"),
       max_refine = .check_count(max_refine, "max_refine"),
       refine_tol = .check_positive(refine_tol, "refine_tol"),
       solve_tol = .check_positive(solve_tol, "solve_tol"),
       max_it_scale = .check_count(max_it_scale, "max_it_scale"),
       n_groups = .check_count(n_groups, "n_groups"),
       group_size = .check_count(group_size, "group_size"),
       max_it = .check_count(max_it, "max_it", min = 0L),
       rel_tol = .check_positive(rel_tol, "rel_tol"),
       subsampling = subsampling,
       max_singular = .check_count(max_singular, "max_singular"),
       trace = .check_count(trace, "trace", min = 0L))
}

## Re-validates a control list (it may have been edited by hand): a list of
## lmrob_control() settings, or the S and MM settings of an lmrob.config().
## Old setting names are accepted (with a warning).
.check_control <- function(control) {
  if (inherits(control, "lmrob_config")) {
    ## The S and MM settings as lmrob.config() checked them, unless changed
    ## since: one validation per configuration, not one per stage or call.
    checked <- attr(control, "checked")
    if (!is.null(checked) && identical(unclass(control)[names(checked)], checked)) {
      checked$threads <- .check_threads(control$threads)
      return(checked)
    }
    control <- .native_control(control)
  }
  if (!is.list(control))
    stop("'control' must be made by lmrob.config() or lmrob_control()", call. = FALSE)
  args <- names(formals(lmrob_control))
  known <- intersect(names(control), c(args, names(.old_arg_names)))
  unknown <- setdiff(names(control), c(args, names(.old_arg_names), "psi_code", "threads"))
  if (length(unknown))
    stop("unknown control setting(s): ", paste(unknown, collapse = ", "), call. = FALSE)
  out <- do.call(lmrob_control, unclass(control)[known])
  out$threads <- .check_threads(control$threads)
  out
}

## Design and response of the regression fits, checked, with their
## standardised versions (`st`) on which the compiled routines run.
.regression_data <- function(x, y) {
  d <- .check_xy(x, y)
  n <- nrow(d$x)
  p <- ncol(d$x)
  if (n <= p)
    stop(sprintf("need more observations than coefficients (n = %d, p = %d)", n, p),
         call. = FALSE)
  colnames(d$x) <- .coef_names(d$x)
  d <- .fit_data(d$x, d$y)
  if (!.clearly_full_rank(d$st$x)) {  # (the QR only when needed)
    rank <- qr(d$st$x, tol = 1e-7)$rank
    if (rank < p)
      stop(sprintf("'x' is rank deficient (rank %d < %d columns); remove redundant columns",
                   rank, p), call. = FALSE)
  }
  d
}

## The same for a design and response that are already checked (finite, of
## full rank, with column names): only their standardised versions.
.fit_data <- function(x, y) {
  y <- .bare(y)
  list(x = x, y = y, n = nrow(x), p = ncol(x), st = .standardise(x, y))
}

## Groups of the large-sample search, in double arithmetic (no integer
## overflow), and the best list bounded by what the data can use.
.check_sizes <- function(ctrl, n, p) {
  if (n > .native_value("large_n_threshold")) {
    ng <- as.double(ctrl$n_groups) * ctrl$group_size
    if (ng > n)
      stop(sprintf("'n_groups' * 'group_size' = %.0f exceeds the %d observations", ng, n),
           call. = FALSE)
    if (ctrl$group_size <= p)
      stop("'group_size' must exceed the number of coefficients", call. = FALSE)
  }
  ## Each entry of the best list is a refined candidate: there are never
  ## more of them than draws (an entry without a draw would be refined from
  ## nothing), and the lists of all groups must fit in memory.
  cap <- if (n > .native_value("large_n_threshold")) as.double(ctrl$nsamp) * ctrl$n_groups else ctrl$nsamp
  if (ctrl$n_best > cap)
    stop(sprintf("'n_best' = %d exceeds the %.0f candidates the search draws ('nsamp'%s)",
                 ctrl$n_best, cap, if (n > .native_value("large_n_threshold")) " * 'n_groups'" else ""), call. = FALSE)
  if (as.double(ctrl$n_best) * max(ctrl$n_groups, 1) * (p + 1) > .Machine$integer.max)
    stop(sprintf("'n_best' = %d best lists of %d coefficients do not fit in memory",
                 ctrl$n_best, p), call. = FALSE)
  invisible(ctrl)
}

lmrob_S <- function(x, y, control = lmrob_control()) {
  ctrl <- .check_control(control)
  d <- .regression_data(x, y)
  ## The seed of an lmrob.config() holds here as in lmrob().
  f <- .with_seed(if (inherits(control, "lmrob_config")) control$seed,
                  .lmrob_S_fit(d, ctrl))
  st <- d$st
  w <- if (f$exact_fit) as.double(f$on_plane)
       else wgt_func(f$rs / f$scale_st, ctrl$psi_code, ctrl$tuning_chi)
  structure(list(coefficients = f$coefficients, scale = f$scale,
                 residuals = f$rs * st$tr$y_unit, weights = w,
                 converged = f$converged, iterations = f$iterations,
                 exact_fit = f$exact_fit, scale_unconverged = f$scale_unconverged,
                 control = ctrl, fitted.values = drop(d$x %*% f$coefficients)),
            class = "lmrob_S")
}

## The S search on data `d` (.regression_data or .fit_data) with checked
## settings `ctrl`: the estimate, with the residuals `rs` (NULL unless
## `residuals`) and scale `scale_st` of the standardised problem; it warns
## and stops as lmrob_S().
.lmrob_S_fit <- function(d, ctrl, residuals = TRUE) {
  n <- d$n
  p <- d$p
  .check_sizes(ctrl, n, p)
  st <- d$st
  .free_temporaries(st$x)
  ## (NAOK: the data and settings are checked, and .C's own check of every
  ## value would be one more serial pass over the design; so in the MM step.
  ## The data go in a list, whose vectors .C passes without its copy of
  ## every vector argument: at large n a copy of the design per call.)
  z <- .with_threads(ctrl$threads, .C("kv_lmrob_S_resid",
          data = list(st$x, st$y), n = n, p = p, nsamp = ctrl$nsamp,
          scale = 0, coefficients = double(p), k = ctrl$tuning_chi,
          ipsi = ctrl$psi_code, bb = ctrl$bb, n_best = ctrl$n_best,
          n_groups = ctrl$n_groups, group_size = ctrl$group_size,
          refine_steps = ctrl$refine_steps, max_refine = ctrl$max_refine,
          max_it_scale = ctrl$max_it_scale, refine_tol = ctrl$refine_tol,
          solve_tol = ctrl$solve_tol, converged = FALSE, trace = ctrl$trace,
          max_singular = ctrl$max_singular,
          nonsingular = as.integer(ctrl$subsampling == "nonsingular"),
          status = integer(length(.status_slots)),
          residuals = if (residuals) double(n) else double(0), keep = as.integer(residuals),
          plane_tol = .plane_tol(st$y, st$y_spread), n_on_plane = 0L, NAOK = TRUE,
          PACKAGE = "kelvara"))
  z$data <- NULL
  fs <- .fit_status(z$status)
  search_exact <- switch(fs$outcome,
                         ok = FALSE,
                         exact_fit = TRUE,
                         no_subsample = {
                           .subsample_warning(fs$detail)
                           stop(.fit_text$s_failed, call. = FALSE)
                         },
                         no_candidate = stop(sprintf(.fit_text$no_candidate, "S-estimation",
                                                     .native_value("unset_scale")),
                                             call. = FALSE),
                         stop("unexpected status of the S search: ", fs$code, call. = FALSE))
  # One warning per final refinement that ran out of steps.  (The M-scale
  # solves of the search only rank candidates: their step limit does not
  # bear on the result, so it is recorded, not announced.)
  for (i in seq_len(fs$refine_unconverged))
    warning(sprintf(.fit_text$refine_unconverged, ctrl$refine_tol, z$max_refine),
            call. = FALSE)
  ## The start of the best list (or NaN) is no estimate.
  if (!is.finite(z$scale) || z$scale >= .native_value("unset_scale") ||
      any(!is.finite(z$coefficients)))
    stop("S-estimation failed: no candidate fit with a finite scale was found",
         call. = FALSE)
  ## rs: drop(st$y - st$x %*% z$coefficients), made by the threads
  rs <- if (residuals) z$residuals
  z$residuals <- NULL
  n_on_plane <- if (z$n_on_plane >= 0L) z$n_on_plane
  scale <- if (search_exact) 0 else z$scale
  ## (the exact-fit rule and the M-scale below read the residuals where the
  ## count of those on the plane does not settle the case: made again then)
  if (is.null(rs) && (is.null(n_on_plane) || n - n_on_plane <= ctrl$bb * (n - p) ||
                      scale == 0))
    rs <- .with_threads(ctrl$threads, .C("kv_residuals", list(st$x, st$y), n, p,
                                         z$coefficients, r = double(n), NAOK = TRUE,
                                         PACKAGE = "kelvara")$r)
  ef <- .exact_fit_rule(rs, st$y, p, ctrl$bb, st$y_spread, n_on_plane, n)
  converged <- as.logical(z$converged)
  if (scale == 0 && !ef$exact) {
    ## An exact fit that the residuals do not show: keep the coefficients,
    ## give their M-scale, and do not call the search converged.
    warning("the S search reported an exact fit that the residuals do not support; ",
            "the scale is the M-scale of its residuals", call. = FALSE)
    scale <- mscale(rs, p, ctrl)
    converged <- FALSE
  }
  ## The residuals decide: with at most bb (n - p) of them non-zero the
  ## S-scale is 0, however small the positive number the search ended on.
  exact <- ef$exact
  if (exact) {
    scale <- 0
    warning(sprintf(.fit_text$exact_fit, ef$n_on_plane, n, "S-scale"), call. = FALSE)
  }
  beta <- .unstandardise_coef(stats::setNames(z$coefficients, colnames(st$x)), st$tr)
  list(coefficients = beta, scale = scale * st$tr$y_unit, rs = rs, scale_st = scale,
       on_plane = ef$on_plane, converged = exact || converged,
       iterations = if (exact) 0L else z$max_refine,
       exact_fit = exact, scale_unconverged = fs$scale_unconverged)
}


lmrob_MM <- function(x, y, beta, scale, control = lmrob_control()) {
  ctrl <- .check_control(control)
  d <- .regression_data(x, y)
  p <- d$p
  if (!is.numeric(beta) || length(beta) != p || any(!is.finite(beta)))
    stop(sprintf("'beta' must be %d finite numbers", p), call. = FALSE)
  scale <- .check_positive(scale, "scale")
  f <- .lmrob_MM_fit(d, as.double(beta), scale, ctrl)
  w <- wgt_func(f$rs / f$scale_st, ctrl$psi_code, ctrl$tuning_psi)
  converged <- f$converged
  if (sum(w > 0) < p) {
    warning(sprintf("the MM iterations left only %d observation(s) with positive weight",
                    sum(w > 0)), call. = FALSE)
    converged <- FALSE
  }
  y_unit <- d$st$tr$y_unit
  structure(list(coefficients = f$coefficients, scale = scale,
                 residuals = f$rs * y_unit, weights = w, loss = f$loss,
                 converged = converged, iterations = f$iterations, control = ctrl,
                 fitted.values = as.vector(y) - f$rs * y_unit),
            class = "lmrob_MM")
}

## The MM iterations on data `d` (.regression_data or .fit_data) from a
## finite beta and a positive scale in data units, with checked settings:
## the estimate, with the residuals `rs` and scale `scale_st` of the
## standardised problem (NULL unless `residuals`).  Whether enough
## observations keep a positive weight at the end is the caller's to judge.
## rows: list(intercept, names) to have the values of .lmrob_rows() at the
## estimate (`rows`, for data whose standardisation is the identity) in
## place of the residuals, the fitted values and weights with the `names`
## (optional) of the rows.
.lmrob_MM_fit <- function(d, beta, scale, ctrl, rows = NULL, residuals = TRUE) {
  n <- d$n
  p <- d$p
  st <- d$st
  beta0 <- .standardise_coef(beta, st$tr)
  scale0 <- scale / st$tr$y_unit
  if (!(scale0 > 0) || !is.finite(scale0))
    stop("'scale' is not representable in the units of the data", call. = FALSE)
  .free_temporaries(st$x)
  ## The weighted least-squares steps need p observations of positive weight
  ## at beta: the call counts them (`positive`, the value of
  ## sum(wgt(r0 / scale0) > 0) for r0 = drop(st$y - st$x %*% beta0), -1 where
  ## one of r0 is not finite) and takes no step with fewer.  With `rows`, the
  ## same call makes the values of .lmrob_rows() at the estimate (the data
  ## are passed once) in place of the residuals.
  data <- list(st$x, st$y)
  ## (.C returns a copy of each argument, with its attributes: the fitted
  ## values and weights come with their names, which the result would
  ## otherwise give them by a copy of each)
  if (!is.null(rows)) {
    out <- double(n)
    if (!is.null(rows$names)) names(out) <- rows$names
  }
  z <- .with_threads(ctrl$threads, if (is.null(rows)) {
    .C("kv_lmrob_MM_list", data, n, p, as.double(beta0), scale0,
       coefficients = as.double(beta0), residuals = if (residuals) double(n) else double(0),
       max_it = ctrl$max_it, ctrl$tuning_psi, ctrl$psi_code, loss = 0, ctrl$rel_tol,
       converged = FALSE, ctrl$trace, as.integer(residuals), positive = 0L,
       NAOK = TRUE, PACKAGE = "kelvara")
  } else {
    .C("kv_lmrob_MM_rows", data, n, p, as.double(beta0), scale0,
       coefficients = as.double(beta0), max_it = ctrl$max_it, ctrl$tuning_psi, ctrl$psi_code,
       loss = 0, ctrl$rel_tol, converged = FALSE, ctrl$trace, as.integer(rows$intercept),
       fitted = out, w = out, sums = double(6L), xtwx = double(p * p),
       status = 0L, positive = 0L, NAOK = TRUE, PACKAGE = "kelvara")
  })
  data <- NULL
  if (z$positive < 0L)  # beta far beyond the data's units overflows
    stop("the residuals of 'beta' are not representable in the units of the data",
         call. = FALSE)
  if (z$positive < p)
    stop(sprintf(paste("at scale %g only %d observation(s) get a positive weight from",
                       "'beta' (%d needed); the scale is too small for these residuals"),
                 scale, z$positive, p), call. = FALSE)
  if (!z$converged)
    warning(sprintf("MM iterations did not converge in %d steps (rel_tol = %g)",
                    z$max_it, ctrl$rel_tol), call. = FALSE)
  beta <- .unstandardise_coef(stats::setNames(z$coefficients, colnames(st$x)), st$tr)
  list(coefficients = beta, rs = if (residuals) z$residuals, scale_st = scale0, loss = z$loss,
       converged = as.logical(z$converged), iterations = z$max_it,
       rows = if (!is.null(rows)) .rows_value(z, p))
}

mscale <- function(r, p = 0L, control = lmrob_control(), scale0 = NULL) {
  ctrl <- .check_control(control)
  if (!is.numeric(r) || any(!is.finite(r)))
    stop("'r' must be finite numbers", call. = FALSE)
  n <- length(r)
  p <- .check_count(p, "p", min = 0L)
  if (n <= p)
    stop(sprintf("need more residuals than coefficients (n = %d, p = %d)", n, p),
         call. = FALSE)
  # As s -> 0 the mean rho tends to the share of non-zero residuals: at or below
  # bb the M-scale equation has no positive root.
  if (sum(r != 0) / (n - p) <= ctrl$bb) return(0)
  if (is.null(scale0)) {
    scale0 <- 1.4826 * median(abs(r))
    if (scale0 == 0) scale0 <- mean(abs(r))
  }
  scale0 <- .check_positive(scale0, "scale0")
  z <- .with_threads(ctrl$threads, .C("kv_lmrob_S",
          x = double(0), y = as.double(r), n = n, p = p, nsamp = 0L, scale = scale0,
          coefficients = double(0), k = ctrl$tuning_chi, ipsi = ctrl$psi_code,
          bb = ctrl$bb, 0L, 0L, 0L, 0L, 0L, max_it_scale = ctrl$max_it_scale, 0, 0,
          FALSE, 0L, 0L, 0L, status = integer(length(.status_slots)),
          PACKAGE = "kelvara"))
  if (.fit_status(z$status)$result_scale_unconverged)
    warning(sprintf(.fit_text$scale_unconverged, ctrl$max_it_scale), call. = FALSE)
  z$scale
}
