## Methods of the fitted robust regression (class "lmrob").

.method_label <- function(object) {
  init <- object$init$method
  if (object$exact_fit) return(sprintf("%s (exact fit, no MM step)", init))
  if (object$method == "MM") sprintf("MM, started from %s", init)
  else if (object$method == "SMDM")
    sprintf("SMDM (MM started from %s, D-scale, final M-step)", init)
  else init
}

print.lmrob <- function(x, digits = max(3L, getOption("digits") - 3L), ...) {
  digits <- .check_digits(digits)
  cat("\nCall:\n", paste(deparse(x$call), sep = "\n", collapse = "\n"), "\n", sep = "")
  cat(sprintf(" \\--> method: %s; psi: %s\n", .method_label(x), x$psi))
  cat("\nCoefficients:\n")
  print.default(format(coef(x), digits = digits), print.gap = 2L, quote = FALSE)
  if (any(x$aliased))
    cat(sprintf("(%d not defined because of aliased design columns)\n", sum(x$aliased)))
  cat(sprintf("\nRobust residual scale: %s\n", format(signif(x$scale, digits))))
  if (!x$converged) cat("Note: not every stage of the fit converged (see summary()).\n")
  cat("\n")
  invisible(x)
}

## The covariance of the kept coefficients of the given type: "asymptotic"
## (sigma^2 times the plug-in ratio mean psi^2 / (mean psi')^2 times the
## inverse weighted cross-product) or "weighted" (sigma^2 gamma (X'WX)^{-1}
## with the normal-model constant gamma); NULL is the type of the fit.
.fit_cov <- function(object, type = NULL) {
  if (is.null(type)) return(object$cov)
  type <- .check_choice(type, c("asymptotic", "weighted"), "type")
  if (is.null(object$covs)) {
    if (type != "asymptotic")
      stop("this fit holds the asymptotic covariance only (refit it)", call. = FALSE)
    return(object$cov)
  }
  object$covs[[type]]
}

.cov_type <- function(object, type = NULL) {
  if (is.null(type)) object$cov_type %||% "asymptotic"
  else .check_choice(type, c("asymptotic", "weighted"), "type")
}

vcov.lmrob <- function(object, complete = TRUE, type = NULL, ...) {
  complete <- .check_flag(complete, "complete")
  cov <- .fit_cov(object, type)
  cn <- names(object$coefficients)
  if (!complete) return(cov)
  v <- matrix(NA_real_, length(cn), length(cn), dimnames = list(cn, cn))
  keep <- !object$aliased
  v[keep, keep] <- cov
  v
}

## Both kinds of weight are padded with NA for the cases that na.exclude
## left out, as lm's weights() are.
weights.lmrob <- function(object, type = c("robustness", "prior"), ...) {
  type <- .check_choice(type, c("robustness", "prior"), "type")
  w <- if (type == "prior") object$weights else object$rweights
  if (is.null(w)) NULL else stats::naresid(object$na.action, w)
}

residuals.lmrob <- function(object, type = c("working", "response", "deviance", "pearson"),
                            ...) {
  .fit_residuals(object, object$residuals, type, object$weights)
}

## The robust residual scale.
sigma.lmrob <- function(object, ...) object$scale

model.frame.lmrob <- function(formula, ...) .fit_model_frame(formula, ...)

nobs.lmrob <- function(object, ...) {
  if (is.null(object$weights)) length(object$residuals) else sum(object$weights > 0)
}

model.matrix.lmrob <- function(object, ...) .fit_model_matrix(object, ...)

df.residual.lmrob <- function(object, ...) object$df.residual

## Observations whose robustness weight is below 'eps' (the control value
## eps_outlier by default).
.downweighted <- function(object, eps = object$control$eps_outlier) {
  which(!is.na(object$rweights) & object$rweights < eps)
}

summary.lmrob <- function(object, cov_type = NULL, ...) {
  cov <- .fit_cov(object, cov_type)
  cov_type <- .cov_type(object, cov_type)
  object$cov <- cov
  est <- object$coefficients[!object$aliased]
  se <- sqrt(diag(cov))
  tval <- est / se
  df <- object$df.residual
  coefs <- cbind(Estimate = est, `Std. Error` = se, `t value` = tval,
                 `Pr(>|t|)` = 2 * stats::pt(abs(tval), df, lower.tail = FALSE))
  low <- .downweighted(object)
  structure(list(call = object$call, method = .method_label(object), psi = object$psi,
                 tuning = object$tuning, residuals = object$residuals,
                 coefficients = coefs, aliased = object$aliased, sigma = object$scale,
                 df = c(object$rank, df), r.squared = object$r.squared,
                 adj.r.squared = object$adj.r.squared, cov = cov, cov_type = cov_type,
                 status = object$status, converged = object$converged,
                 exact_fit = object$exact_fit, rweights = object$rweights,
                 downweighted = low, n_rejected = sum(object$rweights == 0, na.rm = TRUE),
                 eps_outlier = object$control$eps_outlier,
                 wald = .overall_wald(object)),
            class = "summary.lmrob")
}

.stage_line <- function(name, s) {
  if (is.null(s)) return(NULL)
  state <- if (!isTRUE(s$converged)) "did NOT converge"
           else if (isFALSE(s$settled)) "ended after steps without improvement"
           else "converged"
  sprintf("%s %s%s", name, state,
          if (!is.null(s$iterations)) sprintf(" (%d iterations)", as.integer(s$iterations))
          else "")
}

## The residual quartiles and the coefficient table of a summary, with NA
## rows for aliased columns.
.print_coef_table <- function(r, cf, aliased, digits, signif.stars, heading, ...) {
  cat("\nResiduals:\n")
  if (length(r) > 5L) {
    q <- stats::quantile(r, names = FALSE, na.rm = TRUE)
    print(structure(q, names = c("Min", "1Q", "Median", "3Q", "Max")), digits = digits)
  } else print(r, digits = digits)
  cat("\n", heading, sep = "")
  if (any(aliased))
    cat(sprintf(" (%d not defined because of aliased design columns)", sum(aliased)))
  cat("\n")
  if (any(aliased)) {
    full <- matrix(NA_real_, length(aliased), 4L,
                   dimnames = list(names(aliased), colnames(cf)))
    full[!aliased, ] <- cf
    cf <- full
  }
  stats::printCoefmat(cf, digits = digits, signif.stars = signif.stars,
                      na.print = "NA", ...)
}

print.summary.lmrob <- function(x, digits = max(3L, getOption("digits") - 3L),
                                signif.stars = getOption("show.signif.stars"), ...) {
  digits <- .check_digits(digits)
  cat("\nCall:\n", paste(deparse(x$call), sep = "\n", collapse = "\n"), "\n", sep = "")
  cat(sprintf(" \\--> method: %s; psi: %s (constants %s)\n", x$method, x$psi,
              paste(format(x$tuning, digits = 6), collapse = ", ")))
  .print_coef_table(x$residuals, x$coefficients, x$aliased, digits, signif.stars,
                    "Coefficients:", ...)
  cat(sprintf("\nRobust residual scale: %s on %d degrees of freedom\n",
              format(signif(x$sigma, digits)), x$df[2L]))
  if (!is.null(x$cov_type))
    cat(sprintf("Standard errors: %s covariance\n", x$cov_type))
  if (x$exact_fit) cat("Exact fit: the scale is 0, standard errors are not defined.\n")
  cat(sprintf("Robust R-squared: %s,\tAdjusted robust R-squared: %s\n",
              formatC(x$r.squared, digits = digits), formatC(x$adj.r.squared, digits = digits)))
  if (!is.null(x$wald))
    cat(sprintf("Robust Wald test: %s on %d DF, F form %s on %d and %d DF,  p-value: %s\n",
                formatC(x$wald[["value"]], digits = digits), as.integer(x$wald[["numdf"]]),
                formatC(x$wald[["value"]] / x$wald[["numdf"]], digits = digits),
                as.integer(x$wald[["numdf"]]), as.integer(x$wald[["dendf"]]),
                format.pval(stats::pchisq(x$wald[["value"]], x$wald[["numdf"]],
                                          lower.tail = FALSE), digits = digits)))
  cat("Convergence:", paste(c(.stage_line(x$status$init$method %||% "initial estimate",
                                          x$status$init),
                              .stage_line("MM", x$status$MM),
                              .stage_line("D-scale", x$status$D),
                              .stage_line("final M-step", x$status$SMDM)),
                            collapse = "; "), "\n")
  nd <- length(x$downweighted)
  cat(sprintf("Robustness weights: %d observation(s) with weight < %g, %d of them with weight 0",
              nd, x$eps_outlier, x$n_rejected))
  if (nd) {
    lab <- names(x$rweights)[x$downweighted]
    if (is.null(lab)) lab <- x$downweighted
    cat(":\n ", paste(utils::head(lab, 30L), collapse = " "), if (nd > 30L) "...")
  }
  cat("\n")
  rest <- x$rweights[!is.na(x$rweights) & x$rweights >= x$eps_outlier]
  if (length(rest) > 5L) {
    cat("Weights of the other observations:\n")
    print(summary(rest, digits = digits))
  }
  cat("\n")
  invisible(x)
}

`%||%` <- function(a, b) if (is.null(a)) b else a

## Confidence intervals from t quantiles with the residual degrees of freedom.
confint.lmrob <- function(object, parm, level = 0.95, cov_type = NULL, ...) {
  level <- .check_number_in(level, "level", 0, 1, c(TRUE, TRUE))
  cf <- object$coefficients
  pnames <- names(cf)
  if (missing(parm)) parm <- pnames
  else if (is.numeric(parm)) parm <- pnames[parm]
  a <- (1 - level) / 2
  a <- c(a, 1 - a)
  fac <- stats::qt(a, object$df.residual)
  pct <- paste(format(100 * a, trim = TRUE, scientific = FALSE, digits = 3), "%")
  ci <- array(NA_real_, dim = c(length(parm), 2L), dimnames = list(parm, pct))
  ses <- sqrt(diag(vcov(object, type = cov_type)))[parm]
  ci[] <- cf[parm] + ses %o% fac
  ci
}

predict.lmrob <- function(object, newdata, se.fit = FALSE,
                          interval = c("none", "confidence", "prediction"),
                          level = 0.95, type = c("response", "terms"), terms = NULL,
                          na.action = stats::na.pass, cov_type = NULL, ...) {
  interval <- .check_choice(interval, c("none", "confidence", "prediction"), "interval")
  cov <- .fit_cov(object, cov_type)
  type <- .check_choice(type, c("response", "terms"), "type")
  se.fit <- .check_flag(se.fit, "se.fit")
  level <- .check_number_in(level, "level", 0, 1, c(TRUE, TRUE))
  keep <- !object$aliased
  nd <- if (missing(newdata)) NULL else newdata
  if (is.null(nd)) {
    x <- model.matrix.lmrob(object)
    offset <- object$offset
  } else {
    d <- .newdata_design(object, newdata, na.action)
    x <- d$x
    offset <- d$offset
  }
  pad <- if (is.null(nd)) function(v) stats::napredict(object$na.action, v)
         else identity
  if (type == "terms") {
    if (se.fit || interval != "none")
      stop("type = \"terms\" gives the terms only (no 'se.fit' or 'interval')",
           call. = FALSE)
    return(pad(.predict_terms(object, x, model.matrix.lmrob(object),
                              object$coefficients, terms)))
  }
  beta <- object$coefficients[keep]
  x <- x[, keep, drop = FALSE]
  fit <- drop(x %*% beta)
  if (!is.null(offset)) fit <- fit + offset
  if (!se.fit && interval == "none") return(pad(fit))
  se <- sqrt(rowSums((x %*% cov) * x))
  if (interval != "none") {
    tq <- stats::qt((1 + level) / 2, object$df.residual)
    w <- if (interval == "confidence") se else sqrt(se^2 + object$scale^2)
    fit <- cbind(fit = fit, lwr = fit - tq * w, upr = fit + tq * w)
  }
  if (se.fit) list(fit = pad(fit), se.fit = pad(se), df = object$df.residual,
                   residual.scale = object$scale)
  else pad(fit)
}
