## Checks of scalar arguments, shared by every R function of the package.
## Each returns the value in the storage type the compiled routines expect,
## or stops with a message that names the argument.

## TRUE or FALSE.
.check_flag <- function(v, name) {
  if (!is.logical(v) || length(v) != 1L || is.na(v))
    stop(sprintf("'%s' must be TRUE or FALSE", name), call. = FALSE)
  as.vector(v)
}

## One whole number from `min` up to the largest integer.
.check_count <- function(v, name, min = 1L) {
  if (!is.numeric(v) || is.object(v) || length(v) != 1L || is.na(v) || v != round(v) ||
      v < min || v > .Machine$integer.max)
    stop(sprintf("'%s' must be a whole number >= %d", name, min), call. = FALSE)
  as.integer(v)
}

## One finite number above 0 (or at least 0 with zero_ok).
.check_positive <- function(v, name, zero_ok = FALSE) {
  if (!is.numeric(v) || is.object(v) || length(v) != 1L || !is.finite(v) ||
      (if (zero_ok) v < 0 else v <= 0))
    stop(sprintf("'%s' must be a %s finite number", name,
                 if (zero_ok) "non-negative" else "positive"), call. = FALSE)
  as.double(v)
}

## One number in an interval; `open` says which ends are excluded.
.check_number_in <- function(v, name, lower, upper, open = c(FALSE, FALSE)) {
  if (!is.numeric(v) || is.object(v) || length(v) != 1L || !is.finite(v) ||
      (if (open[1L]) v <= lower else v < lower) ||
      (if (open[2L]) v >= upper else v > upper))
    stop(sprintf("'%s' must be a number in %s%s, %s%s", name,
                 if (open[1L]) "(" else "[", format(lower), format(upper),
                 if (open[2L]) ")" else "]"), call. = FALSE)
  as.double(v)
}

## One of the strings `choices` (unique abbreviations allowed), or with
## `several` one or more of them; the whole vector of choices, as a default
## argument gives it, selects the first (or, with `several`, all).
.check_choice <- function(v, choices, name, several = FALSE) {
  if (identical(v, choices)) return(if (several) choices else choices[1L])
  i <- if (is.character(v) && length(v) >= 1L && (several || length(v) == 1L) &&
           !anyNA(v) && all(nzchar(v)))
    pmatch(v, choices, duplicates.ok = TRUE) else NA_integer_
  if (anyNA(i))
    stop(sprintf("'%s' must be %s %s", name, if (several) "one or more of" else "one of",
                 paste0("\"", choices, "\"", collapse = ", ")), call. = FALSE)
  unique(choices[i])
}

## NULL (R's random stream) or a seed for set.seed().
.check_seed <- function(seed) {
  if (!is.null(seed) && (!is.numeric(seed) || length(seed) != 1L || !is.finite(seed) ||
                         abs(seed) > .Machine$integer.max))
    stop("'seed' must be NULL or one number within the integer range", call. = FALSE)
  seed
}

## Factors of a model frame must take two values at least, or their
## contrasts cannot be formed.
.check_factor_levels <- function(mf) {
  mt <- attr(mf, "terms")
  for (v in setdiff(seq_along(mf), attr(mt, "response")))
    if (is.factor(mf[[v]]) && nlevels(mf[[v]]) < 2L)
      stop(sprintf("factor '%s' takes fewer than two values in the data", names(mf)[v]),
           call. = FALSE)
  invisible(mf)
}

## Significant digits of a print method.
.check_digits <- function(digits) {
  if (!is.numeric(digits) || length(digits) != 1L || is.na(digits) ||
      digits != round(digits) || digits < 1 || digits > 22)
    stop("'digits' must be a whole number from 1 to 22", call. = FALSE)
  as.integer(digits)
}

## The name rule for coefficients of matrix-level fits: the column names
## where given, else "x1", "x2", ... by position (also for one column).
.coef_names <- function(x, prefix = "x") {
  cn <- colnames(x)
  if (is.null(cn)) cn <- character(ncol(x))
  blank <- is.na(cn) | !nzchar(cn)
  cn[blank] <- paste0(prefix, seq_len(ncol(x)))[blank]
  cn
}

## Designs and responses: the one check that every fitting function makes.
## The message of a value that is not finite (an argument's name is quoted).
.na_text <- "%s contains NA, NaN or infinite values"

## Stops unless every value of v is finite (.all_finite()).
.check_finite <- function(v, what) {
  if (!.all_finite(v))
    stop(sprintf(.na_text, if (grepl(" ", what)) what else sprintf("'%s'", what)),
         call. = FALSE)
  invisible(v)
}

## A design as a double matrix: a numeric or logical matrix, a numeric
## vector (one column; its names become the row names) or a data frame of
## such columns; with `n`, of n rows; with `finite`, of finite values.
.check_design <- function(x, what = "x", n = NULL, finite = TRUE) {
  if (is.data.frame(x)) {
    if (!all(vapply(x, function(v) is.numeric(v) || is.logical(v), NA)))
      stop(sprintf("'%s' must have numeric columns only (use a formula for factors)", what),
           call. = FALSE)
    x <- as.matrix(x)
  }
  if (is.null(dim(x)) && is.numeric(x))
    x <- matrix(x, ncol = 1L, dimnames = if (!is.null(names(x))) list(names(x), NULL))
  if (!(is.numeric(x) || is.logical(x)) || length(dim(x)) != 2L)
    stop(sprintf("'%s' must be a numeric matrix", what), call. = FALSE)
  if (finite) .check_finite(x, what)
  if (!is.null(n) && nrow(x) != n)
    stop(sprintf("'%s' must have %d rows (one per observation), not %d", what, n, nrow(x)),
         call. = FALSE)
  ## Only when needed: even on a double matrix, the replacement marks the
  ## matrix shared, and .C() then copies it twice instead of once.
  if (!is.double(x)) storage.mode(x) <- "double"
  x
}

## A response as a double vector (a one-column matrix counts) of finite
## values, without names.
.check_response <- function(y, what = "y") {
  if (is.matrix(y) && ncol(y) == 1L) y <- drop(y)
  if (!is.numeric(y) || !is.null(dim(y)))
    stop(sprintf("'%s' must be a numeric vector", what), call. = FALSE)
  .check_finite(y, what)
  as.double(y)
}
