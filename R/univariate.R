## Univariate robust statistics: Qn, Sn, the medcouple and the weighted
## high median.  Input is checked here; the compiled routines work on copies.

## The sample as a double vector: numeric, finite, not empty, NAs dropped
## only on request.  A time series counts by its values, as in mad() and sd().
.univariate_sample <- function(x, na.rm) {
  if (stats::is.ts(x) && is.numeric(x) && is.null(dim(x))) x <- as.vector(x)
  if (!is.numeric(x) || is.object(x))
    stop("'x' must be a numeric vector", call. = FALSE)
  na.rm <- .check_flag(na.rm, "na.rm")
  x <- as.double(x)
  if (anyNA(x)) {
    if (!na.rm)
      stop("'x' contains missing values; use na.rm = TRUE to drop them", call. = FALSE)
    x <- x[!is.na(x)]
  }
  if (any(is.infinite(x)))
    stop("'x' contains infinite values", call. = FALSE)
  if (length(x) == 0L)
    stop("'x' is empty: at least one observation is needed", call. = FALSE)
  if (length(x) > .Machine$integer.max)
    stop("'x' is too long (more than .Machine$integer.max values)", call. = FALSE)
  x
}

## The consistency constants and the small-sample factors for n = 2..9
## (index n - 1) of Qn and Sn.  This is their only home: the compiled routines
## return the raw statistics.
.qn_small <- c(0.399, 0.994, 0.512, 0.844, 0.611, 0.857, 0.669, 0.872)
.sn_small <- c(0.743, 1.851, 0.954, 1.351, 0.993, 1.198, 1.005, 1.131)

qn <- function(x, finite.corr = TRUE, na.rm = FALSE) {
  x <- .univariate_sample(x, na.rm)
  finite.corr <- .check_flag(finite.corr, "finite.corr")
  n <- length(x)
  if (n == 1L) return(NA_real_)
  raw <- .C("Qn0", x, n, result = double(1), PACKAGE = "kelvara")$result
  d <- if (!finite.corr) 1
       else if (n <= 9L) .qn_small[n - 1L]
       else if (n %% 2L == 1L) n / (n + 1.4)
       else n / (n + 3.8)
  raw * 2.2219 * d
}

sn <- function(x, finite.corr = TRUE, na.rm = FALSE) {
  x <- .univariate_sample(x, na.rm)
  finite.corr <- .check_flag(finite.corr, "finite.corr")
  n <- length(x)
  if (n == 1L) return(NA_real_)
  raw <- .C("Sn0", x, n, 0L, result = double(1), double(n),
            PACKAGE = "kelvara")$result
  cn <- if (!finite.corr) 1
        else if (n <= 9L) .sn_small[n - 1L]
        else if (n %% 2L == 1L) n / (n - 0.9)
        else 1
  cn * (raw * 1.1926)
}

medcouple <- function(x, eps1 = 1e-14, eps2 = 1e-15, max_it = 100L, trace = 0L,
                      na.rm = FALSE, ...) {
  .no_other_args(.old_args(list(...)), "medcouple")
  x <- .univariate_sample(x, na.rm)
  eps <- c(.check_positive(eps1, "eps1"), .check_positive(eps2, "eps2"))
  ## With no iteration the search has no value to return.
  iter <- c(.check_count(max_it, "max_it", 1L), .check_count(trace, "trace", 0L))
  .C("mc_C", x, length(x), eps, iter, result = double(1),
     PACKAGE = "kelvara")$result
}

whimed <- function(x, w) {
  if (!is.numeric(x) || is.object(x))
    stop("'x' must be a numeric vector", call. = FALSE)
  if (!is.numeric(w) || is.object(w))
    stop("'w' must be a numeric vector of weights", call. = FALSE)
  if (length(x) != length(w))
    stop("'x' and 'w' must have the same length", call. = FALSE)
  if (length(x) == 0L)
    stop("'x' is empty: at least one value is needed", call. = FALSE)
  if (length(x) > .Machine$integer.max)
    stop("'x' is too long (more than .Machine$integer.max values)", call. = FALSE)
  if (anyNA(x) || any(is.infinite(x)))
    stop("'x' must not contain missing or infinite values", call. = FALSE)
  if (anyNA(w) || any(!is.finite(w)) || any(w < 0))
    stop("'w' must be finite and non-negative", call. = FALSE)
  if (!any(w > 0))
    stop("'w' must not be all zero", call. = FALSE)
  n <- length(x)
  ## Integer weights are summed exactly in 64 bits.
  if (is.integer(w))
    .C("wgt_himed_i", as.double(x), n, w, result = double(1),
       PACKAGE = "kelvara")$result
  else
    .C("wgt_himed", as.double(x), n, as.double(w), result = double(1),
       PACKAGE = "kelvara")$result
}
