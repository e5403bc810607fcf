## The boxplot adjusted for skewness: fences that move with the medcouple,
## so that the long tail of a skewed sample is not read as outliers.

## The sample for the fences: numeric, NAs dropped on request, finite.
.fence_sample <- function(x, na.rm) {
  if (!is.numeric(x))
    stop("'x' must be a numeric vector", call. = FALSE)
  x <- as.double(x)
  if (anyNA(x)) {
    if (!.check_flag(na.rm, "na.rm"))
      stop("'x' contains missing values; use na.rm = TRUE to drop them", call. = FALSE)
    x <- x[!is.na(x)]
  }
  if (length(x) == 0L) stop("'x' is empty: at least one observation is needed", call. = FALSE)
  if (any(is.infinite(x))) stop("'x' contains infinite values", call. = FALSE)
  x
}

## Quartiles, medcouple and fences of a clean sample.  The quartiles are
## those of quantile() (type 7); the fence multipliers are e^(-4 MC) below
## and e^(3 MC) above for MC >= 0, and the mirror image for MC < 0.
.fences <- function(x, range) {
  q <- stats::quantile(x, c(0.25, 0.5, 0.75), names = FALSE)
  mc <- if (length(x) >= 2L) medcouple(x) else 0
  iqr <- q[3L] - q[1L]
  mult <- if (mc >= 0) exp(c(-4, 3) * mc) else exp(c(-3, 4) * mc)
  list(quartiles = q, mc = mc, iqr = iqr,
       fences = c(lower = q[1L] - range * mult[1L] * iqr,
                  upper = q[3L] + range * mult[2L] * iqr))
}

.check_range <- function(range) {
  if (!is.numeric(range) || length(range) != 1L || !is.finite(range) || range < 0)
    stop("'range' must be one finite number >= 0", call. = FALSE)
  as.double(range)
}

adjusted_fences <- function(x, range = 1.5, na.rm = FALSE) {
  x <- .fence_sample(x, na.rm)
  f <- .fences(x, .check_range(range))
  structure(f$fences, mc = f$mc, quartiles = f$quartiles[c(1L, 3L)])
}

## Five numbers, notch, outliers of one group, as boxplot.stats() gives them,
## with the adjusted fences; range = 0 draws the whiskers to the extremes.
.adjusted_stats <- function(x, range) {
  x <- x[is.finite(x)]
  n <- length(x)
  if (n == 0L)
    return(list(stats = rep(NA_real_, 5L), n = 0L, conf = rep(NA_real_, 2L),
                out = numeric(), mc = NA_real_, fences = rep(NA_real_, 2L)))
  f <- .fences(x, range)
  q <- f$quartiles
  inside <- if (range == 0) rep(TRUE, n) else x >= f$fences[1L] & x <= f$fences[2L]
  wh <- range(x[inside])
  list(stats = c(wh[1L], q, wh[2L]), n = n,
       conf = q[2L] + c(-1.58, 1.58) * f$iqr / sqrt(n),
       out = x[!inside], mc = f$mc, fences = unname(f$fences))
}

adjusted_boxplot <- function(x, ...) UseMethod("adjusted_boxplot")

adjusted_boxplot.formula <- function(formula, data = NULL, ..., subset, na.action = NULL) {
  if (missing(formula) || length(formula) != 3L)
    stop("'formula' must be of the form y ~ group", call. = FALSE)
  m <- match.call(expand.dots = FALSE)
  if (is.matrix(eval(m$data, parent.frame()))) m$data <- as.data.frame(data)
  m$... <- NULL
  m$na.action <- na.action
  m[[1L]] <- quote(stats::model.frame)
  mf <- eval(m, parent.frame())
  response <- attr(attr(mf, "terms"), "response")
  adjusted_boxplot(split(mf[[response]], mf[-response]), ...)
}

adjusted_boxplot.default <- function(x, ..., range = 1.5, width = NULL, varwidth = FALSE,
                                     notch = FALSE, outline = TRUE, names, plot = TRUE,
                                     border = graphics::par("fg"), col = "lightgray",
                                     log = "", pars = list(boxwex = 0.8, staplewex = 0.5,
                                                           outwex = 0.5),
                                     horizontal = FALSE, add = FALSE, at = NULL) {
  args <- list(x, ...)
  named <- if (is.null(base::names(args))) rep(FALSE, length(args)) else nzchar(base::names(args))
  groups <- if (is.matrix(x) && is.numeric(x)) {
    g <- lapply(seq_len(ncol(x)), function(j) x[, j])
    base::names(g) <- colnames(x)
    g
  } else if (is.list(x)) x else args[!named]
  if (length(groups) == 0L) stop("no data to draw", call. = FALSE)
  groups <- unclass(groups)
  if (!all(vapply(groups, function(g) is.numeric(g) && is.null(dim(g)) || is.matrix(g) &&
                    is.numeric(g), NA)))
    stop("every group must be a numeric vector", call. = FALSE)
  if (!missing(names)) {
    if (length(names) != length(groups))
      stop(sprintf("'names' must have %d element(s), one per group", length(groups)),
           call. = FALSE)
    base::names(groups) <- names
  } else if (is.null(base::names(groups))) {
    base::names(groups) <- seq_along(groups)
  }
  range <- .check_range(range)
  plot <- .check_flag(plot, "plot")
  k <- length(groups)
  if (plot) {
    for (a in c("horizontal", "notch", "varwidth", "outline", "add"))
      .check_flag(get(a), a)
    if (!is.null(at) && (!is.numeric(at) || length(at) != k || any(!is.finite(at))))
      stop(sprintf("'at' must be NULL or %d finite number(s), one per group", k),
           call. = FALSE)
  }
  st <- lapply(groups, function(g) .adjusted_stats(as.double(g), range))
  z <- list(stats = matrix(vapply(st, `[[`, numeric(5L), "stats"), 5L, k),
            n = vapply(st, `[[`, 0, "n"),
            conf = matrix(vapply(st, `[[`, numeric(2L), "conf"), 2L, k),
            out = unlist(lapply(st, `[[`, "out"), use.names = FALSE),
            group = rep.int(seq_len(k), vapply(st, function(s) length(s$out), 0L)),
            names = base::names(groups),
            mc = vapply(st, `[[`, 0, "mc"),
            fences = matrix(vapply(st, `[[`, numeric(2L), "fences"), 2L, k,
                            dimnames = list(c("lower", "upper"), NULL)))
  if (!plot) return(z)
  if (all(z$n == 0)) stop("no finite values to draw", call. = FALSE)
  do.call(graphics::bxp, c(list(z, width = width, varwidth = varwidth, notch = notch,
                                outline = outline, log = log, border = border,
                                boxfill = col, pars = pars, horizontal = horizontal,
                                add = add, at = at), args[named]))
  invisible(z)
}
