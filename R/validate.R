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

## One of the strings `choices` (unique abbreviations allowed); the whole
## vector of choices, as a default argument gives it, selects the first.
.check_choice <- function(v, name, choices) {
  if (identical(v, choices)) return(choices[1L])
  i <- if (is.character(v) && length(v) == 1L && !is.na(v) && nzchar(v))
    pmatch(v, choices) else NA_integer_
  if (is.na(i))
    stop(sprintf("'%s' must be one of %s", name,
                 paste0("\"", choices, "\"", collapse = ", ")), call. = FALSE)
  choices[i]
}

## Significant digits of a print method.
.check_digits <- function(digits) {
  if (!is.numeric(digits) || length(digits) != 1L || is.na(digits) ||
      digits != round(digits) || digits < 1 || digits > 22)
    stop("'digits' must be a whole number from 1 to 22", call. = FALSE)
  as.integer(digits)
}
