## Units and origin of the data.  The compiled routines judge exact fits,
## singular subsamples and convergence by fixed tolerances, so every fitting
## function runs them on standardised data and carries the results back:
## each variable is divided by a power of two near its robust spread (exact
## in floating point) and, where the model has an intercept, a variable far
## from the origin relative to its spread is centred at its median.  Data
## already in a usable range are passed on untouched, so that they give the
## very same numbers as before.

## Spreads in this range need no rescaling.
.units_band <- c(2^-8, 2^8)
## A location beyond this many spreads from 0 is removed (with an intercept).
.origin_limit <- 16
## Observations within this fraction of the response's magnitude of the fitted
## hyperplane lie on it: the one exact-fit tolerance of the R layer.
.exact_tol <- 1e-10

## Median and robust spread of v: the median absolute deviation, else the mean
## absolute deviation (more than half the values tie), else |median| (v is
## constant), else 0 (v is all zero).  Only units and a central value are
## wanted, so long vectors are measured on 50000 evenly spaced entries (the
## same entries after any change of units, which keeps the choice
## equivariant).  Measured by the compiled pass of .column_spreads(); the
## definition in R below serves values that are not finite.
.robust_spread <- function(v) {
  cs <- .column_spreads(matrix(0, length(v), 0L), v)
  c(location = cs$loc[1L], spread = cs$spread[1L])
}

.robust_spread_r <- function(v, max_n = 50000L) {
  if (length(v) > max_n) v <- v[.spread_rows(length(v), max_n)]
  names(v) <- NULL  # (each median() would copy v to drop them)
  m <- stats::median(v)
  s <- stats::median(abs(v - m))
  if (!(s > 0)) s <- mean(abs(v - m))
  if (!(s > 0)) s <- abs(m)
  c(location = m, spread = s)
}

## The power of two that brings a spread into the band (1 when it is in it
## or when there is no spread).
.unit_of <- function(s) {
  if (!is.finite(s) || !(s > 0) || (s >= .units_band[1L] && s <= .units_band[2L])) return(1)
  2^round(log2(s))
}

## Rows on which long columns are measured (the last set is kept: a fit
## measures every column and the response of one length).
.spread_rows_last <- new.env(parent = emptyenv())
.spread_rows <- function(n, max_n = 50000L) {
  if (n <= max_n) return(seq_len(n))
  key <- c(n, max_n)
  if (identical(.spread_rows_last$key, key)) return(.spread_rows_last$rows)
  rows <- as.integer(unique(round(seq(1, n, length.out = max_n))))
  .spread_rows_last$key <- key
  .spread_rows_last$rows <- rows
  rows
}

## Columns whose values are all one non-zero number: intercepts.  (NA where
## R's x[1, j] != 0 && all(x[, j] == x[1, j]) is NA.)  A double design is
## read by a compiled pass, from a list (so without a copy) and with no
## vector of comparisons; other designs by that expression, column by column
## (a column equal to its first value in its second and last row and on the
## sample rows is read in full; those checks are part of the test, so NA
## comes out where it would without them).
.constant_columns <- function(x, rows = .spread_rows(nrow(x))) {
  n <- nrow(x)
  if (!n || !ncol(x)) return(logical(ncol(x)))
  if (is.double(x))
    return(c(FALSE, TRUE, NA)[.C("kv_constant_columns", list(x), n, ncol(x),
                                 out = integer(ncol(x)), PACKAGE = "kelvara")$out + 1L])
  vapply(seq_len(ncol(x)), function(j) {
    v1 <- x[1L, j]
    v1 != 0 && x[min(2L, n), j] == v1 && x[n, j] == v1 && all(x[rows, j] == v1) &&
      all(x[, j] == v1)
  }, NA)
}

## .robust_spread() of the columns of x but column `skip` and of y (the last
## entry; NULL: not measured), by one compiled pass over the sample rows
## whose columns run on the call's threads.  The data go in a list, which .C
## passes without a copy, and the compiled pass gathers the sample rows of
## each column itself.  Values that are not finite are left to the R
## definition, so they behave as they do there.
.column_spreads <- function(x, y = NULL, skip = 0L) {
  n <- nrow(x)
  p <- ncol(x)
  rows <- .spread_rows(n)
  m <- length(rows)
  ## (a response of another length is measured on its own rows, in R)
  has_y <- !is.null(y) && length(y) == n
  ys <- if (!has_y) double() else if (is.double(y)) y else as.double(y)
  z <- .C("kv_sample_spreads", list(if (is.double(x)) x else as.double(x), ys,
                                    if (m < n) rows else integer()),
          n, p, m, as.integer(has_y), as.integer(skip),
          loc = double(p + 1L), spread = double(p + 1L), status = integer(p + 1L),
          NAOK = TRUE, PACKAGE = "kelvara")
  loc <- z$loc
  spread <- z$spread
  left <- which(z$status == 1L)
  if (!is.null(y) && !has_y) left <- c(left, p + 1L)
  for (j in left) {
    ls <- .robust_spread_r(if (j <= p) x[rows, j] else y)
    loc[j] <- ls[["location"]]
    spread[j] <- ls[["spread"]]
  }
  list(loc = loc, spread = spread)
}

## Standardises a design x (n x p) and response y.  With an intercept (a
## constant column of x, or `intercept = TRUE` for a design that leaves it
## out), the other columns and y may be centred.  Returns the new data and
## the transformation (location and unit per column and of y), and the
## constant columns.  `const` marks the intercept columns when x is a subset
## of the rows of the design.
.standardise <- function(x, y = NULL, intercept = NULL, const = NULL) {
  p <- ncol(x)
  if (is.null(const)) const <- .constant_columns(x)
  has_icpt <- if (is.null(intercept)) any(const) else intercept || any(const)
  icpt <- if (any(const)) which(const)[1L] else 0L
  cs <- .column_spreads(x, y, skip = icpt)
  x_loc <- x_unit <- numeric(p)
  for (j in seq_len(p)) {
    if (j == icpt) {
      x_unit[j] <- .unit_of(abs(x[1L, j]))
      next
    }
    x_unit[j] <- .unit_of(cs$spread[j])
    if (has_icpt && !const[j] && abs(cs$loc[j]) > .origin_limit * cs$spread[j])
      x_loc[j] <- cs$loc[j]
  }
  y_loc <- 0
  y_unit <- 1
  if (!is.null(y)) {
    m <- cs$loc[p + 1L]
    s <- cs$spread[p + 1L]
    y_unit <- .unit_of(s)
    if (has_icpt && abs(m) > .origin_limit * s) y_loc <- m
    if (y_loc != 0 || y_unit != 1) y <- (y - y_loc) / y_unit
  }
  for (j in which(x_loc != 0 | x_unit != 1)) x[, j] <- (x[, j] - x_loc[j]) / x_unit[j]
  list(x = x, y = y,
       tr = list(x_loc = x_loc, x_unit = x_unit, y_loc = y_loc, y_unit = y_unit,
                 icpt = icpt, icpt_value = if (icpt) x[1L, icpt] * x_unit[icpt] else 1,
                 has_icpt = has_icpt,
                 identity = all(x_loc == 0) && all(x_unit == 1) && y_loc == 0 &&
                   y_unit == 1),
       const = const,
       ## (.robust_spread() of the response returned, where it is y as given)
       y_spread = if (!is.null(y) && y_loc == 0 && y_unit == 1) cs$spread[p + 1L])
}

## The linear map beta = A beta' + a from coefficients on standardised data
## back to data units.  Without an intercept column in x (a design whose
## intercept is implicit, as in lts), `icpt_extra` appends it as a last
## coefficient.
.back_map <- function(tr, icpt_extra = FALSE) {
  p <- length(tr$x_unit) + icpt_extra
  A <- diag(c(tr$y_unit / tr$x_unit, if (icpt_extra) tr$y_unit), p, p)
  a <- numeric(p)
  k <- if (icpt_extra) p else tr$icpt
  if (k > 0L) {
    c0 <- if (icpt_extra) 1 else tr$icpt_value
    others <- setdiff(seq_along(tr$x_unit), k)
    A[k, others] <- -tr$x_loc[others] * tr$y_unit / (tr$x_unit[others] * c0)
    a[k] <- tr$y_loc / c0
  } else if (tr$y_loc != 0 || any(tr$x_loc != 0)) {
    stop("internal: a centred fit without an intercept", call. = FALSE)
  }
  list(A = A, a = a)
}

## Coefficients (and optionally their covariance) back to data units.
.unstandardise_coef <- function(b, tr, icpt_extra = FALSE) {
  if (tr$identity) return(b)
  m <- .back_map(tr, icpt_extra)
  out <- drop(m$A %*% b) + m$a
  names(out) <- names(b)
  out
}

.unstandardise_cov <- function(v, tr, icpt_extra = FALSE) {
  if (tr$identity || is.null(v)) return(v)
  A <- .back_map(tr, icpt_extra)$A
  out <- A %*% v %*% t(A)
  dimnames(out) <- dimnames(v)
  out
}

## Coefficients in data units to the standardised problem (start values).
.standardise_coef <- function(b, tr, icpt_extra = FALSE) {
  if (tr$identity) return(b)
  .map_inverse(.back_map(tr, icpt_extra), b)
}

## Solves A beta' = b - a for the map of .back_map: A is diagonal except in
## the intercept's row, so the slopes come first (no general solve, whose
## condition number the units would spoil).
.map_inverse <- function(m, b) {
  A <- m$A
  d <- diag(A)
  out <- (b - m$a) / d
  k <- which(rowSums(A != 0) > 1L)
  if (length(k)) {
    others <- seq_along(b)[-k]
    out[k] <- (b[k] - m$a[k] - sum(A[k, others] * out[others])) / d[k]
  }
  out
}

## Number of observations on the fitted hyperplane and whether they make an
## exact fit: as the scale equation has it, the scale is 0 once at most
## bb (n - p) residuals are non-zero.  `r` are residuals of the standardised
## problem, `y` its response (y_spread: its .robust_spread() when known).
## n_on_plane: the number of r on the plane when a compiled pass counted it
## (by the tolerance .plane_tol()); the rows on it are then listed only for
## an exact fit, and r (then only read for an exact fit) may be NULL
## otherwise, with n the number of residuals.
.exact_fit_rule <- function(r, y, p, bb = 0.5, y_spread = NULL, n_on_plane = NULL,
                            n = length(r)) {
  on <- NULL
  if (is.null(n_on_plane)) {
    on <- abs(r) <= .plane_tol(y, y_spread)
    n_on_plane <- sum(on)
    exact <- sum(!on) <= bb * (n - p)
  } else {
    exact <- n - n_on_plane <= bb * (n - p)
    if (exact) on <- abs(r) <= .plane_tol(y, y_spread)
  }
  list(on_plane = on, n_on_plane = n_on_plane, exact = exact)
}

## Residuals within this of 0 lie on the fitted hyperplane: .exact_tol times
## the response's magnitude (its robust spread, else its largest value, at
## least 1).
.plane_tol <- function(y, y_spread = NULL) {
  mag <- if (is.null(y_spread)) .robust_spread(y)[["spread"]] else y_spread
  if (!(mag > 0)) mag <- max(abs(y), 1)
  .exact_tol * mag
}
