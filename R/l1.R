## L1 (least absolute deviations) regression by the two-stage simplex
## routine of the compiled module.

## Divisor of the L1 scale: the constant the M-S estimator passes as well.
.l1_scale_divisor <- 0.773372647623

## A numeric matrix of finite values (a vector counts as one column), and
## a numeric vector of finite values.
.l1_as_design <- function(x, what, n = NULL) .check_design(x, what, n)
.l1_as_response <- function(y, what = "y") .check_response(y, what)

## One call of the L1 routine on copies of x and y.  Returns the raw outputs.
.l1_call <- function(x, y, tol) {
  n <- nrow(x)
  p <- ncol(x)
  .Fortran("rllarsbi",
           x = if (is.double(x)) x else as.double(x),  # .Fortran copies it anyway
           y = as.double(y), n = as.integer(n),
           np = as.integer(p), mdx = as.integer(n), mdt = as.integer(n),
           tol = as.double(tol), nit = integer(1L), k = integer(1L),
           kode = integer(1L), sigma = double(1L),
           theta = double(max(n, p)), rs = double(n),
           sc1 = double(n), sc2 = double(p), sc3 = double(p), sc4 = double(p),
           bet0 = as.double(.l1_scale_divisor),
           PACKAGE = "kelvara")
}

l1_fit <- function(x, ...) UseMethod("l1_fit")

l1_fit.default <- function(x, y, intercept = TRUE, tol = 1e-7, weights = NULL, ...) {
  cl <- match.call()
  cl[[1L]] <- as.name("l1_fit")
  y <- .l1_as_response(y)
  n <- length(y)
  if (n < 1L) stop("'y' must have at least one observation", call. = FALSE)
  intercept <- .check_flag(intercept, "intercept")
  tol <- .check_positive(tol, "tol")
  if (is.null(x)) x <- matrix(0, n, 0L)
  x <- .l1_as_design(x, "x", n)
  nm <- .coef_names(x)
  if (intercept) {
    ## Column by column rather than by cbind(1, x): a copy of millions of
    ## rows in one call would not answer an interrupt.
    x1 <- matrix(1, n, ncol(x) + 1L)
    for (j in seq_len(ncol(x))) {
      .answer_interrupt()
      x1[, j + 1L] <- x[, j]
    }
    x <- x1
    rm(x1)
    nm <- c("(Intercept)", nm)
  }
  colnames(x) <- nm
  if (ncol(x) < 1L)
    stop("there is nothing to fit: 'x' has no columns and 'intercept' is FALSE",
         call. = FALSE)
  fit <- .l1_fit_design(x, y, .l1_weights(weights, n), tol)
  fit$call <- cl
  fit
}

## The model frame as lm() builds it (data, subset, weights, na.action,
## offset); factors are coded by their contrasts, which are kept with the
## levels for predict().  Columns aliased with earlier ones get NA
## coefficients, as in lm().  The offset is subtracted from the response
## before the fit and added back to the fitted values.
l1_fit.formula <- function(formula, data, subset, weights, na.action, offset,
                           contrasts = NULL, tol = 1e-7, ...) {
  cl <- match.call()
  cl[[1L]] <- as.name("l1_fit")
  fr <- .model_frame(match.call(expand.dots = FALSE), parent.frame())
  mf <- fr$mf
  mt <- fr$mt
  y <- fr$y
  y <- .l1_as_response(as.vector(y), "the response")
  n <- length(y)
  if (n == 0L)
    stop("no observations to fit: the data (after 'subset' and missing values) are empty",
         call. = FALSE)
  w <- .l1_weights(as.vector(stats::model.weights(mf)), n)
  off <- as.vector(stats::model.offset(mf))
  if (!is.null(off) && (length(off) != n || any(!is.finite(off))))
    stop("'offset' must be finite, one value per observation", call. = FALSE)
  x <- stats::model.matrix(mt, mf, contrasts)
  if (ncol(x) == 0L)
    stop("the model has no coefficients: the formula has neither an intercept nor a regressor",
         call. = FALSE)
  .check_finite(x, "the design")
  use <- if (is.null(w)) rep(TRUE, n) else w > 0
  q <- qr(x[use, , drop = FALSE] * (if (is.null(w)) 1 else w[use]), tol = 1e-7)
  keep <- rep(FALSE, ncol(x))
  keep[q$pivot[seq_len(q$rank)]] <- TRUE
  y0 <- if (is.null(off)) y else y - off
  fit <- .l1_fit_design(x[, keep, drop = FALSE], y0, w, tol)
  coef <- stats::setNames(rep(NA_real_, ncol(x)), colnames(x))
  coef[keep] <- fit$coefficients
  fit$coefficients <- coef
  fit$aliased <- stats::setNames(!keep, colnames(x))
  fit$x <- x
  if (!is.null(off)) fit$fitted.values <- fit$fitted.values + off
  names(fit$residuals) <- names(fit$fitted.values) <- rownames(mf)
  fit$offset <- off
  fit$call <- cl
  fit$terms <- mt
  fit$model <- mf
  fit$na.action <- attr(mf, "na.action")
  fit$xlevels <- stats::.getXlevels(mt, mf)
  fit$contrasts <- attr(x, "contrasts")
  fit$assign <- attr(x, "assign")
  fit
}

## Case weights: NULL or finite non-negative numbers, one per observation,
## not all 0.
.l1_weights <- function(w, n) {
  if (is.null(w)) return(NULL)
  if (!is.numeric(w) || length(w) != n || any(!is.finite(w)) || any(w < 0))
    stop("'weights' must be finite and non-negative, one per observation", call. = FALSE)
  if (!any(w > 0)) stop("every observation has weight 0", call. = FALSE)
  as.double(w)
}

## The L1 fit of y on the columns of x (the intercept, if any, among them).
## A case weight w multiplies the absolute residual, which is the L1 fit of
## the rows of x and y multiplied by w; rows of weight 0 take no part.
## Residuals and fitted values are those of every row on the original scale.
.l1_fit_design <- function(x, y, w, tol) {
  p <- ncol(x)
  nm <- colnames(x)
  use <- if (is.null(w)) rep(TRUE, length(y)) else w > 0
  xs <- x[use, , drop = FALSE]
  ys <- y[use]
  if (!is.null(w)) {
    xs <- xs * w[use]
    ys <- ys * w[use]
  }
  ## The simplex judges pivots by absolute tolerances: it runs on data in
  ## standard units (the L1 fit is equivariant), and its result is checked.
  st <- .standardise(xs, ys)
  z <- .l1_call(st$x, st$y, tol)
  coef <- z$theta[seq_len(p)]
  names(coef) <- nm
  scale <- z$sigma * st$tr$y_unit
  status <- z$kode
  if (z$kode > 1L) {
    warning("L1 fit stopped early (loss of precision, status ", z$kode,
            "); no solution is returned", call. = FALSE)
    coef[] <- NA_real_
    scale <- NA_real_
  } else {
    if (identical(.l1_optimal(st$x, st$y, coef), FALSE)) {
      warning("the L1 solution fails the optimality check (status 3); ",
              "it is returned, but it is not a minimum", call. = FALSE)
      status <- .l1_not_optimal
    }
    coef <- .unstandardise_coef(coef, st$tr)
  }
  res <- if (is.null(w)) z$rs * st$tr$y_unit else drop(y - x %*% coef)
  if (z$kode > 1L) res[] <- NA_real_
  structure(list(coefficients = coef, residuals = res, rank = z$k, status = status,
                 scale = scale, iterations = z$nit, fitted.values = y - res,
                 weights = w, x = x),
            class = "l1_fit")
}

## The optimality condition of the L1 fit: 0 lies in the subdifferential,
## i.e. some u in [-1, 1] on the observations with zero residual (the set Z)
## solves X_Z' u = -sum over the others of sign(r_i) x_i.  When Z is a basis
## (p observations, the usual case) u is unique and the check is exact:
## TRUE or FALSE.  NA when it cannot be decided this cheaply (ties: more than
## p zero residuals, or a singular basis).
.l1_optimal <- function(x, y, coef) {
  r <- drop(y - x %*% coef)
  zero <- abs(r) <= .exact_tol * max(.robust_spread(y)[["spread"]], 1e-300)
  g <- drop(crossprod(x[!zero, , drop = FALSE], sign(r[!zero])))
  if (sum(zero) != ncol(x)) {
    if (sum(zero) == 0L) return(all(abs(g) <= 1e-8 * sum(abs(x))))
    return(NA)
  }
  u <- tryCatch(solve(t(x[zero, , drop = FALSE]), -g), error = function(e) NULL)
  if (is.null(u)) return(NA)
  all(abs(u) <= 1 + 1e-7)
}

print.l1_fit <- function(x, digits = max(3L, getOption("digits") - 3L), ...) {
  digits <- .check_digits(digits)
  cat("L1 regression (n = ", length(x$residuals), ")\n", sep = "")
  if (!is.null(x$call)) cat("Call: ", paste(deparse(x$call), collapse = "\n"), "\n", sep = "")
  cat("\nCoefficients:\n")
  print.default(format(x$coefficients, digits = digits), print.gap = 2L, quote = FALSE)
  sa <- sum(abs(if (is.null(x$weights)) x$residuals else x$weights * x$residuals))
  cat(if (is.null(x$weights)) "\nSum of absolute residuals:"
      else "\nSum of weighted absolute residuals:", format(sa, digits = digits),
      "\nScale:", format(x$scale, digits = digits), "\n")
  cat(switch(.l1_status_name(x$status),
             optimal = "Optimal solution, possibly not unique",
             optimal_unique = "Optimal and unique solution",
             precision_lost = "Stopped early through loss of precision: no solution",
             not_optimal = "Not optimal: the returned solution fails the optimality check",
             paste("Unknown status", x$status)),
      " (rank ", x$rank, ", ", x$iterations, " pivots)\n", sep = "")
  invisible(x)
}

coef.l1_fit <- function(object, ...) object$coefficients

residuals.l1_fit <- function(object, ...) stats::naresid(object$na.action, object$residuals)

fitted.l1_fit <- function(object, ...) stats::napredict(object$na.action, object$fitted.values)
