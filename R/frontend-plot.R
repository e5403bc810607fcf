## Diagnostic plots of the robust regression.

## Robust distances of the rows of the design (without the intercept and
## constant columns) by the MCD; NULL when they cannot be computed.
.design_distances <- function(object) {
  x <- model.matrix.lmrob(object)[, !object$aliased, drop = FALSE]
  keep <- apply(x, 2L, function(v) stats::var(v) > 0)
  x <- x[, keep, drop = FALSE]
  use <- !is.na(object$rweights)
  x <- x[use, , drop = FALSE]
  if (ncol(x) == 0L || nrow(x) <= 2L * ncol(x)) return(NULL)
  d <- tryCatch(suppressWarnings(.mcd_distances(x, object$control$seed)),
                error = function(e) NULL)
  if (is.null(d) || any(!is.finite(d))) return(NULL)
  out <- rep(NA_real_, length(use))
  out[use] <- d
  list(distance = out, df = ncol(x))
}

plot.lmrob <- function(x, which = 1:4, ask = prod(graphics::par("mfcol")) < length(which) &&
                         grDevices::dev.interactive(), id.n = 3L, ...) {
  if (!is.numeric(which) || any(!(which %in% 1:4)))
    stop("'which' must be a subset of 1:4", call. = FALSE)
  id.n <- .check_count(id.n, "id.n", 0L)
  if (ask) {
    old <- grDevices::devAskNewPage(TRUE)
    on.exit(grDevices::devAskNewPage(old))
  }
  s <- if (x$scale > 0) x$scale else 1
  r <- x$residuals
  sr <- r / s
  f <- x$fitted.values
  lab <- names(r)
  if (is.null(lab)) lab <- as.character(seq_along(r))
  label_extremes <- function(px, py, score) {
    if (id.n <= 0L) return(invisible())
    i <- utils::head(order(score, decreasing = TRUE, na.last = NA), id.n)
    graphics::text(px[i], py[i], lab[i], pos = 4L, cex = 0.75, xpd = NA)
  }
  cut <- 2.5
  if (1L %in% which) {
    graphics::plot(f, r, xlab = "Fitted values", ylab = "Residuals",
                   main = "Residuals vs fitted", ...)
    graphics::abline(h = c(-cut, 0, cut) * s, lty = c(2L, 3L, 2L), col = "gray40")
    label_extremes(f, r, abs(sr))
  }
  if (2L %in% which) {
    q <- stats::qqnorm(sr, main = "Normal Q-Q of standardized residuals",
                       ylab = "Residuals / scale", ...)
    stats::qqline(sr, lty = 3L, col = "gray40")
    label_extremes(q$x, q$y, abs(sr))
  }
  if (3L %in% which) {
    w <- x$rweights
    graphics::plot(seq_along(w), w, ylim = c(0, 1), xlab = "Index",
                   ylab = "Robustness weight", main = "Robustness weights", ...)
    graphics::abline(h = x$control$eps_outlier, lty = 2L, col = "gray40")
    label_extremes(seq_along(w), w, -w)
  }
  if (4L %in% which) {
    rd <- .design_distances(x)
    if (is.null(rd)) {
      graphics::plot.new()
      graphics::title(main = "Standardized residuals vs robust distances")
      graphics::text(0.5, 0.5, "robust distances of the design are not available\n(no non-constant columns, too few observations, or a singular MCD)")
    } else {
      d <- rd$distance
      graphics::plot(d, sr, xlab = "Robust distance of the design (MCD)",
                     ylab = "Residuals / scale",
                     main = "Standardized residuals vs robust distances", ...)
      graphics::abline(h = c(-cut, cut), v = sqrt(stats::qchisq(0.975, rd$df)),
                       lty = 2L, col = "gray40")
      ## The most extreme in either direction: vertical outliers and
      ## leverage points.
      i <- union(utils::head(order(abs(sr), decreasing = TRUE), id.n),
                 utils::head(order(d, decreasing = TRUE), id.n))
      if (id.n > 0L)
        graphics::text(d[i], sr[i], lab[i], pos = 4L, cex = 0.75, xpd = NA)
    }
  }
  invisible(x)
}
