## Tidy summaries of the fits, for the generics package's tidy(), glance()
## and augment() (registered when generics is loaded; nothing here needs it).
## Column names follow the conventions of those generics; the results are
## plain data frames.

.check_conf <- function(conf.int, conf.level) {
  list(conf.int = .check_flag(conf.int, "conf.int"),
       conf.level = .check_number_in(conf.level, "conf.level", 0, 1, c(TRUE, TRUE)))
}

## The coefficient table as a data frame: term, estimate, std.error,
## statistic, p.value (from the four columns of a summary table).
.coef_frame <- function(cf) {
  data.frame(term = rownames(cf), estimate = unname(cf[, 1L]),
             std.error = unname(cf[, 2L]), statistic = unname(cf[, 3L]),
             p.value = unname(cf[, 4L]), stringsAsFactors = FALSE, row.names = NULL)
}

## Binds the columns of one value per fitted row to 'data': directly when
## the rows match, with NA in the rows that the NA handling dropped when the
## data hold those too, else an error.  Without data, the columns alone.
.augment_bind <- function(data, cols, na.action = NULL) {
  n <- length(cols[[1L]])
  cols <- as.data.frame(cols, stringsAsFactors = FALSE)
  if (is.null(data)) return(cols)
  data <- as.data.frame(data, stringsAsFactors = FALSE)
  if (nrow(data) != n) {
    if (!is.null(na.action) && nrow(data) == n + length(na.action)) {
      kept <- seq_len(nrow(data))[-as.integer(na.action)]
      cols <- as.data.frame(lapply(cols, function(v) {
        out <- v[rep(NA_integer_, nrow(data))]
        out[kept] <- v
        out
      }))
    } else {
      stop(sprintf("'data' has %d rows but the fit has %d observations", nrow(data), n),
           call. = FALSE)
    }
  }
  rownames(cols) <- NULL
  out <- cbind(data, cols)
  rownames(out) <- rownames(data)
  out
}

## --- lmrob ---------------------------------------------------------------

tidy.lmrob <- function(x, conf.int = FALSE, conf.level = 0.95, ...) {
  a <- .check_conf(conf.int, conf.level)
  out <- .coef_frame(summary(x)$coefficients)
  if (a$conf.int) {
    ci <- confint(x, parm = out$term, level = a$conf.level)
    out$conf.low <- unname(ci[, 1L])
    out$conf.high <- unname(ci[, 2L])
  }
  out
}

glance.lmrob <- function(x, ...) {
  data.frame(r.squared = x$r.squared, adj.r.squared = x$adj.r.squared, sigma = x$scale,
             df = x$rank, df.residual = x$df.residual, nobs = stats::nobs(x),
             n.downweighted = length(.downweighted(x)), converged = x$converged,
             method = .method_label(x), psi = x$psi, stringsAsFactors = FALSE)
}

## .outlier: a standardised residual beyond 2.5 (a vertical outlier or a bad
## leverage point in outliers()).
augment.lmrob <- function(x, data = x$model, newdata = NULL, ...) {
  if (!is.null(newdata)) {
    newdata <- as.data.frame(newdata)
    out <- newdata
    out$.fitted <- unname(predict(x, newdata, na.action = stats::na.pass))
    yname <- all.vars(x$terms)[attr(x$terms, "response")]
    if (length(yname) && yname %in% names(newdata)) {
      y <- eval(x$terms[[2L]], newdata, environment(x$terms))
      out$.resid <- y - out$.fitted
    }
    return(out)
  }
  sr <- .lmrob_scaled_residuals(x)
  cols <- list(.fitted = unname(x$fitted.values), .resid = unname(x$residuals),
               .hat = unname(.lmrob_hat(x)), .std.resid = unname(.lmrob_rstandard(x)),
               .weight = unname(x$rweights),
               .outlier = unname(!is.na(x$rweights) & abs(sr) > .residual_cutoff))
  .augment_bind(data, cols, x$na.action)
}

## --- lts -----------------------------------------------------------------

## The reweighted least-squares fit carries the standard errors (given the
## cases it keeps); the raw LTS coefficients have none.
tidy.lts <- function(x, which = c("reweighted", "lts"), conf.int = FALSE,
                     conf.level = 0.95, ...) {
  which <- .check_choice(which, c("reweighted", "lts"), "which")
  a <- .check_conf(conf.int, conf.level)
  s <- summary(x)
  cf <- s$coefficients
  out <- .coef_frame(cf[, c("Reweighted", "Std. Error", "t value", "Pr(>|t|)"),
                        drop = FALSE])
  if (which == "lts") {
    out$estimate <- unname(cf[, "LTS"])
    out$std.error <- out$statistic <- out$p.value <- NA_real_
  }
  if (a$conf.int) {
    tq <- stats::qt((1 + a$conf.level) / 2, max(s$df, 1))
    out$conf.low <- out$estimate - tq * out$std.error
    out$conf.high <- out$estimate + tq * out$std.error
  }
  out
}

glance.lts <- function(x, ...) {
  data.frame(sigma = x$reweighted$scale, lts.scale = x$scale, h = x$h, alpha = x$alpha,
             df = x$p, df.residual = sum(x$weights) - x$p, nobs = x$n,
             n.outliers = sum(x$outlier), crit = x$crit, exact.fit = x$exact_fit)
}

## .std.resid and .outlier always refer to the raw LTS fit, whose scale
## decides the reweighting; .weight is the 0/1 weight of that reweighting.
augment.lts <- function(x, data = NULL, which = c("reweighted", "lts"), ...) {
  which <- .check_choice(which, c("reweighted", "lts"), "which")
  r <- if (which == "lts") x$residuals else x$reweighted$residuals
  f <- if (which == "lts") x$fitted.values else x$reweighted$fitted.values
  cols <- list(.fitted = unname(f), .resid = unname(r),
               .std.resid = unname(if (x$scale > 0) x$residuals / x$scale
                                   else ifelse(x$outlier, Inf, 0)),
               .weight = unname(x$weights), .outlier = unname(x$outlier))
  .augment_bind(data, cols, x$na.action)
}

## --- l1_fit --------------------------------------------------------------

## Standard errors come from the fit's summary() when it gives a table of
## estimates, standard errors, statistics and p-values; otherwise they are NA.
tidy.l1_fit <- function(x, conf.int = FALSE, conf.level = 0.95, ...) {
  a <- .check_conf(conf.int, conf.level)
  s <- tryCatch(summary(x), error = function(e) NULL)
  cf <- if (is.list(s) && is.matrix(s$coefficients) && ncol(s$coefficients) >= 4L)
    s$coefficients
  b <- coef(x)
  out <- if (!is.null(cf)) .coef_frame(cf)
         else data.frame(term = names(b), estimate = unname(b), std.error = NA_real_,
                         statistic = NA_real_, p.value = NA_real_,
                         stringsAsFactors = FALSE)
  if (a$conf.int) {
    ci <- if (!is.null(cf))
      tryCatch(confint(x, level = a$conf.level), error = function(e) NULL)
    out$conf.low <- if (is.null(ci)) NA_real_ else unname(ci[out$term, 1L])
    out$conf.high <- if (is.null(ci)) NA_real_ else unname(ci[out$term, 2L])
  }
  out
}

glance.l1_fit <- function(x, ...) {
  n <- stats::nobs(x)
  p <- sum(!is.na(x$coefficients))
  data.frame(sigma = x$scale, sum.abs.resid = sum(abs(x$residuals)), df = p,
             df.residual = n - p, nobs = n, status = x$status)
}

augment.l1_fit <- function(x, data = x[["model"]], ...) {
  .augment_bind(data, list(.fitted = unname(x$fitted.values), .resid = unname(x$residuals)),
                x[["na.action"]])
}

## --- mcd -----------------------------------------------------------------

## One row per variable: the reweighted center and standard deviation, and
## those of the raw MCD.
tidy.mcd <- function(x, ...) {
  data.frame(term = if (is.null(names(x$center))) paste0("V", seq_len(x$p))
                    else names(x$center),
             estimate = unname(x$center), std.dev = sqrt(unname(diag(x$cov))),
             raw.estimate = unname(x$raw_center), raw.std.dev = sqrt(unname(diag(x$raw_cov))),
             stringsAsFactors = FALSE)
}

glance.mcd <- function(x, ...) {
  data.frame(nobs = x$n, p = x$p, h = x$h, alpha = x$settings$alpha,
             raw.det = x$raw_det, n.outliers = sum(x$weights == 0L),
             cutoff = sqrt(x$settings$cutoff), exact.fit = x$exact_fit != 0L)
}

augment.mcd <- function(x, data = NULL, ...) {
  .augment_bind(data, list(.distance = unname(sqrt(x$mah)), .weight = unname(x$weights),
                           .outlier = unname(x$weights == 0L)))
}
