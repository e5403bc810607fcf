## One name per idea.  Arguments and result fields that were renamed keep
## their old names for a while: an old argument name still works and warns
## once per call, an old field name still reads its field and warns.

## Old argument names and the names that replace them.  'nonsingular'
## (TRUE/FALSE) became the mode 'subsampling' ("nonsingular"/"simple").
.old_arg_names <- c(n_resample = "nsamp", ms_resample = "ms_nsamp",
                    trace_level = "trace", subsample_tol = "solve_tol",
                    maxit = "max_it", nonsingular = "subsampling")

## Moves the old names among `dots` (the '...' of the function whose frame
## is `env`) to their new names, with one warning each.  A new name that is
## a formal of that function receives the value there (an error when the
## caller gave both); any other stays in the returned list under its new
## name.  Names that are not old names are returned untouched.
.old_args <- function(dots, env = parent.frame()) {
  nm <- names(dots)
  moved <- logical(length(dots))
  for (i in which(nm %in% names(.old_arg_names))) {
    old <- nm[i]
    new <- .old_arg_names[[old]]
    v <- dots[[i]]
    if (old == "nonsingular")
      v <- if (.check_flag(v, "nonsingular")) "nonsingular" else "simple"
    warning(sprintf("'%s' is deprecated; use '%s'", old, new), call. = FALSE)
    both <- if (exists(new, envir = env, inherits = FALSE))
      !eval(call("missing", as.name(new)), env) else new %in% nm
    if (both)
      stop(sprintf("give '%s' only, not also its old name '%s'", new, old), call. = FALSE)
    if (exists(new, envir = env, inherits = FALSE)) {
      assign(new, v, envir = env)
      moved[i] <- TRUE
    } else {
      dots[i] <- list(v)
      nm[i] <- new
    }
  }
  names(dots) <- nm
  dots[!moved]
}

## Stops on arguments in '...' that the function does not know.
.no_other_args <- function(dots, fun) {
  if (length(dots))
    stop(sprintf("unused argument(s) to %s(): %s", fun,
                 paste(if (is.null(names(dots))) "(unnamed)" else
                         ifelse(nzchar(names(dots)), names(dots), "(unnamed)"),
                       collapse = ", ")), call. = FALSE)
  invisible()
}

## Result fields.  The rule: lm's names where lm (or summary.lm) has the
## component (coefficients, residuals, fitted.values, df.residual, call,
## terms, model, qr, rank, weights, na.action, r.squared, ...), snake_case
## for everything else.  Old dotted names of the results, by class.
.old_field_names <- list(
  mcd = c(raw.center = "raw_center", raw.cov = "raw_cov", raw.det = "raw_det",
          raw.consistency = "raw_consistency", raw.mah = "raw_mah"),
  lmrob = c(exact.fit = "exact_fit"),
  summary.lmrob = c(exact.fit = "exact_fit", n.rejected = "n_rejected",
                    eps.outlier = "eps_outlier"),
  summary.l1_fit = c(sum.abs = "sum_abs"),
  lmrob_config = c(n_resample = "nsamp", ms_resample = "ms_nsamp"))

## `$` of a result: an old name that the object does not hold reads the
## new field, with a warning; everything else as for a list (including the
## partial matching of `$`).
.dollar_field <- function(x, name, cls) {
  old <- .old_field_names[[cls]]
  if (name %in% names(old) && !name %in% names(x)) {
    warning(sprintf("'%s' is deprecated; use '%s'", name, old[[name]]), call. = FALSE)
    name <- old[[name]]
  }
  .subset2(x, name, exact = FALSE)
}

`$.mcd` <- function(x, name) .dollar_field(x, name, "mcd")
`$.lmrob` <- function(x, name) .dollar_field(x, name, "lmrob")
`$.summary.lmrob` <- function(x, name) .dollar_field(x, name, "summary.lmrob")
`$.summary.l1_fit` <- function(x, name) .dollar_field(x, name, "summary.l1_fit")
`$.lmrob_config` <- function(x, name) .dollar_field(x, name, "lmrob_config")
