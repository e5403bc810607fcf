## Least trimmed squares regression by the FAST-LTS search of the compiled
## module (`rfltsreg`), with the data units, the raw scale and a reweighted
## least-squares fit worked out here.

## Dispatch is on the formula also when lm's argument x = TRUE/FALSE is named
## (lts(y ~ ., data, x = TRUE) puts the formula first in '...') or the
## formula is named, and a character formula counts as a formula.
lts <- function(x, ...) {
  f <- if (missing(x)) eval(match.call()$formula, parent.frame())
       else if (is.logical(x) && length(x) == 1L && ...length() &&
                (inherits(..1, "formula") || is.character(..1))) ..1
       else x
  if (is.character(f) && length(f) == 1L && grepl("~", f, fixed = TRUE))
    f <- stats::as.formula(f)
  UseMethod("lts", f)
}

## The model frame as lm() builds it; the formula's intercept term decides
## whether the model has an intercept.  Offsets (offset() terms and the
## 'offset' argument) are subtracted from the response before the fit and
## are part of the fitted values.  model, x and y keep the model frame, the
## model matrix and the response with the fit, as lm() does; the model matrix
## is kept by default, for the robust distances of the diagnostics.
lts.formula <- function(formula, data, subset, na.action, model = TRUE, x = TRUE,
                        y = FALSE, contrasts = NULL, offset, ..., threads = NULL) {
  cl <- match.call()
  cl[[1L]] <- as.name("lts")
  model <- .check_flag(model, "model")
  ret_x <- .check_flag(x, "x")
  ret_y <- .check_flag(y, "y")
  mf <- match.call(expand.dots = FALSE)
  mf <- mf[c(1L, match(c("formula", "data", "subset", "na.action", "offset"), names(mf), 0L))]
  if (is.character(formula)) {
    formula <- stats::as.formula(formula, env = parent.frame())
    mf$formula <- cl$formula <- formula
  }
  mf$drop.unused.levels <- TRUE
  mf[[1L]] <- quote(stats::model.frame)
  mf <- eval(mf, parent.frame())
  mt <- attr(.check_factor_levels(mf), "terms")
  X <- stats::model.matrix(mt, mf, contrasts)
  Y <- stats::model.response(mf, "numeric")
  off <- as.vector(stats::model.offset(mf))
  if (!is.null(off) && length(off) != NROW(Y))
    stop(sprintf("'offset' has %d values, the data %d", length(off), NROW(Y)), call. = FALSE)
  icpt <- attr(mt, "intercept") == 1L
  fit <- lts.default(X[, colnames(X) != "(Intercept)", drop = FALSE],
                     if (is.null(off)) Y else Y - off, intercept = icpt, ..., threads = threads)
  if (!is.null(off)) {
    fit$fitted.values <- fit$fitted.values + off
    fit$reweighted$fitted.values <- fit$reweighted$fitted.values + off
    fit$offset <- off
  }
  fit$call <- cl
  fit$terms <- mt
  fit$xlevels <- stats::.getXlevels(mt, mf)
  fit$contrasts <- attr(X, "contrasts")
  fit$na.action <- attr(mf, "na.action")
  fit["x"] <- list(if (ret_x) X)
  if (model) fit$model <- mf
  if (ret_y) fit$y <- Y
  fit
}

lts.default <- function(x, y, alpha = 0.5, intercept = TRUE, adjust = TRUE,
                        nsamp = 500, seed = NULL, trace = 0, ..., threads = NULL) {
  cl <- match.call()
  cl[[1L]] <- as.name("lts")
  opt <- .lts_options(list(...), trace)
  seed <- .check_seed(seed)
  if (missing(y)) stop("'y' is missing", call. = FALSE)
  X <- .lts_matrix(x)
  intercept <- .check_flag(intercept, "intercept")
  adjust <- .check_flag(adjust, "adjust")
  if (!is.numeric(y) || (!is.null(dim(y)) && NCOL(y) != 1L))
    stop("'y' must be a numeric vector", call. = FALSE)
  y <- stats::setNames(as.vector(y), names(y))
  n <- length(y)
  if (is.null(X)) X <- matrix(0, n, 0L)
  if (nrow(X) != n)
    stop(sprintf("'x' has %d rows but 'y' has %d values", nrow(X), n), call. = FALSE)
  ## Cases keep their names (or the row names of x) in every per-case result.
  if (is.null(names(y))) names(y) <- rownames(X)
  .check_finite(X, "x")
  .check_finite(y, "y")
  if (ncol(X) == 0L && !intercept)
    stop("the model has no coefficients: no regressors and no intercept", call. = FALSE)
  ## (Column names go on the matrices made below: naming x itself would copy it.)
  xnames <- if (ncol(X)) .coef_names(X)
  p <- ncol(X) + intercept
  if (n <= p)
    stop(sprintf("need more cases than coefficients (n = %d, p = %d)", n, p),
         call. = FALSE)
  alpha <- .check_number_in(alpha, "alpha", 0.5, 1)
  nsamp <- .check_count(nsamp, "nsamp", 0L)  # 0: all p-subsets
  if (nsamp == 0 && ncol(X) > 0L && choose(n, p) > .Machine$integer.max)
    stop(sprintf(paste("nsamp = 0 asks for all %.0f subsets of p = %d cases,",
                       "more than can be searched; use nsamp > 0"), choose(n, p), p),
         call. = FALSE)
  ## More random draws than there are distinct subsets buy nothing: beyond
  ## the default, such a count is refused (nsamp = 0 searches them all).
  if (nsamp > 500 && ncol(X) > 0L && nsamp > choose(n, p))
    stop(sprintf(paste("nsamp = %d asks for more random p-subsets than the %.0f distinct",
                       "ones of %d cases; use nsamp = 0 to search all of them"),
                 nsamp, choose(n, p), n), call. = FALSE)
  h <- if (is.null(opt$h)) .coverage_h(alpha, n, p) else opt$h
  h_min <- max(p + 1, ceiling(n / 2))
  if (!is.numeric(h) || length(h) != 1L || !is.finite(h) || h != round(h) ||
      h < h_min || h > n)
    stop(sprintf("'h' must be a whole number in [%d, %d] (at least p + 1 and n/2)",
                 h_min, n), call. = FALSE)
  h <- as.integer(h)

  ## The search runs on standardised data (units, and the origin with an
  ## intercept); its results are carried back below.
  st <- .standardise(X, y, intercept = intercept)
  ys <- st$y
  ## (named in place: setNames() would copy a response shared with y)
  if (!identical(names(ys), names(y))) names(ys) <- names(y)
  ## The search takes the design with the intercept last, beside the
  ## response; the rest of the fit reports the intercept first.
  search_names <- c(xnames, if (intercept) "(Intercept)")
  ## (The cross-product clears a design of full rank in one pass; another
  ## design is reduced block by block, answering interrupts between blocks,
  ## to its triangular factor, of the same rank.)
  if (ncol(X) > 0L && !.clearly_full_rank(st$x, tol = 1e-7, ones = intercept)) {
    rank <- qr(.qr_factor_rows(if (intercept) cbind(st$x, 1) else st$x))$rank
    if (rank < p)
      stop(sprintf(paste0("the design is rank-deficient (rank %d < %d coefficients): ",
                          "remove or combine collinear columns"), rank, p), call. = FALSE)
  }
  fit <- .with_seed(seed, if (ncol(X) == 0L) {
    .with_threads(threads, .lts_location(ys, h, opt$trace))
  } else {
    .with_threads(threads, .lts_search(st$x, ys, h, intercept, adjust, nsamp, opt$trace,
                                       search_names))
  })
  names(fit$coefficients) <- search_names
  if (!is.null(fit$search_coefficients))
    names(fit$search_coefficients) <- search_names
  ord <- if (intercept) c(p, seq_len(p - 1L)) else seq_len(p)
  fit$coefficients <- fit$coefficients[ord]
  fit$search_coefficients <- fit$search_coefficients[ord]
  design <- if (intercept) cbind(1, st$x) else st$x
  if (ncol(design)) colnames(design) <- search_names[ord]

  res <- .lts_unstandardise(.lts_finish(fit, design, ys, h), st$tr, intercept, ord, y)
  res$call <- cl
  res$alpha <- alpha
  res$intercept <- intercept
  res$adjust <- adjust
  res$nsamp <- nsamp
  res$seed <- seed
  res$xnames <- xnames
  ## The design in data units, for the robust distances of the diagnostics
  ## (data that needed no new units are the design of the search already).
  res$x <- if (st$tr$identity) design else {
    xd <- if (intercept) cbind(1, X) else X
    colnames(xd) <- colnames(design)
    xd
  }
  class(res) <- "lts"
  res
}

## A fit on standardised data back in data units: coefficients (in the
## order `ord` of the design with the intercept last), their covariance,
## residuals, fitted values, scales and criteria.
.lts_unstandardise <- function(fit, tr, intercept, ord, y) {
  if (tr$identity) return(fit)
  m <- .back_map(tr, icpt_extra = intercept)
  A <- m$A[ord, ord, drop = FALSE]
  a <- m$a[ord]
  back <- function(b) if (!is.null(b)) stats::setNames(drop(A %*% b) + a, names(b))
  u <- tr$y_unit
  fit$coefficients <- back(fit$coefficients)
  fit$search_coefficients <- back(fit$search_coefficients)
  fit$crit <- fit$crit * u^2
  fit$search_crit <- fit$search_crit * u^2
  fit$scale <- fit$scale * u
  fit$residuals <- fit$residuals * u
  fv <- y - fit$residuals
  names(fv) <- names(fit$fitted.values)  # (in place: setNames() would copy)
  fit$fitted.values <- fv
  rw <- fit$reweighted
  rw$coefficients <- back(rw$coefficients)
  rw$residuals <- rw$residuals * u
  fv <- y - rw$residuals
  names(fv) <- names(rw$fitted.values)
  rw$fitted.values <- fv
  rw$scale <- rw$scale * u
  if (!is.null(rw$cov)) rw$cov[] <- A %*% rw$cov %*% t(A)
  fit$reweighted <- rw
  fit
}

## The coverage h taken from `...`, and the trace level.
.lts_options <- function(dots, trace) {
  bad <- setdiff(names(dots), "h")
  if (length(dots) && (is.null(names(dots)) || any(!nzchar(names(dots))) || length(bad)))
    stop("unknown argument(s) in '...': ",
         paste(if (length(bad)) bad else "(unnamed)", collapse = ", "),
         "; allowed is 'h'", call. = FALSE)
  list(h = dots$h, trace = .check_count(trace, "trace", 0L))
}

## The design of lts.default (NULL: none) and of new data for predict.lts;
## the fit checks its values.
.lts_matrix <- function(x) if (!is.null(x)) .check_design(x, finite = FALSE)

## The compiled FAST-LTS search (kv_ltsreg) of y on the design x (without
## its intercept column, which the search adds after the others), or, with
## ncol = 1 and no x, the univariate LTS location of y.  status is one of
## .lts_codes, then the zero-scale column (of cbind(x, 1, y)).  The data go
## in a list, which the routine reads where it stands: a vector argument of
## .C would be copied, and its copy returned.
.lts_call <- function(x, y, n, p, h, nsamp, intercept, adjust, ncol, trace) {
  ## (as.double() would copy a double matrix only to drop its dimensions;
  ## the routine refuses values that are not finite.)
  data <- list(if (is.double(x)) x else as.double(x), if (is.double(y)) y else as.double(y))
  .C("kv_ltsreg", data, as.integer(n), as.integer(p),
     as.integer(h), as.integer(nsamp), as.integer(intercept), as.integer(adjust), as.integer(ncol),
     as.integer(trace), status = integer(2L), best = integer(h), objective = double(1L),
     coef = double(p), loc = double(p + 1L), scale = double(p + 1L),
     location = double(1L), NAOK = FALSE, PACKAGE = "kelvara")
}

## The univariate LTS location: mean of the h consecutive order statistics
## with the smallest sum of squared deviations.
.lts_location <- function(y, h, trace) {
  z <- .lts_call(NULL, y, length(y), 1L, h, 0L, TRUE, FALSE, 1L, trace)
  list(coefficients = z$location, search_coefficients = NULL, objective = NA_real_)
}

## The search of y on cbind(x, 1) (intercept) or x; `names` are those of
## its p coefficients.
.lts_search <- function(x, y, h, intercept, adjust, nsamp, trace,
                        names = c(colnames(x), if (intercept) "(Intercept)")) {
  n <- length(y)
  p <- ncol(x) + intercept
  ncol <- p + 1L
  z <- .lts_call(x, y, n, p, h, nsamp, intercept, adjust, ncol, trace)
  .lts_no_fit(z$status, nsamp, names)
  loc <- z$loc
  sc <- z$scale
  ## Back to data units: (y - my)/sy = sum_j theta_j (x_j - m_j)/s_j (+ theta_0).
  theta <- z$coef
  slopes <- seq_len(p - intercept)
  beta <- numeric(p)
  beta[slopes] <- sc[ncol] * theta[slopes] / sc[slopes]
  if (intercept)
    beta[p] <- sc[ncol] * theta[p] + loc[ncol] - sum(beta[slopes] * loc[slopes])
  best <- sort.int(z$best, method = "radix")  # the h distinct cases, ascending
  ## (.lts_finish replaces the coefficients by the least-squares fit of the
  ## best subset.)
  list(coefficients = beta, search_coefficients = beta, best = best, refit = TRUE,
       objective = z$objective * sc[ncol]^2)
}

## Stops with the reason when the search made no fit; status is the search's
## code and the zero-scale column (of cbind(design, y)).
.lts_no_fit <- function(status, nsamp, names) {
  code <- names(.lts_codes)[match(status[1L], .lts_codes)]
  switch(code,
    ok = invisible(NULL),
    zero_scale = {
      what <- if (status[2L] > length(names)) "the response"
              else sprintf("column '%s'", names[status[2L]])
      stop(sprintf(paste0("%s has zero robust scale (its median and mean absolute ",
                          "deviation vanish); no LTS fit is computed"), what),
           call. = FALSE)
    },
    no_subset = stop(sprintf(paste0(
      "no non-singular p-subset of the design was found %s: ",
      "the design is (nearly) rank-deficient"),
      if (nsamp == 0) "among all p-subsets" else sprintf("in nsamp = %d draws", nsamp)),
      call. = FALSE),
    stop("unknown status of the LTS search: ", status[1L], call. = FALSE))
}

## Consistency factor of the raw scale at normal errors: the h smallest of n
## squared N(0, 1) residuals have mean 1 - 2 n c phi(c) / h, c = the
## (n + h) / (2n) quantile.
.lts_scale_factor <- function(h, n) {
  if (h >= n) return(1)
  c <- stats::qnorm((n + h) / (2 * n))
  1 / sqrt(1 - 2 * n * c * stats::dnorm(c) / h)
}

## E[Z^2; |Z| < m] for Z standard normal.
.trunc_second_moment <- function(m) {
  if (!is.finite(m)) return(1)
  2 * stats::pnorm(m) - 1 - 2 * m * stats::dnorm(m)
}

## Normal-model constants of the reweighted fit, which keeps the cases with
## |residual| <= k raw scales (k = 2.5) and fits them by least squares.
## The kept residuals have variance sigma^2 T(k) / P(k) (T the truncated
## second moment, P = 2 Phi(k) - 1): `scale` is the reciprocal square root.
## The kept set depends on the LTS fit b0, so the reweighted estimate b1
## carries part of its error: to first order
##   b1 - beta = (X'X)^{-1} sum x e 1{|e| < k} / P + (2 k phi(k) / P) (b0 - beta),
## where b0 - beta = (X'X)^{-1} sum x e 1{|e| < q} / D, q the
## (1 + h/n) / 2 normal quantile and D = h/n - 2 q phi(q) (the LTS influence
## function).  `var` is the variance of the sum of the two terms in units of
## sigma^2 (X'X)^{-1}; it is 1.21 at h/n = 1/2, 1 at h = n.
.lts_rw_constants <- function(h, n, k = 2.5) {
  P <- 2 * stats::pnorm(k) - 1
  Tk <- .trunc_second_moment(k)
  g <- h / n
  c1 <- 2 * k * stats::dnorm(k) / P
  if (g >= 1) {
    var <- Tk / P^2 + 2 * c1 * Tk / P + c1^2
  } else {
    q <- stats::qnorm((1 + g) / 2)
    D <- g - 2 * q * stats::dnorm(q)
    var <- Tk / P^2 + 2 * c1 * .trunc_second_moment(min(k, q)) / (P * D) +
      c1^2 * .trunc_second_moment(q) / D^2
  }
  list(scale = sqrt(P / Tk), var = var, kept = P)
}

## `small`: the finite-sample factors, by default the stored formulas (the
## determination of the factors passes its own).  With fit$refit, the
## coefficients are first replaced by the least-squares fit of the cases
## fit$best (kept, with a warning, when that fit is rank-deficient).
.lts_finish <- function(fit, design, y, h, small = NULL) {
  n <- length(y)
  p <- ncol(design)
  coef <- fit$coefficients
  ## Finite-sample factors (R/consistency.R) on top of the asymptotic one.
  if (is.null(small)) {
    alpha <- .coverage_alpha(h, n, p)
    small <- c(raw = .small_sample_factor("lts_raw", n, p, alpha),
               reweighted = .small_sample_factor("lts_rw", n, p, alpha),
               cov = .small_sample_factor("lts_cov", n, p, alpha))
  }
  factor <- .lts_scale_factor(h, n) * small[["raw"]]
  ## One compiled pass over the cases (on the call's threads, interruptible
  ## between blocks; it reads the data where they stand, from a list): the
  ## refit of the best subset, then fitted values (the residuals are y
  ## minus them), the criterion (sum of the h smallest squared residuals),
  ## the scale, the kept cases (|residual| <= 2.5 scales, or within the
  ## tolerance 1e-9 max(1, |y|) of an exact fit) and the triangular factor
  ## of the kept rows for the reweighted fit.
  refit <- isTRUE(fit$refit)
  rows <- if (refit) as.integer(fit$best) else integer(0L)
  xd <- if (is.double(design)) design else as.double(design)
  yd <- if (is.double(y)) y else as.double(y)
  out <- double(n)  # (.C returns a copy of it: one template serves both calls)
  z <- .C("kv_lts_case_pass", list(xd, yd, rows),
          as.integer(n), as.integer(p), coef = as.double(coef), length(rows),
          as.integer(h), as.double(factor), fitted = out,
          crit = double(1L), scale = double(1L), exact = logical(1L), ok = logical(n),
          r = double((p + 1)^2), refit = integer(1L), NAOK = FALSE, PACKAGE = "kelvara")
  if (z$refit == 2L)
    warning("the least-squares fit of the best subset is rank-deficient; ",
            "the coefficients of the search are returned", call. = FALSE)
  coef[] <- z$coef
  fitted <- z$fitted
  res <- y - fitted
  crit <- z$crit
  scale <- z$scale
  exact <- z$exact
  ok <- z$ok
  r <- z$r
  rm(z)  # (the vectors are then this frame's alone: naming them copies nothing)
  names(ok) <- names(y)
  best <- if (is.null(fit$best)) sort(order(abs(res))[seq_len(h)]) else fit$best
  rw_coef <- coef
  rw_xtx_inv <- NULL
  if (!exact) {
    lsq <- .qr_triangle_ls(matrix(r, p + 1L), colnames(design))
    qf <- lsq$qr
    if (qf$rank == p) {
      rw_coef <- qr.coef(qf, lsq$y)
      rw_xtx_inv <- matrix(0, p, p)
      rw_xtx_inv[qf$pivot, qf$pivot] <- chol2inv(qr.R(qf))
    }
  }
  names(rw_coef) <- names(coef)
  ## (design %*% rw_coef and the sum of the kept squared residuals, formed
  ## as R forms them, by a compiled pass on the call's threads)
  kf <- .C("kv_lts_kept_fit", list(xd, yd, ok), as.integer(n), as.integer(p),
           as.double(rw_coef), fitted = out, ss = double(1L), PACKAGE = "kelvara")
  rm(out)
  rw_fitted <- kf$fitted
  rw_res <- y - rw_fitted
  rwc <- .lts_rw_constants(h, n)
  rw_scale0 <- if (sum(ok) > p) {
    rwc$scale * sqrt(kf$ss / (sum(ok) - p))
  } else NA_real_
  rw_scale <- rw_scale0 * small[["reweighted"]]
  ## Covariance of the reweighted fit: sigma^2 var (X'X)^{-1}, with X'X of
  ## the clean cases estimated by that of the kept ones divided by the
  ## share P(k) that the cut-off keeps (so bad leverage points, which are not
  ## kept, do not shrink it).  In small samples both the scale and the
  ## first-order variance fall short; the covariance has its own factor.
  rw_cov <- if (!is.null(rw_xtx_inv) && is.finite(rw_scale))
    structure(rw_scale0^2 * rwc$var * rwc$kept * small[["cov"]] * rw_xtx_inv,
              dimnames = list(names(coef), names(coef)))
  names(res) <- names(fitted) <- names(rw_res) <- names(rw_fitted) <- names(y)
  list(coefficients = coef, search_coefficients = fit$search_coefficients,
       best = best, crit = crit, search_crit = fit$objective, h = h, n = n, p = p,
       scale = scale, scale_factor = factor, small_sample = small, exact_fit = exact,
       residuals = res, fitted.values = fitted, weights = as.numeric(ok),
       outlier = !ok,
       reweighted = list(coefficients = rw_coef, residuals = rw_res,
                         fitted.values = rw_fitted, scale = rw_scale, cov = rw_cov))
}

print.lts <- function(x, digits = max(3L, getOption("digits") - 3L), ...) {
  digits <- .check_digits(digits)
  cat("Least trimmed squares regression (h = ", x$h, " of n = ", x$n, ")\n", sep = "")
  if (!is.null(x$call)) cat("Call: ", paste(deparse(x$call), collapse = "\n"), "\n", sep = "")
  cat("\nCoefficients:\n")
  print.default(format(x$coefficients, digits = digits), print.gap = 2L, quote = FALSE)
  cat("\nScale estimate:", format(x$scale, digits = digits),
      if (x$exact_fit) "(exact fit of at least h cases)", "\n")
  cat("Outliers flagged (|standardized residual| > 2.5):", sum(x$outlier), "\n")
  cat("Reweighted coefficients:\n")
  print.default(format(x$reweighted$coefficients, digits = digits), print.gap = 2L,
                quote = FALSE)
  invisible(x)
}

summary.lts <- function(object, ...) {
  rw <- object$reweighted
  est <- rw$coefficients
  se <- if (is.null(rw$cov)) rep(NA_real_, length(est)) else sqrt(diag(rw$cov))
  df <- sum(object$weights) - object$p
  tval <- est / se
  coefs <- cbind(LTS = object$coefficients, Reweighted = est, "Std. Error" = se,
                 "t value" = tval,
                 "Pr(>|t|)" = 2 * stats::pt(abs(tval), max(df, 1), lower.tail = FALSE))
  rownames(coefs) <- names(est)
  sr <- object$residuals / object$scale
  structure(list(call = object$call, coefficients = coefs, h = object$h, n = object$n,
                 p = object$p, alpha = object$alpha, scale = object$scale,
                 rw_scale = rw$scale, df = df, exact_fit = object$exact_fit,
                 n_outliers = sum(object$outlier), outliers = which(object$outlier),
                 std_residuals = if (!object$exact_fit) stats::quantile(sr)),
            class = "summary.lts")
}

print.summary.lts <- function(x, digits = max(3L, getOption("digits") - 3L), ...) {
  digits <- .check_digits(digits)
  cat("Least trimmed squares regression (h = ", x$h, " of n = ", x$n, ")\n", sep = "")
  if (!is.null(x$call)) cat("Call: ", paste(deparse(x$call), collapse = "\n"), "\n", sep = "")
  if (!is.null(x$std_residuals)) {
    cat("\nResiduals / LTS scale:\n")
    q <- x$std_residuals
    names(q) <- c("Min", "1Q", "Median", "3Q", "Max")
    print(q, digits = digits)
  }
  cat("\nCoefficients of the LTS fit and of the reweighted least-squares fit, with",
      "the\nstandard errors of the reweighted fit:\n")
  stats::printCoefmat(x$coefficients, digits = digits, cs.ind = 1:3, tst.ind = 4L,
                      na.print = "NA", ...)
  cat("\nLTS scale:", format(x$scale, digits = digits),
      if (x$exact_fit) "(exact fit of at least h cases)", "\n")
  cat("Reweighted scale:", format(x$rw_scale, digits = digits), "on", x$df,
      "degrees of freedom\n")
  cat("Outliers (|residual| > 2.5 LTS scales): ", x$n_outliers, " of ", x$n, "\n", sep = "")
  if (x$n_outliers > 0L && x$n_outliers <= 30L)
    cat("  ", .case_labels(x$outliers), fill = TRUE)
  invisible(x)
}

.lts_which <- function(which) .check_choice(which, c("lts", "reweighted"), "which")

coef.lts <- function(object, which = c("lts", "reweighted"), ...) {
  if (.lts_which(which) == "lts") object$coefficients else object$reweighted$coefficients
}

residuals.lts <- function(object, which = c("lts", "reweighted"),
                          type = c("working", "response", "deviance", "pearson"), ...) {
  r <- if (.lts_which(which) == "lts") object$residuals else object$reweighted$residuals
  .fit_residuals(object, r, type)
}

fitted.lts <- function(object, which = c("lts", "reweighted"), ...) {
  f <- if (.lts_which(which) == "lts") object$fitted.values
       else object$reweighted$fitted.values
  stats::napredict(object$na.action, f)
}

## The residual scale of the LTS fit or of the reweighted fit.
sigma.lts <- function(object, which = c("lts", "reweighted"), ...) {
  if (.lts_which(which) == "lts") object$scale else object$reweighted$scale
}

## The 0/1 weights of the reweighting (1: kept); lts fits have no prior
## weights.
weights.lts <- function(object, type = c("robustness", "prior"), ...) {
  type <- .check_choice(type, c("robustness", "prior"), "type")
  if (type == "prior") return(NULL)
  stats::naresid(object$na.action, stats::setNames(object$weights, names(object$residuals)))
}

nobs.lts <- function(object, ...) object$n

model.frame.lts <- function(formula, ...) .fit_model_frame(formula, ...)

## The model matrix, intercept column first; for a fit from a matrix, the
## matrix with the intercept column the fit used.
model.matrix.lts <- function(object, ...) {
  if (is.null(object$terms)) return(object[["x"]])
  .fit_model_matrix(object, ...)
}

predict.lts <- function(object, newdata, which = c("lts", "reweighted"),
                        type = c("response", "terms"), terms = NULL,
                        na.action = stats::na.pass, ...) {
  which <- .lts_which(which)
  type <- .check_choice(type, c("response", "terms"), "type")
  no_new <- missing(newdata) || is.null(newdata)
  if (no_new && type == "response") return(fitted.lts(object, which))
  beta <- coef.lts(object, which)
  offset <- NULL
  if (!is.null(object$terms)) {
    if (no_new) {
      X <- model.matrix.lts(object)
    } else {
      if (!is.list(newdata))
        stop("'newdata' must be a data frame for a fit from a formula", call. = FALSE)
      nd <- .newdata_design(object, newdata, na.action)
      X <- nd$x
      offset <- nd$offset
    }
  } else {
    if (type == "terms")
      stop("type = \"terms\" needs a fit from a formula", call. = FALSE)
    X <- .lts_matrix(newdata)
    k <- length(object$xnames)
    if (is.null(X)) X <- matrix(0, 1L, 0L)
    if (ncol(X) != k)
      stop(sprintf("'newdata' must have %d column(s)", k), call. = FALSE)
    if (object$intercept) X <- cbind(1, X)
  }
  if (type == "terms") {
    pred <- .predict_terms(object, X, model.matrix.lts(object), beta, terms)
    if (no_new) pred <- stats::napredict(object$na.action, pred)
    return(pred)
  }
  fit <- drop(X %*% beta)
  if (!is.null(offset)) fit <- fit + offset
  if (is.null(object$terms)) as.vector(fit) else fit
}
