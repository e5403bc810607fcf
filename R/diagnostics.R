## Regression diagnostics of the robust fits: leverages and standardised
## residuals of lmrob, robust distances of the design, and the classification
## of outliers that the plot of residuals against robust distances shows.

## Cut-off of the standardised residuals in the diagnostic plots and in the
## reweighting of lts().
.residual_cutoff <- 2.5

## Design columns of an lmrob fit that were estimated, with the product of
## the prior and the robustness weights (0 where either is 0 or missing).
.lmrob_weighted_design <- function(model) {
  x <- model$x[, !model$aliased, drop = FALSE]
  w <- model$rweights
  if (!is.null(model$weights)) w <- w * model$weights
  w[is.na(w)] <- 0
  list(x = x, w = w)
}

## h_i = w_i x_i' (X' W X)^{-1} x_i, the diagonal of the hat matrix of the
## weighted least-squares problem that the estimate solves at convergence
## (one value per row of the fitted data).
.lmrob_hat <- function(model) {
  d <- .lmrob_weighted_design(model)
  qx <- qr(d$x * sqrt(d$w))
  h <- if (qx$rank < ncol(d$x)) rep(NA_real_, nrow(d$x)) else rowSums(qr.Q(qx)^2)
  names(h) <- names(model$residuals)
  h
}

## Cases left out through na.exclude get leverage 0, as with lm().
hatvalues.lmrob <- function(model, ...) {
  h <- stats::naresid(model$na.action, .lmrob_hat(model))
  h[is.na(h) & !(names(h) %in% names(model$residuals))] <- 0
  h
}

## Residuals (times the square roots of the prior weights) over the robust
## scale and sqrt(1 - h); after an exact fit (scale 0), 0 on the plane and
## +-Inf off it.
.lmrob_rstandard <- function(model) {
  r <- model$residuals
  if (!is.null(model$weights)) r <- r * sqrt(model$weights)
  if (!(model$scale > 0)) {
    r[] <- ifelse(model$rweights %in% 0, sign(r) * Inf, 0)
    return(r)
  }
  r / (model$scale * sqrt(1 - .lmrob_hat(model)))
}

rstandard.lmrob <- function(model, ...) stats::naresid(model$na.action, .lmrob_rstandard(model))

robust_distances <- function(object, ...) UseMethod("robust_distances")

## The distances are those of the reweighted MCD of the non-constant design
## columns, under the fit's seed (or 1); NA where they cannot be computed.
.distances_of_design <- function(x, seed) {
  x <- x[, apply(x, 2L, function(v) stats::var(v) > 0), drop = FALSE]
  if (ncol(x) > 0L && nrow(x) > 2L * ncol(x)) {
    d <- tryCatch(suppressWarnings(.mcd_distances(x, seed)), error = function(e) NULL)
    if (!is.null(d) && all(is.finite(d)))
      return(structure(d, cutoff = sqrt(stats::qchisq(0.975, ncol(x)))))
  }
  structure(rep(NA_real_, nrow(x)), cutoff = NA_real_)
}

robust_distances.lmrob <- function(object, ...) {
  rd <- .design_distances(object)
  n <- length(object$residuals)
  d <- if (is.null(rd)) structure(rep(NA_real_, n), cutoff = NA_real_)
       else structure(rd$distance, cutoff = sqrt(stats::qchisq(0.975, rd$df)))
  names(d) <- names(object$residuals)
  d
}

## lts() fits keep their design in 'x' (the intercept column included).
robust_distances.lts <- function(object, x = object[["x"]], ...) {
  if (is.null(x))
    stop("the fit holds no design; pass the matrix of explanatory variables as 'x'",
         call. = FALSE)
  x <- as.matrix(x)
  if (!is.numeric(x) || nrow(x) != object$n)
    stop(sprintf("'x' must be a numeric matrix with %d rows", object$n), call. = FALSE)
  d <- .distances_of_design(x, if (is.null(object$seed)) 1L else object$seed)
  names(d) <- .lts_labels(object, x)
  d
}

## Row labels of an lts fit: the names of the response, else the row names
## of the design.
.lts_labels <- function(object, x = object[["x"]]) {
  lab <- names(object$residuals)
  if (is.null(lab)) lab <- rownames(x)
  if (is.null(lab)) as.character(seq_len(object$n)) else lab
}

robust_distances.mcd <- function(object, ...) {
  structure(sqrt(object$mah), cutoff = sqrt(object$settings$cutoff))
}

outliers <- function(object, ...) UseMethod("outliers")

.outlier_kinds <- c("vertical outlier", "bad leverage point", "good leverage point")

## Classifies by the standardised residual sr (cut-off 2.5) and the robust
## distance d (cut-off dcut): large residual and small distance, vertical
## outlier; both large, bad leverage point; large distance only, good
## leverage point.  Missing distances count as small.
.classify <- function(sr, d, dcut, labels, what) {
  big_r <- !is.na(sr) & abs(sr) > .residual_cutoff
  big_d <- if (is.na(dcut)) rep(FALSE, length(sr)) else !is.na(d) & d > dcut
  kind <- ifelse(big_r, ifelse(big_d, 2L, 1L), ifelse(big_d, 3L, NA_integer_))
  i <- which(!is.na(kind))
  structure(data.frame(row = labels[i], index = i,
                       kind = factor(.outlier_kinds[kind[i]], levels = .outlier_kinds),
                       std.residual = unname(sr[i]), distance = unname(d[i]),
                       stringsAsFactors = FALSE, row.names = NULL),
            class = c("kelvara_outliers", "data.frame"), what = what, n = length(sr),
            cutoffs = c(residual = .residual_cutoff, distance = dcut))
}

.row_labels <- function(v) {
  lab <- names(v)
  if (is.null(lab)) as.character(seq_along(v)) else lab
}

## Residuals over the robust scale, as the diagnostic plot shows them; after
## an exact fit (scale 0), Inf off the plane and 0 on it.
.lmrob_scaled_residuals <- function(object) {
  r <- object$residuals
  if (object$scale > 0) r / object$scale else ifelse(object$rweights %in% 0, Inf, 0)
}

outliers.lmrob <- function(object, ...) {
  d <- robust_distances(object)
  .classify(.lmrob_scaled_residuals(object), d, attr(d, "cutoff"),
            .row_labels(object$residuals), "lmrob")
}

outliers.lts <- function(object, x = object[["x"]], ...) {
  r <- object$residuals
  sr <- if (object$scale > 0) r / object$scale else ifelse(object$outlier, Inf, 0)
  d <- robust_distances.lts(object, x)
  .classify(sr, d, attr(d, "cutoff"), names(d), "lts")
}

outliers.mcd <- function(object, ...) {
  d <- sqrt(object$mah)
  i <- which(object$weights == 0L)
  lab <- .row_labels(object$weights)
  structure(data.frame(row = lab[i], index = i,
                       kind = factor(rep("outlying case", length(i))),
                       distance = unname(d[i]), stringsAsFactors = FALSE,
                       row.names = NULL),
            class = c("kelvara_outliers", "data.frame"), what = "mcd", n = object$n,
            cutoffs = c(distance = sqrt(object$settings$cutoff)))
}

print.kelvara_outliers <- function(x, digits = max(3L, getOption("digits") - 3L), ...) {
  digits <- .check_digits(digits)
  cut <- attr(x, "cutoffs")
  what <- attr(x, "what")
  cat(sprintf("Outliers of the %s fit: %d of %d cases flagged\n", what, nrow(x),
              attr(x, "n")))
  if (what == "mcd") {
    cat(sprintf("(robust distance > %s, the root of the chi-squared 0.975 quantile)\n",
                format(cut[["distance"]], digits = digits)))
  } else {
    cat(sprintf("(|residual / scale| > %g; robust distance of the design > %s)\n",
                cut[["residual"]],
                if (is.na(cut[["distance"]])) "not available"
                else format(cut[["distance"]], digits = digits)))
    counts <- table(x$kind)
    cat(paste(sprintf("%s: %d", names(counts), counts), collapse = "; "), "\n")
  }
  if (nrow(x)) {
    y <- as.data.frame(unclass(x), stringsAsFactors = FALSE)
    rownames(y) <- NULL
    print(y, digits = digits, row.names = FALSE)
  }
  invisible(x)
}
