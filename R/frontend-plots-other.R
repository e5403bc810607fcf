## Plots of the MCD and LTS fits.

## Classical distances for the distance-distance plot: from the given data,
## else those kept in the fit.
.mcd_plot_classical <- function(object, data) {
  if (is.null(data)) {
    md <- object$mah_classical
    if (is.null(md))
      stop("the fit holds no classical distances; pass its data as 'data'", call. = FALSE)
  } else {
    data <- as.matrix(data)
    if (!is.numeric(data) || nrow(data) != object$n || ncol(data) != object$p)
      stop(sprintf("'data' must be the %d x %d numeric data of the fit", object$n,
                   object$p), call. = FALSE)
    md <- tryCatch(stats::mahalanobis(data, colMeans(data), stats::cov(data)),
                   error = function(e) rep(NA_real_, nrow(data)))
  }
  if (all(is.na(md)))
    stop("no classical distances: the sample covariance matrix is singular", call. = FALSE)
  sqrt(md)
}

plot.mcd <- function(x, which = c("dd", "index"), data = NULL,
                     ask = length(which) > prod(graphics::par("mfcol")) &&
                       grDevices::dev.interactive(), id.n = 3L, ...) {
  which <- .check_choice(which, c("dd", "index"), "which", several = TRUE)
  id.n <- .check_count(id.n, "id.n", 0L)
  if (x$exact_fit != 0L)
    stop("no robust distances: the MCD found an exact fit (see print())", call. = FALSE)
  if (ask) {
    old <- grDevices::devAskNewPage(TRUE)
    on.exit(grDevices::devAskNewPage(old))
  }
  rd <- sqrt(x$mah)
  cut <- sqrt(x$settings$cutoff)
  lab <- names(rd)
  if (is.null(lab)) lab <- as.character(seq_along(rd))
  mark <- function(px, py) {
    if (id.n <= 0L) return(invisible())
    i <- utils::head(order(rd, decreasing = TRUE), id.n)
    graphics::text(px[i], py[i], lab[i], pos = 4L, cex = 0.75, xpd = NA)
  }
  if ("dd" %in% which) {
    md <- .mcd_plot_classical(x, data)
    graphics::plot(md, rd, xlab = "Mahalanobis distance (classical)",
                   ylab = "Robust distance (MCD)", main = "Distance-distance plot", ...)
    graphics::abline(0, 1, lty = 3L, col = "gray40")
    graphics::abline(h = cut, v = cut, lty = 2L, col = "gray40")
    mark(md, rd)
  }
  if ("index" %in% which) {
    graphics::plot(seq_along(rd), rd, xlab = "Index", ylab = "Robust distance (MCD)",
                   main = "Robust distances", ...)
    graphics::abline(h = cut, lty = 2L, col = "gray40")
    mark(seq_along(rd), rd)
  }
  invisible(x)
}

plot.lts <- function(x, which = c("index", "qq"),
                     ask = length(which) > prod(graphics::par("mfcol")) &&
                       grDevices::dev.interactive(), id.n = 3L, ...) {
  which <- .check_choice(which, c("index", "qq"), "which", several = TRUE)
  id.n <- .check_count(id.n, "id.n", 0L)
  if (ask) {
    old <- grDevices::devAskNewPage(TRUE)
    on.exit(grDevices::devAskNewPage(old))
  }
  s <- if (isTRUE(x$scale > 0)) x$scale else 1
  sr <- x$residuals / s
  lab <- names(sr)
  if (is.null(lab)) lab <- as.character(seq_along(sr))
  mark <- function(px, py) {
    if (id.n <= 0L) return(invisible())
    i <- utils::head(order(abs(sr), decreasing = TRUE), id.n)
    graphics::text(px[i], py[i], lab[i], pos = 4L, cex = 0.75, xpd = NA)
  }
  if ("index" %in% which) {
    graphics::plot(seq_along(sr), sr, xlab = "Index", ylab = "Residuals / LTS scale",
                   main = "LTS standardized residuals", ...)
    graphics::abline(h = c(-2.5, 0, 2.5), lty = c(2L, 3L, 2L), col = "gray40")
    mark(seq_along(sr), sr)
  }
  if ("qq" %in% which) {
    q <- stats::qqnorm(sr, main = "Normal Q-Q of LTS standardized residuals", ...)
    stats::qqline(sr, lty = 3L, col = "gray40")
    mark(q$x, q$y)
  }
  invisible(x)
}
