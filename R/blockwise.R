## Work on large matrices in pieces, so that R answers a user interrupt
## between the pieces: a single BLAS or LINPACK call over millions of rows
## runs for a second or more without looking at interrupts.  Every piece is
## small enough to finish within a few hundredths of a second.

## Frees the temporaries of the young generation (the copies and logical
## vectors that the model frame, the checks and the set-up leave behind)
## before a call that holds large work arrays of its own: R returns their
## memory to the system only at a collection, and at large n they would
## otherwise stay resident next to the copy of the design.  A collection of
## the youngest generation only: a few milliseconds, a tenth of a full one,
## and only for designs of a million values or more (`x`), where it is a
## small part of the call.
.free_temporaries <- function(x) {
  if (length(x) >= 2^20) invisible(gc(verbose = FALSE, full = FALSE))
}

## Answers a pending user interrupt now.  R looks for one only every
## thousand or so evaluations, which a loop over a few large blocks may take
## seconds to reach; every loop over blocks calls this once per block.
.answer_interrupt <- function() Sys.sleep(0)

## Rows per block when each row costs about p^2 operations (a product with
## a p x p matrix, a Householder QR of p columns).
.row_block_size <- function(p) max(p + 1, floor(2^22 / max(p, 1)^2))

## The row blocks (index vectors) of 1..n.
.row_blocks <- function(n, p) {
  size <- .row_block_size(p)
  if (n <= size) return(list(seq_len(n)))
  starts <- seq(1, n, by = size)
  lapply(starts, function(s) s:min(n, s + size - 1))
}

## The triangular factor R of the rows `rows` of cbind(x, y) = QR (y may be
## NULL), with its columns in their original order, by the compiled
## Householder reduction of fixed row blocks (on the call's threads; the
## result does not depend on their number, and interrupts are answered
## between blocks).  Then R'R = x'x, and R keeps every column norm of x and
## every norm left after projecting other columns out, which is what qr()
## judges the rank by; a least-squares fit of y on x has the same solution as
## that of R's last column on the others.
.qr_factor_rows <- function(x, rows = seq_len(nrow(x)), y = NULL) {
  q <- ncol(x) + !is.null(y)
  z <- .C("kv_rows_triangle", if (is.double(x)) x else as.double(x), nrow(x), ncol(x),
          if (is.null(y)) double(0L) else as.double(y), as.integer(!is.null(y)), as.integer(rows),
          length(rows), r = double(q * q), NAOK = FALSE, PACKAGE = "kelvara")
  matrix(z$r, q, q)
}

## colMeans() and stats::cov() of the rows `rows` of x (NULL: all), with
## the same numbers as single calls: the columns are taken in blocks and
## cov(x[, I], x[, J]) forms each entry by the same sums as cov(x) (the
## means of its two columns, then the sum of the products of the
## deviations), and each mean is one column's.  A block pair costs about
## n (b^2 + 4 b) operations for blocks of b columns.
.cov_blocks <- function(x, rows = NULL) {
  n <- if (is.null(rows)) nrow(x) else length(rows)
  p <- ncol(x)
  b <- p
  while (b > 1L && n * (b * b + 4 * b) > 2^25) b <- b - 1L
  cols <- split(seq_len(p), (seq_len(p) - 1L) %/% b)
  part <- function(J) {
    .answer_interrupt()
    if (is.null(rows)) x[, J, drop = FALSE] else x[rows, J, drop = FALSE]
  }
  if (length(cols) == 1L) {
    ## (all of x: no copy)
    xr <- if (is.null(rows)) { .answer_interrupt(); x } else part(seq_len(p))
    return(list(center = colMeans(xr), cov = stats::cov(xr)))
  }
  parts <- lapply(cols, part)
  center <- unlist(lapply(parts, colMeans), use.names = FALSE)
  cv <- matrix(0, p, p)
  for (i in seq_along(cols)) {
    I <- cols[[i]]
    .answer_interrupt()
    cv[I, I] <- stats::cov(parts[[i]])
    for (j in seq_len(i - 1L)) {
      .answer_interrupt()
      J <- cols[[j]]
      cij <- stats::cov(parts[[i]], parts[[j]])
      cv[I, J] <- cij
      cv[J, I] <- t(cij)
    }
  }
  vn <- colnames(x)
  names(center) <- vn
  dimnames(cv) <- if (!is.null(vn)) list(vn, vn)
  list(center = center, cov = cv)
}

## The least-squares fit of y on x from the triangular factor R of
## cbind(x, y) (.qr_factor_rows; names: those of the columns of x), which
## has the same solution (to rounding) and the same rank: qr() of R's first
## columns and the right-hand side to pass to qr.coef() with it.
.qr_triangle_ls <- function(R, names) {
  p <- ncol(R) - 1L
  xr <- R[, seq_len(p), drop = FALSE]
  colnames(xr) <- names
  list(qr = qr(xr), y = R[, p + 1L])
}

## Whether every value of the numeric vector or matrix v is finite, by its
## minimum and maximum (NA and NaN propagate to both): two passes that, unlike
## range() or is.finite(), allocate nothing of the size of v.  A long double
## vector is checked by a compiled pass on the call's threads instead, which
## reads it in place.
.all_finite <- function(v) {
  if (is.double(v) && length(v) >= 65536L)
    return(.C("kv_all_finite", list(v), as.double(length(v)), ok = FALSE,
              PACKAGE = "kelvara")$ok)
  length(v) == 0L || is.finite(min(v)) && is.finite(max(v))
}

## as.vector() of an atomic vector: the values without attributes.  Dropping
## them from the local copy is the same result, without as.vector()'s cost on
## a long vector with names (about 0.1 s at a million rows).
.bare <- function(v) {
  if (!is.atomic(v)) return(as.vector(v))
  attributes(v) <- NULL
  v
}

## Whether the pivoted QR decomposition of x with tolerance `tol` (as qr()
## and lm() use it) would keep every column, judged without it.  The QR
## moves a column beyond the rank when less than `tol` of its norm lies
## outside the span of the columns before it; it copies x and passes over it
## once per column.  The cross-product costs one pass and no copy, and TRUE
## means that every column keeps at least 10^4 tol of its norm outside the
## span of all the others, a margin far beyond the rounding of either
## computation.  FALSE: ask the QR.  `ones`: judge x with a column of ones
## after its last (an intercept the design leaves out), whose
## cross-products are the column sums and n.
.clearly_full_rank <- function(x, tol = 1e-7, ones = FALSE) {
  cp <- .cross_product(x, ones)
  p <- ncol(cp)
  d <- sqrt(diag(cp))
  if (!all(is.finite(cp)) || !all(d > 0)) return(FALSE)
  ch <- tryCatch(chol(cp / tcrossprod(d)), error = function(e) NULL)
  if (is.null(ch)) return(FALSE)
  ## 1 / sqrt of the diagonal of the inverse of the norm-scaled
  ## cross-product: each column's share of its norm off the others' span.
  outside <- 1 / sqrt(rowSums(backsolve(ch, diag(p))^2))
  all(is.finite(outside)) && min(outside) >= 1e4 * tol
}

## x'x, with the cross-products of a column of ones after the last of x when
## `ones`.  Long matrices go to a compiled pass over fixed row blocks (on the
## call's threads, answering interrupts between blocks), which reads x where
## it stands.
.cross_product <- function(x, ones = FALSE) {
  n <- nrow(x)
  p <- ncol(x)
  if (n >= 20000L) {
    q <- p + ones
    z <- .C("kv_cross_product", list(if (is.double(x)) x else as.double(x)), n, p,
            as.integer(ones), out = double(q * q), PACKAGE = "kelvara")
    return(matrix(z$out, q, q))
  }
  cp <- crossprod(x)
  if (ones) {
    s <- colSums(x)
    cp <- rbind(cbind(cp, s), c(s, n))
  }
  cp
}

## Aliased columns of x: those that the pivoted QR decomposition puts beyond
## the rank, as lm() does.
.aliased_columns <- function(x, tol = 1e-7) {
  p <- ncol(x)
  aliased <- logical(p)
  if (.clearly_full_rank(x, tol)) return(aliased)
  qx <- qr(x, tol = tol)[c("rank", "pivot")]  # (the factor is as large as x)
  if (qx$rank < p) aliased[qx$pivot[(qx$rank + 1L):p]] <- TRUE
  aliased
}
