## Robust regression at the matrix level: non-singular subsampling, the
## S-estimator (fast-S), the MM step and the M-scale of given residuals.

## Subsampling status codes, as the compiled code returns them.
.subsample_status <- c(ok = 0L, no_replacement = 1L, too_many_singular = 2L)

## Checks a design matrix and response before any compiled call.
.check_xy <- function(x, y, need_y = TRUE) {
  if (is.data.frame(x)) x <- as.matrix(x)
  if (is.null(dim(x))) x <- matrix(x, ncol = 1L)
  if (!is.numeric(x) || length(dim(x)) != 2L)
    stop("'x' must be a numeric matrix", call. = FALSE)
  if (any(!is.finite(x)))
    stop("'x' contains NA, NaN or infinite values", call. = FALSE)
  if (ncol(x) < 1L) stop("'x' must have at least one column", call. = FALSE)
  if (need_y) {
    if (!is.numeric(y) || !is.null(dim(y)) && min(dim(y)) != 1L)
      stop("'y' must be a numeric vector", call. = FALSE)
    y <- as.vector(y)
    if (length(y) != nrow(x))
      stop(sprintf("'y' has length %d but 'x' has %d rows", length(y), nrow(x)),
           call. = FALSE)
    if (any(!is.finite(y)))
      stop("'y' contains NA, NaN or infinite values", call. = FALSE)
  }
  storage.mode(x) <- "double"
  list(x = x, y = if (need_y) as.double(y))
}

.check_count <- function(v, name, min = 1L) {
  if (!is.numeric(v) || length(v) != 1L || is.na(v) || v != round(v) || v < min ||
      v > .Machine$integer.max)
    stop(sprintf("'%s' must be a whole number >= %d", name, min), call. = FALSE)
  as.integer(v)
}

.check_positive <- function(v, name) {
  if (!is.numeric(v) || length(v) != 1L || !is.finite(v) || v <= 0)
    stop(sprintf("'%s' must be a positive number", name), call. = FALSE)
  as.double(v)
}

.check_flag <- function(v, name) {
  if (!is.logical(v) || length(v) != 1L || is.na(v))
    stop(sprintf("'%s' must be TRUE or FALSE", name), call. = FALSE)
  v
}

## One draw of a non-singular subsample (internal).  Returns the exact fit
## through the chosen observations (1-based in 'idc'), the factorisation of
## the equilibrated submatrix and the equilibration.
.lmrob_subsample <- function(x, y, sample = TRUE, max_singular = 200L,
                             nonsingular = TRUE, tol = 1e-7) {
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
          nonsingular = as.integer(.check_flag(nonsingular, "nonsingular")),
          tol = .check_positive(tol, "tol"),
          PACKAGE = "kelvara")
  list(coefficients = z$beta, status = z$status,
       idc = z$idc[seq_len(p)] + 1L, order = z$idc + 1L,
       var_order = z$var_order + 1L, lu = matrix(z$lu, p, p),
       pivot = z$pivot[seq_len(max(p - 1L, 0L))] + 1L,
       row_scale = z$row_scale, col_scale = z$col_scale,
       row_equ = z$row_equ == 1L, col_equ = z$col_equ == 1L)
}
