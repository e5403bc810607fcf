## Plots of the MCD and LTS fits.

## The data of an mcd() fit: given, or re-evaluated from its call.
.mcd_plot_data <- function(object, data, env) {
  if (is.null(data)) {
    data <- tryCatch(eval(object$call$x, env), error = function(e) NULL)
    if (is.null(data))
      stop("the data of the fit cannot be found; pass them as 'data'", call. = FALSE)
  }
  data <- as.matrix(data)
  if (!is.numeric(data) || nrow(data) != object$n || ncol(data) != object$p)
    stop(sprintf("'data' must be the %d x %d numeric data of the fit", object$n, object$p),
         call. = FALSE)
  data
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
    xx <- .mcd_plot_data(x, data, parent.frame())
    md <- sqrt(stats::mahalanobis(xx, colMeans(xx), stats::cov(xx)))
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
