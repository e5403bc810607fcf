## Inference and prediction for L1 fits (class "l1_fit").
##
## Large-sample covariance of the L1 coefficients: with errors iid of
## density f and median 0,  sqrt(n) (b - beta) -> N(0, s^2/4 Q^-1), where
## s = 1/f(0) is the sparsity at the median and Q = lim X'X / n.  So
##   vcov(b) = (s/2)^2 (X'X)^-1.
## s is estimated by the difference quotient of the residuals' empirical
## quantile function,  s = (Q(1/2 + h) - Q(1/2 - h)) / (2 h),  with the
## studentized-quantile bandwidth rule for the median at the 95 % level:
##   h = n^(-1/3) z^(2/3) (1.5 phi(0)^2)^(1/3),  z = qnorm(0.975).
## The residuals on the basis of the fit (zero by construction, one per
## coefficient) are left out of the quantiles.  With case weights the fit is
## the L1 fit of the rows scaled by w, and so is its inference: X is the
## scaled design and the residuals are the scaled ones.

.l1_keep <- function(object) {
  if (is.null(object$aliased)) rep(TRUE, length(object$coefficients)) else !object$aliased
}

## Rows that take part in the fit, scaled by their weights.
.l1_scaled <- function(object) {
  if (is.null(object$x))
    stop("the fit holds no design matrix; refit it with this version of l1_fit()",
         call. = FALSE)
  x <- object$x[, .l1_keep(object), drop = FALSE]
  r <- unname(object$residuals)
  w <- object$weights
  if (!is.null(w)) {
    use <- w > 0
    x <- x[use, , drop = FALSE] * w[use]
    r <- r[use] * w[use]
  }
  list(x = x, r = r)
}

## The studentized-quantile bandwidth at the median for m residuals, kept inside
## the range of the quantiles.
.l1_bandwidth <- function(m) {
  h <- m^(-1 / 3) * stats::qnorm(0.975)^(2 / 3) * (1.5 * stats::dnorm(0)^2)^(1 / 3)
  min(h, 0.5 - 0.5 / m)
}

## The sparsity estimate s (see the top of this file) and its bandwidth.
.l1_sparsity <- function(object) {
  r <- .l1_scaled(object)$r
  if (anyNA(r)) return(list(sparsity = NA_real_, bandwidth = NA_real_))
  k <- min(sum(.l1_keep(object)), length(r) - 2L)
  if (k > 0L) r <- r[-order(abs(r))[seq_len(k)]]
  m <- length(r)
  if (m < 2L) return(list(sparsity = NA_real_, bandwidth = NA_real_))
  h <- .l1_bandwidth(m)
  q <- stats::quantile(r, c(0.5 - h, 0.5 + h), names = FALSE)
  list(sparsity = (q[2L] - q[1L]) / (2 * h), bandwidth = h)
}

vcov.l1_fit <- function(object, complete = TRUE, ...) {
  complete <- .check_flag(complete, "complete")
  keep <- .l1_keep(object)
  cn <- names(object$coefficients)
  xs <- .l1_scaled(object)$x
  s <- .l1_sparsity(object)$sparsity
  q <- qr(xs)
  v <- matrix(NA_real_, sum(keep), sum(keep))
  if (q$rank == ncol(xs) && is.finite(s)) {
    v[q$pivot, q$pivot] <- chol2inv(qr.R(q))
    v <- (s / 2)^2 * v
  }
  dimnames(v) <- list(cn[keep], cn[keep])
  if (!complete) return(v)
  full <- matrix(NA_real_, length(cn), length(cn), dimnames = list(cn, cn))
  full[keep, keep] <- v
  full
}

nobs.l1_fit <- function(object, ...) {
  if (is.null(object$weights)) length(object$residuals) else sum(object$weights > 0)
}

df.residual.l1_fit <- function(object, ...) nobs(object) - sum(.l1_keep(object))

## Intervals cf +- t * se from t quantiles with df degrees of freedom, for
## the coefficients named or numbered in parm (all when it is missing).
.t_confint <- function(cf, se, parm, level, df) {
  level <- .check_number_in(level, "level", 0, 1, c(TRUE, TRUE))
  pnames <- names(cf)
  if (missing(parm)) parm <- pnames
  else if (is.numeric(parm)) parm <- pnames[parm]
  if (anyNA(match(parm, pnames))) stop("'parm' names no coefficient of the fit", call. = FALSE)
  a <- (1 - level) / 2
  a <- c(a, 1 - a)
  pct <- paste(format(100 * a, trim = TRUE, scientific = FALSE, digits = 3), "%")
  ci <- array(NA_real_, dim = c(length(parm), 2L), dimnames = list(parm, pct))
  ci[] <- cf[parm] + se[parm] %o% stats::qt(a, max(df, 1))
  ci
}

## Intervals from t quantiles with the residual degrees of freedom.
confint.l1_fit <- function(object, parm, level = 0.95, ...) {
  .t_confint(object$coefficients, sqrt(diag(vcov(object))), parm, level,
             df.residual(object))
}

summary.l1_fit <- function(object, ...) {
  keep <- .l1_keep(object)
  est <- object$coefficients[keep]
  se <- sqrt(diag(vcov(object, complete = FALSE)))
  tval <- est / se
  df <- df.residual(object)
  sp <- .l1_sparsity(object)
  coefs <- cbind(Estimate = est, `Std. Error` = se, `t value` = tval,
                 `Pr(>|t|)` = 2 * stats::pt(abs(tval), max(df, 1), lower.tail = FALSE))
  structure(list(call = object$call, coefficients = coefs,
                 aliased = if (is.null(object$aliased)) !keep else object$aliased,
                 residuals = object$residuals, df = c(sum(keep), df),
                 sparsity = sp$sparsity, bandwidth = sp$bandwidth, scale = object$scale,
                 sum_abs = sum(abs(if (is.null(object$weights)) object$residuals
                                   else object$weights * object$residuals)),
                 weighted = !is.null(object$weights),
                 status = object$status),
            class = "summary.l1_fit")
}

print.summary.l1_fit <- function(x, digits = max(3L, getOption("digits") - 3L),
                                 signif.stars = getOption("show.signif.stars"), ...) {
  digits <- .check_digits(digits)
  if (!is.null(x$call))
    cat("\nCall:\n", paste(deparse(x$call), sep = "\n", collapse = "\n"), "\n", sep = "")
  .print_coef_table(x$residuals, x$coefficients, x$aliased, digits, signif.stars,
                    "Coefficients (standard errors from the sparsity at the median):", ...)
  cat(sprintf("\nSum of %sabsolute residuals: %s on %d degrees of freedom\n",
              if (x$weighted) "weighted " else "", format(signif(x$sum_abs, digits)),
              x$df[2L]))
  cat(sprintf("Sparsity 1/f(0): %s (studentized-quantile bandwidth %s)\n",
              format(signif(x$sparsity, digits)), format(signif(x$bandwidth, digits))))
  if (x$status > 1L) cat("The fit has status ", x$status, ": see ?l1_fit.\n", sep = "")
  cat("\n")
  invisible(x)
}

## Prediction intervals add the error of a new case (of weight 1) to the
## uncertainty of the fit: its lower and upper reaches are the residuals'
## empirical quantiles at (1 -/+ level) / 2, combined in quadrature with
## t * se of the fitted value.
predict.l1_fit <- function(object, newdata, se.fit = FALSE,
                           interval = c("none", "confidence", "prediction"),
                           level = 0.95, na.action = stats::na.pass, ...) {
  interval <- .check_choice(interval, c("none", "confidence", "prediction"), "interval")
  se.fit <- .check_flag(se.fit, "se.fit")
  level <- .check_number_in(level, "level", 0, 1, c(TRUE, TRUE))
  keep <- .l1_keep(object)
  beta <- object$coefficients[keep]
  if (missing(newdata) || is.null(newdata)) {
    nd <- FALSE
    x <- object$x
    offset <- object$offset
  } else if (!is.null(object$terms)) {
    nd <- TRUE
    d <- .newdata_design(object, newdata, na.action)
    x <- d$x
    offset <- d$offset
  } else {
    nd <- TRUE
    x <- .l1_as_design(newdata, "newdata")
    p0 <- ncol(object$x) - ("(Intercept)" %in% colnames(object$x))
    if (ncol(x) != p0)
      stop(sprintf("'newdata' must have %d column(s), one per column of 'x'", p0),
           call. = FALSE)
    if ("(Intercept)" %in% colnames(object$x)) x <- cbind(1, x)
    offset <- NULL
  }
  x <- x[, keep, drop = FALSE]
  fit <- drop(x %*% beta)
  if (!is.null(offset)) fit <- fit + offset
  pad <- if (nd) identity else function(v) stats::napredict(object$na.action, v)
  if (!se.fit && interval == "none") return(pad(fit))
  v <- vcov(object, complete = FALSE)
  se <- sqrt(rowSums((x %*% v) * x))
  df <- df.residual(object)
  if (interval != "none") {
    tq <- stats::qt((1 + level) / 2, max(df, 1))
    if (interval == "confidence") {
      lo <- hi <- tq * se
    } else {
      r <- .l1_scaled(object)$r
      qr <- if (anyNA(r)) c(NA_real_, NA_real_)
            else stats::quantile(r, c((1 - level) / 2, (1 + level) / 2), names = FALSE)
      lo <- sqrt((tq * se)^2 + min(qr[1L], 0)^2)
      hi <- sqrt((tq * se)^2 + max(qr[2L], 0)^2)
    }
    fit <- cbind(fit = fit, lwr = fit - lo, upr = fit + hi)
  }
  if (se.fit) list(fit = pad(fit), se.fit = pad(se), df = df, residual.scale = object$scale)
  else pad(fit)
}
