## The control list of lmrob(): every tuning value of the S, MM and M-S
## stages in one place.

## Tuning constants are computed once per family and target and then kept.
.tuning_cache <- new.env(parent = emptyenv())

.cached_tuning <- function(psi, efficiency = NULL, breakdown = NULL) {
  key <- paste(psi, if (is.null(efficiency)) "bdp" else "eff",
               format(if (is.null(efficiency)) breakdown else efficiency, digits = 15))
  if (is.null(.tuning_cache[[key]]))
    .tuning_cache[[key]] <- psi_tuning(psi, efficiency = efficiency, breakdown = breakdown)
  .tuning_cache[[key]]
}

lmrob.config <- function(psi = "bisquare", breakdown = 0.5, efficiency = 0.95,
                         tuning.chi = NULL, tuning.psi = NULL,
                         subsampling = c("nonsingular", "simple"),
                         nResample = 500L, best.r.s = 2L, k.fast.s = 1L,
                         k.max = 200L, refine.tol = 1e-7, maxit.scale = 200L,
                         solve.tol = 1e-7, max.singular = 200L,
                         n.group = 5L, groups.size = 400L,
                         max.it = 50L, rel.tol = 1e-7,
                         mts = 1000L, k.m_s = 20L, max.steps = 500L,
                         descent.tol = 1e-7, orthogonalize = TRUE,
                         eps.outlier = 0.1, trace.lev = 0L, seed = NULL) {
  family <- names(.psi_codes)[.psi_codes == .psi_code(psi)]
  subsampling <- match.arg(subsampling)
  num01 <- function(v, name, lo, hi) {
    if (!is.numeric(v) || length(v) != 1L || !is.finite(v) || v <= lo || v > hi)
      stop(sprintf("'%s' must be one number in (%g, %g]", name, lo, hi), call. = FALSE)
    as.double(v)
  }
  count <- function(v, name, min = 1L) {
    if (!is.numeric(v) || length(v) != 1L || is.na(v) || v != round(v) || v < min ||
        v > .Machine$integer.max)
      stop(sprintf("'%s' must be a whole number >= %d", name, min), call. = FALSE)
    as.integer(v)
  }
  tol <- function(v, name) {
    if (!is.numeric(v) || length(v) != 1L || !is.finite(v) || v <= 0)
      stop(sprintf("'%s' must be a positive number", name), call. = FALSE)
    as.double(v)
  }
  breakdown <- num01(breakdown, "breakdown", 0, 0.5)
  efficiency <- num01(efficiency, "efficiency", 0.2, 0.999999)
  ## The S constants and the right-hand side 'bb' of the M-scale equation:
  ## bb = E[chi(Z)] under the normal makes the S-scale consistent; with
  ## constants tuned for a breakdown point, bb is that breakdown point.
  given <- c(chi = !is.null(tuning.chi), psi = !is.null(tuning.psi))
  if (is.null(tuning.chi)) {
    tuning.chi <- .cached_tuning(family, breakdown = breakdown)
  } else {
    tuning.chi <- .check_constants(family, tuning.chi, "tuning.chi")
  }
  bb <- .chi_expect(.psi_code(family), tuning.chi)
  if (is.null(tuning.psi)) {
    tuning.psi <- .cached_tuning(family, efficiency = efficiency)
  } else {
    tuning.psi <- .check_constants(family, tuning.psi, "tuning.psi")
  }
  if (!is.null(seed) && (!is.numeric(seed) || length(seed) != 1L || !is.finite(seed)))
    stop("'seed' must be NULL or one number", call. = FALSE)
  for (f in c("orthogonalize"))
    if (!is.logical(get(f)) || length(get(f)) != 1L || is.na(get(f)))
      stop(sprintf("'%s' must be TRUE or FALSE", f), call. = FALSE)
  structure(list(
    psi = family, breakdown = breakdown, efficiency = efficiency,
    tuning.chi = as.vector(unclass(tuning.chi)),
    bb = bb,
    tuning.psi = as.vector(unclass(tuning.psi)),
    subsampling = subsampling,
    nResample = count(nResample, "nResample", 0L),
    best.r.s = count(best.r.s, "best.r.s"),
    k.fast.s = count(k.fast.s, "k.fast.s"),
    k.max = count(k.max, "k.max"),
    refine.tol = tol(refine.tol, "refine.tol"),
    maxit.scale = count(maxit.scale, "maxit.scale"),
    solve.tol = tol(solve.tol, "solve.tol"),
    max.singular = count(max.singular, "max.singular"),
    n.group = count(n.group, "n.group"),
    groups.size = count(groups.size, "groups.size"),
    max.it = count(max.it, "max.it"),
    rel.tol = tol(rel.tol, "rel.tol"),
    mts = count(mts, "mts", 0L),
    k.m_s = count(k.m_s, "k.m_s"),
    max.steps = count(max.steps, "max.steps"),
    descent.tol = tol(descent.tol, "descent.tol"),
    orthogonalize = orthogonalize,
    eps.outlier = num01(eps.outlier, "eps.outlier", 0, 1),
    trace.lev = count(trace.lev, "trace.lev", 0L),
    seed = seed, tuning.given = given), class = "lmrob_config")
}

## User-given tuning constants: the count the family reads, all finite.
.check_constants <- function(family, k, name) {
  len <- c(bisquare = 1L, gaussweight = 1L, optimal = 1L, hampel = 3L, ggw = NA, lqq = 3L)
  ok <- is.numeric(k) && all(is.finite(k)) &&
    if (family == "ggw") {
      (length(k) == 1L && k %in% 1:6) || (length(k) == 5L && k[1] == 0 && all(k[2:5] > 0))
    } else length(k) == len[[family]] && all(k > 0)
  if (ok && family == "hampel") ok <- k[1] <= k[2] && k[2] < k[3]
  if (ok && family == "lqq") ok <- k[3] > 1
  if (!ok)
    stop(sprintf("'%s' is not a valid set of constants for the %s family", name, family),
         call. = FALSE)
  as.double(k)
}

print.lmrob_config <- function(x, ...) {
  cat(sprintf("lmrob control: psi = \"%s\", S with breakdown %.3g (bb = %.6g), MM with efficiency %.3g\n",
              x$psi, x$breakdown, x$bb, x$efficiency))
  cat("  tuning.chi =", format(x$tuning.chi, digits = 7), "\n")
  cat("  tuning.psi =", format(x$tuning.psi, digits = 7), "\n")
  rest <- x[setdiff(names(x), c("psi", "breakdown", "efficiency", "tuning.chi",
                                "tuning.psi", "bb", "tuning.given"))]
  rest$seed <- if (is.null(rest$seed)) "NULL" else rest$seed
  str(rest, give.head = FALSE, no.list = TRUE, comp.str = "  ")
  invisible(x)
}
