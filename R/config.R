## The control list of lmrob(): every tuning value of the S, MM and M-S
## stages in one place.

## Tuning constants are computed once per family and target and then kept.
.tuning_cache <- new.env(parent = emptyenv())

.cached_tuning <- function(psi, efficiency = NULL, breakdown = NULL) {
  key <- paste(psi, if (is.null(efficiency)) "bdp" else "eff",
               format(if (is.null(efficiency)) breakdown else efficiency, digits = 15))
  if (is.null(.tuning_cache[[key]]))
    .tuning_cache[[key]] <- psi_tuning(psi, efficiency = efficiency, breakdown = breakdown)
  .tuning_cache[[key]]
}

lmrob.config <- function(psi = "bisquare", breakdown = 0.5, efficiency = 0.95,
                         tuning_chi = NULL, tuning_psi = NULL, bb = NULL,
                         subsampling = c("nonsingular", "simple"), seed = NULL,
                         ms_nsamp = NULL, ms_max_no_improve = NULL,
                         ms_max_steps = NULL, ms_tol = NULL, ms_orthogonalize = NULL,
                         eps_outlier = 0.1, setting = NULL, threads = NULL, ...) {
  dots <- .old_args(list(...))
  nm <- names(dots)
  .no_other_args(dots[is.null(nm) | !nm %in% setdiff(names(formals(lmrob_control)), "...")],
                 "lmrob.config")
  ## A named setting fills in what the call leaves at its default.
  ## "small-sample": SMDM with the lqq psi at 95 % efficiency for the
  ## M-steps, an S step with 50 % breakdown, 1500 subsamples and the
  ## weighted covariance.
  if (!is.null(setting)) {
    setting <- .check_choice(setting, "small-sample", "setting")
    if (missing(psi)) psi <- "lqq"
    if (missing(breakdown)) breakdown <- 0.5
    if (missing(efficiency)) efficiency <- 0.95
    if (is.null(dots$nsamp)) {
      cl <- match.call()
      cl[[1L]] <- lmrob.config
      cl$nsamp <- 1500L
      return(eval(cl, parent.frame()))
    }
  }
  family <- names(.psi_codes)[.psi_codes == .psi_code(psi)]
  subsampling <- .check_choice(subsampling, c("nonsingular", "simple"), "subsampling")
  in_range <- function(v, name, lo, hi) .check_number_in(v, name, lo, hi, c(TRUE, FALSE))
  breakdown <- in_range(breakdown, "breakdown", 0, 0.5)
  efficiency <- in_range(efficiency, "efficiency", 0.2, 0.999999)
  given <- c(chi = !is.null(tuning_chi), psi = !is.null(tuning_psi))
  tuning_chi <- if (is.null(tuning_chi)) .cached_tuning(family, breakdown = breakdown)
                else .check_constants(family, tuning_chi, "tuning_chi")
  tuning_psi <- if (is.null(tuning_psi)) .cached_tuning(family, efficiency = efficiency)
                else .check_constants(family, tuning_psi, "tuning_psi")
  ## The right-hand side of the M-scale equation: E[chi(Z)] at the normal
  ## makes the S-scale consistent; for constants tuned to a breakdown point
  ## it is that breakdown point.
  if (is.null(bb)) bb <- .chi_expect(.psi_code(family), tuning_chi)
  seed <- .check_seed(seed)
  ## The S and MM settings and their defaults are those of lmrob_control().
  base <- do.call(lmrob_control,
                  c(list(psi = family, tuning_chi = as.vector(tuning_chi), bb = bb,
                         tuning_psi = as.vector(tuning_psi), subsampling = subsampling),
                    dots))
  ## The M-S settings: given ones, else the defaults of lmrob_M_S_control();
  ## subsampling, its pivot tolerance and limit, and the trace level are
  ## shared with the S stage.
  ms_given <- list(
    nsamp = if (!is.null(ms_nsamp)) .check_count(ms_nsamp, "ms_nsamp"),
    max_no_improve = if (!is.null(ms_max_no_improve))
      .check_count(ms_max_no_improve, "ms_max_no_improve"),
    max_steps = if (!is.null(ms_max_steps)) .check_count(ms_max_steps, "ms_max_steps"),
    descent_tol = if (!is.null(ms_tol)) .check_positive(ms_tol, "ms_tol"),
    orthogonalize = if (!is.null(ms_orthogonalize))
      .check_flag(ms_orthogonalize, "ms_orthogonalize"))
  ms <- do.call(lmrob_M_S_control,
                c(list(psi = family, tuning_chi = base$tuning_chi, bb = base$bb,
                       solve_tol = base$solve_tol, max_singular = base$max_singular,
                       subsampling = subsampling, trace = base$trace),
                  ms_given[!vapply(ms_given, is.null, NA)]))
  structure(c(base, list(
    breakdown = breakdown, efficiency = efficiency, seed = seed,
    ms_nsamp = ms$nsamp, ms_max_no_improve = ms$max_no_improve,
    ms_max_steps = ms$max_steps, ms_tol = ms$descent_tol,
    ms_orthogonalize = ms$orthogonalize,
    eps_outlier = in_range(eps_outlier, "eps_outlier", 0, 1),
    tuning_given = given,
    threads = .check_threads(threads),
    setting = setting,
    method = if (!is.null(setting)) "SMDM",
    cov_type = if (!is.null(setting)) "weighted")), class = "lmrob_config",
    checked = base)
}

## The settings of the M-S start, as lmrob_M_S() reads them.
.ms_control <- function(control) {
  ms <- lmrob_M_S_control(psi = control$psi, tuning_chi = control$tuning_chi, bb = control$bb,
                          nsamp = control$ms_nsamp, max_steps = control$ms_max_steps,
                          max_no_improve = control$ms_max_no_improve,
                          descent_tol = control$ms_tol, solve_tol = control$solve_tol,
                          orthogonalize = control$ms_orthogonalize,
                          max_singular = control$max_singular,
                          subsampling = control$subsampling,
                          trace = control$trace, max_it_scale = control$max_it_scale)
  ms$threads <- control$threads
  ms
}

## The settings that lmrob_S() and lmrob_MM() read.
.native_control <- function(control) {
  keep <- intersect(names(control), c(names(formals(lmrob_control)), "psi_code", "threads"))
  unclass(control)[keep]
}

## The arguments that rebuild a control list (for a change of family or of
## single settings).
.config_args <- function(control) {
  nms <- setdiff(union(names(formals(lmrob.config)), names(formals(lmrob_control))),
                 "...")
  args <- unclass(control)[intersect(nms, names(control))]
  if (!control$tuning_given[["chi"]]) {
    args$tuning_chi <- NULL
    args$bb <- NULL
  }
  if (!control$tuning_given[["psi"]]) args$tuning_psi <- NULL
  args
}

## User-given tuning constants: the count the family reads, all finite.
.check_constants <- function(family, k, name) {
  len <- c(bisquare = 1L, gaussweight = 1L, optimal = 1L, hampel = 3L, ggw = NA, lqq = 3L)
  ok <- is.numeric(k) && all(is.finite(k)) &&
    if (family == "ggw") {
      (length(k) == 1L && k %in% 1:6) || (length(k) == 5L && k[1] == 0 && all(k[2:5] > 0))
    } else length(k) == len[[family]] && all(k > 0)
  if (ok && family == "hampel") ok <- k[1] <= k[2] && k[2] < k[3]
  if (ok && family == "lqq") ok <- k[3] > 1
  if (!ok)
    stop(sprintf("'%s' is not a valid set of constants for the %s family", name, family),
         call. = FALSE)
  as.double(k)
}

print.lmrob_config <- function(x, ...) {
  cat(sprintf("lmrob control: psi = \"%s\"; S with breakdown %.3g (bb = %.6g); MM with efficiency %.3g\n",
              x$psi, x$breakdown, x$bb, x$efficiency))
  cat("  tuning_chi =", format(x$tuning_chi, digits = 7), "\n")
  cat("  tuning_psi =", format(x$tuning_psi, digits = 7), "\n")
  rest <- unclass(x)[setdiff(names(x), c("psi", "psi_code", "breakdown", "efficiency",
                                         "tuning_chi", "tuning_psi", "bb", "tuning_given"))]
  if (is.null(rest$seed)) rest$seed <- "NULL (R's random stream)"
  for (nm in names(rest)) cat(sprintf("  %s = %s\n", nm, format(rest[[nm]])))
  invisible(x)
}
