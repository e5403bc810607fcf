## Minimum covariance determinant: robust multivariate location and scatter
## by the compiled FAST-MCD search, with reweighting done here in R.

## Coverage h of the MCD and LTS estimators for a fraction alpha in [0.5, 1]:
## from floor((n + p + 1) / 2) at alpha = 0.5 (the largest breakdown point)
## linearly up to n at alpha = 1.
.coverage_h <- function(alpha, n, p) {
  n2 <- (n + p + 1) %/% 2
  as.integer(floor(2 * n2 - n + 2 * (n - n2) * alpha))
}

.mcd_data <- function(x) {
  x <- .check_design(x)
  if (nrow(x) < 1L || ncol(x) < 1L) stop("'x' has no data", call. = FALSE)
  x
}

## Per-column center (median) and spread (median absolute deviation, else
## mean absolute deviation, else 1) and the data centered and scaled by them.
## Only the units matter here, so large samples are measured on 50000 evenly
## spaced cases.
.mcd_prescale <- function(x, max_rows = 50000L) {
  n <- nrow(x)
  p <- ncol(x)
  rows <- .mcd_prescale_rows(n, max_rows)
  ## In compiled code, columns on the call's threads (kv_mcd_prescale): the
  ## numbers of median() and mean() by the same sums.  The scaled data are
  ## formed where they are used (.mcd_scaled), and max_abs is their largest
  ## absolute value.
  z <- .C("kv_mcd_prescale", x, as.integer(n), as.integer(p), rows,
          as.integer(length(rows)), loc = double(p), scale = double(p), big = double(1L),
          NAOK = TRUE, PACKAGE = "kelvara")
  list(data = x, loc = z$loc, scale = z$scale, max_abs = z$big)
}

## The rows on which the prescaling measures: max_rows evenly spaced ones,
## rounded.  round() moves a value by at most 1/2, so values more than 1
## apart round to distinct rows, and unique() is not needed (it is kept for
## a sequence that would not be strictly increasing).
.mcd_prescale_rows <- function(n, max_rows = 50000L) {
  if (n <= max_rows) return(seq_len(n))
  r <- round(seq.int(1, n, length.out = max_rows))
  as.integer(if (is.unsorted(r, strictly = TRUE)) unique(r) else r)
}

## The data centered and scaled by the prescaling `ps`.
.mcd_scaled <- function(ps) {
  xs <- vapply(seq_along(ps$loc), function(j) (ps$data[, j] - ps$loc[j]) / ps$scale[j],
               numeric(nrow(ps$data)))
  dim(xs) <- dim(ps$data)
  xs
}

## Distance, in spreads, beyond which the compiled search sees a value clipped.
.mcd_far <- 2^300

## The inverse Cholesky root of cov (positive definite) in the units of the
## prescaled data `ps`, and the center carried through it: the squared
## distance of a row is the sum of squares of (scaled row) %*% inv_root -
## shift.  The prescaled columns are centered near 0, so that the center is
## subtracted after the product.
.mcd_root <- function(ps, center, cov) {
  p <- length(ps$scale)
  inv_root <- backsolve(chol(cov / tcrossprod(ps$scale)), diag(p))
  list(inv_root = inv_root, shift = drop(((center - ps$loc) / ps$scale) %*% inv_root))
}

## Squared distances of the rows of the original data under each of the
## roots (.mcd_root), one vector per root.  The compiled pass (kv_mcd_distances:
## row blocks on the call's threads, answering interrupts) forms each
## product and sum as R's matrix product does with finite operands.  Where R
## would take its other product (a value, or the sum of two neighbouring
## ones, not finite: prescaled values beyond 2^1022), the product is formed
## here, in row blocks between which an interrupt is answered.
.mcd_sq_dists <- function(ps, roots) {
  p <- ncol(ps$data)
  n <- nrow(ps$data)
  if (.mcd_compiled_dists(ps, roots)) {
    k <- length(roots)
    d <- .C("kv_mcd_distances", ps$data, as.integer(n), as.integer(p), as.double(ps$loc),
            as.double(ps$scale), as.integer(k),
            as.double(unlist(lapply(roots, `[[`, "inv_root"))),
            as.double(unlist(lapply(roots, `[[`, "shift"))), out = double(n * k),
            NAOK = TRUE, PACKAGE = "kelvara")$out
    return(lapply(seq_len(k), function(c) d[(c - 1) * n + seq_len(n)]))
  }
  xs <- .mcd_scaled(ps)
  lapply(roots, function(r) {
    d <- numeric(n)
    blocks <- .row_blocks(n, p)
    for (b in blocks) {
      .answer_interrupt()
      z <- (if (length(blocks) == 1L) xs else xs[b, , drop = FALSE]) %*% r$inv_root
      db <- numeric(length(b))
      for (j in seq_len(p)) {
        zj <- z[, j] - r$shift[j]
        db <- db + zj * zj
      }
      d[b] <- db
    }
    d
  })
}

## Whether the compiled pass forms the distances under `roots`.
.mcd_compiled_dists <- function(ps, roots) {
  finite <- vapply(roots, function(r) .all_finite(r$inv_root) && .all_finite(r$shift), NA)
  isTRUE(ps$max_abs < 2^1022) && all(finite)
}

.mcd_sq_dist <- function(ps, center, cov) .mcd_sq_dists(ps, list(.mcd_root(ps, center, cov)))[[1L]]

## colMeans() and stats::cov() of the rows of x flagged in `keep` (NULL: all
## rows), the same numbers by the same sums, formed in compiled code
## (kv_mcd_moments: entries on the call's threads, answering interrupts).
.mcd_moments <- function(x, keep = NULL) {
  n <- nrow(x)
  p <- ncol(x)
  z <- .C("kv_mcd_moments", x, as.integer(n), as.integer(p), as.integer(is.null(keep)),
          if (is.null(keep)) integer(1L) else as.integer(keep), m = integer(1L),
          center = double(p), cov = double(p * p), PACKAGE = "kelvara")
  list(center = z$center, cov = matrix(z$cov, p, p))
}

## The compiled FAST-MCD search on the data x as they are.  It allocates its
## own work space and chooses the group size it can use (doubling
## group_size while the groups would cover fewer than p + 1 cases), returned
## as group_size; exact_fit is one of .mcd_codes.
.mcd_fortran <- function(x, n, p, h, nsamp, group_size, cutoff, chi_median, trace) {
  if (!is.double(x)) storage.mode(x) <- "double"  # (see .check_design)
  ## (x - 0) / 1 is x, and no finite value lies beyond the largest double.
  .mcd_search(list(data = x, loc = double(p), scale = rep(1, p)), n, p, h, nsamp, group_size,
              cutoff, chi_median, trace, far = .Machine$double.xmax)
}

## The prescaling (.mcd_prescale) and the search on the data prescaled by
## it (kv_mcd_scaled_search); exact_fit is -1 when .mcd_search_check refuses
## the prescaled data, which are then not searched.  After a regular
## multivariate search the call also reweights (.mcd_reweight, with the
## raw estimate's finite-sample factor small_raw and the factors rw_factor):
## rw_done > 0, and rw_center and rw_cov hold the raw estimate it started
## from.
.mcd_scaled_search <- function(x, n, p, h, nsamp, group_size, cutoff, chi_median, trace,
                               small_raw, rw_factor) {
  pp <- as.numeric(p) * p
  rows <- .mcd_prescale_rows(n)
  ## (The data go in a list, which the routine reads where it stands: a
  ## vector argument of .C would be copied, and its copy returned.)
  .C("kv_mcd_scaled_search", list(if (is.double(x)) x else as.double(x)), n = as.integer(n),
     p = as.integer(p), rows,
     as.integer(length(rows)), loc = double(p), scale = double(p), big = double(1L),
     far = as.double(.mcd_far), h = as.integer(h), krep = as.integer(nsamp),
     group_size = as.integer(group_size), cutoff = as.double(cutoff),
     chi_median = as.double(chi_median), trace = as.integer(trace), exact_fit = integer(1L),
     raw_cov = double(pp), raw_center = double(p), best_subset = integer(h),
     mcd_det = double(1L), weights = integer(n), hyperplane = double(5 * as.numeric(p)),
     n_on_plane = integer(1L), cons_cov = double(pp), center = double(p), cov = double(pp),
     small_raw = as.double(small_raw), rw_factor = as.double(rw_factor),
     rw_center = double(p), rw_cov = double(pp), raw_mah = double(n),
     rw_weights = integer(n), kept = integer(1L), kept_center = double(p),
     kept_cov = double(pp), cl_center = double(p), cl_cov = double(pp), mah = double(n),
     cl_mah = double(n), classical = integer(1L), rw_done = integer(1L),
     NAOK = TRUE, PACKAGE = "kelvara")
}

## The search's reweighting (NULL when it did not reweight), for the raw
## estimate it started from.
.mcd_search_reweight <- function(z, p) {
  if (z$rw_done > 0L)
    list(raw_center = z$rw_center, raw_cov = matrix(z$rw_cov, p, p),
         pass = .mcd_pass(p, z$raw_mah, z$rw_weights, z$kept, z$kept_center, z$kept_cov,
                          z$cl_center, z$cl_cov, z$mah, z$cl_mah, z$classical, z$rw_done))
}

## The search (kv_mcd_search) on the data prescaled by `ps` in compiled
## code, values beyond `far` spreads moved in to `far`.
.mcd_search <- function(ps, n, p, h, nsamp, group_size, cutoff, chi_median, trace,
                        far = .mcd_far) {
  pp <- as.numeric(p) * p  # sizes in double arithmetic: no integer overflow
  .C("kv_mcd_search", x = ps$data, n = as.integer(n), p = as.integer(p),
     loc = as.double(ps$loc), scale = as.double(ps$scale), far = as.double(far),
     h = as.integer(h), krep = as.integer(nsamp), group_size = as.integer(group_size),
     cutoff = as.double(cutoff), chi_median = as.double(chi_median),
     trace = as.integer(trace), exact_fit = integer(1L), raw_cov = double(pp),
     raw_center = double(p), best_subset = integer(h), mcd_det = double(1L),
     weights = integer(n), hyperplane = double(5 * as.numeric(p)),
     n_on_plane = integer(1L), cons_cov = double(pp), center = double(p),
     cov = double(pp), NAOK = FALSE, PACKAGE = "kelvara")
}

## Reweighting: weight 1 for the cases whose squared distance under the
## raw estimate is at most the cutoff; the mean and covariance of those
## cases, the covariance made consistent at the normal model truncated at
## the cutoff and multiplied by the finite-sample factor `f_rw`, and the
## squared distances under it.  The raw estimate is kept when fewer than
## p + 1 cases remain or their covariance is singular.  Also the classical
## squared distances (NULL when the sample covariance is singular), kept for
## the distance-distance plot.
.mcd_reweight <- function(x, ps, raw_center, raw_cov, cutoff, f_rw) {
  p <- ncol(x)
  factor <- .mcd_rw_factor(cutoff, p, f_rw)
  pass <- .mcd_reweight_pass(x, ps, raw_center, raw_cov, cutoff, factor)
  if (!is.null(pass$done)) return(.mcd_reweight_done(pass, raw_center, raw_cov, factor))
  center <- raw_center
  cov <- raw_cov
  classical <- tryCatch(list(.mcd_root(ps, pass$classical$center, pass$classical$cov)),
                        error = function(e) list())
  if (pass$kept > p) {
    c_cov <- pass$cov * factor[1L] * factor[2L]
    if (!inherits(try(chol(c_cov), silent = TRUE), "try-error")) {
      center <- pass$center
      cov <- c_cov
    }
  }
  d <- .mcd_sq_dists(ps, c(list(.mcd_root(ps, center, cov)), classical))
  list(weights = pass$weights, center = center, cov = cov, mah = d[[1L]],
       raw_mah = pass$raw_mah, classical = if (length(classical)) d[[2L]])
}

## The passes over the data for the reweighting: the moments of all cases
## (classical), the squared distances under the raw estimate, the weights,
## their number `kept` and, when more than p, the moments of the kept cases
## (center, cov).  In one compiled call (kv_mcd_reweight) where the compiled
## pass forms the distances; that call also finishes the reweighting (with
## the consistency and finite-sample factors `factor`) where its numbers are
## those of the steps in .mcd_reweight: then `done` says whether the kept
## cases' estimate replaces the raw one (reweighted) and holds the squared
## distances under the estimate (mah) and the classical ones (classical).
.mcd_reweight_pass <- function(x, ps, raw_center, raw_cov, cutoff, factor) {
  n <- nrow(x)
  p <- ncol(x)
  root <- .mcd_root(ps, raw_center, raw_cov)
  if (.mcd_compiled_dists(ps, list(root))) {
    z <- .C("kv_mcd_reweight", x, as.integer(n), as.integer(p), as.double(ps$loc),
            as.double(ps$scale), as.double(root$inv_root), as.double(root$shift),
            as.double(cutoff), as.double(factor), as.double(raw_center), as.double(raw_cov),
            raw_mah = double(n), weights = integer(n), kept = integer(1L), center = double(p),
            cov = double(p * p), cl_center = double(p), cl_cov = double(p * p),
            mah = double(n), cl_mah = double(n), classical = integer(1L), done = integer(1L),
            NAOK = TRUE, PACKAGE = "kelvara")
    return(.mcd_pass(p, z$raw_mah, z$weights, z$kept, z$center, z$cov, z$cl_center,
                     z$cl_cov, z$mah, z$cl_mah, z$classical, z$done))
  }
  raw_mah <- .mcd_sq_dists(ps, list(root))[[1L]]
  weights <- as.integer(raw_mah <= cutoff)
  kept <- sum(weights == 1L)
  ck <- if (kept > p) .mcd_moments(x, weights)
  list(classical = .mcd_moments(x), raw_mah = raw_mah, weights = weights, kept = kept,
       center = ck$center, cov = ck$cov)
}

## The factors of the reweighted covariance: consistency at the normal model
## truncated at the cutoff, and the finite-sample factor f_rw.
.mcd_rw_factor <- function(cutoff, p, f_rw) {
  c(stats::pchisq(cutoff, p) / stats::pchisq(cutoff, p + 2), f_rw)
}

## The pass of .mcd_reweight_pass from the outputs of a compiled reweighting
## (kv_mcd_reweight, kv_mcd_scaled_search).
.mcd_pass <- function(p, raw_mah, weights, kept, center, cov, cl_center, cl_cov, mah, cl_mah,
                      classical, done) {
  more <- isTRUE(kept > p)
  list(classical = list(center = cl_center, cov = matrix(cl_cov, p, p)), raw_mah = raw_mah,
       weights = weights, kept = kept, center = if (more) center,
       cov = if (more) matrix(cov, p, p),
       done = if (done > 0L)
         list(reweighted = done == 2L, mah = mah, classical = if (classical == 1L) cl_mah))
}

## The result of .mcd_reweight from a pass that the compiled call finished.
.mcd_reweight_done <- function(pass, raw_center, raw_cov, factor) {
  center <- raw_center
  cov <- raw_cov
  if (pass$done$reweighted) {
    center <- pass$center
    cov <- pass$cov * factor[1L] * factor[2L]
  }
  list(weights = pass$weights, center = center, cov = cov, mah = pass$done$mah,
       raw_mah = pass$raw_mah, classical = pass$done$classical)
}

mcd <- function(x, alpha = 0.5, nsamp = 500, seed = NULL, trace = 0, group_size = 300,
                threads = NULL) {
  cl <- match.call()
  x <- .mcd_data(x)
  n <- nrow(x)
  p <- ncol(x)
  nsamp <- .check_count(nsamp, "nsamp", 0L)
  h <- .mcd_coverage(n, p, alpha, nsamp)
  alpha <- as.double(alpha)
  trace <- .check_count(trace, "trace", 0L)
  group_size <- .check_count(group_size, "group_size", 1L)
  seed <- .check_seed(seed)
  chi_median <- stats::qchisq(0.5, p)
  cutoff <- stats::qchisq(0.975, p)
  ## The compiled search judges singularity and hyperplanes by fixed
  ## absolute tolerances; it runs on the data centered and scaled per column,
  ## so that those judgements are relative to each variable's spread, and its
  ## results are carried back here (the estimates are affine equivariant).
  ## The prescaling, the search and (mostly) the reweighting in one compiled
  ## call: the data cross from R once.  A given seed leaves the caller's
  ## random stream as it was; data that cannot be searched leave it as it
  ## was in any case.
  small <- .mcd_small(n, p, h)
  had_stream <- exists(".Random.seed", envir = globalenv(), inherits = FALSE)
  z <- .with_seed(seed, {
    if (!exists(".Random.seed", envir = globalenv(), inherits = FALSE)) stats::runif(1L)
    rng_state <- get(".Random.seed", envir = globalenv(), inherits = FALSE)
    .with_threads(threads, .mcd_scaled_search(x, n, p, h, nsamp, group_size, cutoff,
                                              chi_median, trace, small[["raw"]],
                                              .mcd_rw_factor(cutoff, p, small[["reweighted"]])))
  })
  ps <- list(data = x, loc = z$loc, scale = z$scale, max_abs = z$big)
  if (z$exact_fit == -1L) {
    if (is.null(seed) && !had_stream) rm(".Random.seed", envir = globalenv())
    .mcd_search_check(ps, h)
    stop("internal error: the MCD search refused data that pass its checks", call. = FALSE)
  }
  fit <- .with_threads(threads, .mcd_finish(.mcd_raw(z, x, ps, h, cutoff, chi_median), x, ps, h,
                                            cutoff, .mcd_search_reweight(z, p), small))
  c_list <- list(alpha = alpha, h = h, nsamp = nsamp, group_size = z$group_size,
                 seed = seed, rng_state = rng_state, cutoff = cutoff,
                 chi_median = chi_median)
  structure(c(fit, list(n = n, p = p, h = h, settings = c_list, call = cl)), class = "mcd")
}

## The coverage h for alpha, after the checks of the sizes: more cases than
## variables, h in p + 1 .. n, and a count of subsets that can be searched.
.mcd_coverage <- function(n, p, alpha, nsamp) {
  if (n <= p)
    stop(sprintf("need more cases than variables (n = %d, p = %d)", n, p), call. = FALSE)
  alpha <- .check_number_in(alpha, "alpha", 0.5, 1)
  h <- .coverage_h(alpha, n, p)
  if (h < p + 1L || h > n)
    stop(sprintf("the coverage h = %d must lie in p + 1 = %d .. n = %d", h, p + 1L, n),
         call. = FALSE)
  if (nsamp == 0L && choose(n, p + 1) > .Machine$integer.max)
    stop(sprintf(paste("nsamp = 0 asks for all %.0f subsets of p + 1 = %d cases,",
                       "more than can be searched; use nsamp > 0"),
                 choose(n, p + 1), p + 1L), call. = FALSE)
  ## More random draws than there are distinct subsets buy nothing: beyond
  ## the default, such a count is refused (nsamp = 0 searches them all).
  if (nsamp > 500L && nsamp > choose(n, p + 1))
    stop(sprintf(paste("nsamp = %d asks for more random (p + 1)-subsets than the %.0f",
                       "distinct ones of %d cases; use nsamp = 0 to search all of them"),
                 nsamp, choose(n, p + 1), n), call. = FALSE)
  h
}

## Whether the prescaled data can be searched.
.mcd_search_check <- function(ps, h) {
  ## Covariances are products of two spreads: they must not under- or
  ## overflow.
  sq <- ps$scale^2
  if (any(sq < .Machine$double.xmin | sq > .Machine$double.xmax))
    stop(sprintf(paste("'x' has a variable of spread %g, whose covariance cannot be",
                       "represented in double precision; rescale 'x'"),
                 ps$scale[which(sq < .Machine$double.xmin | sq > .Machine$double.xmax)[1L]]),
         call. = FALSE)
  ## The search forms squares and products of the scaled values: a case more
  ## than 2^300 spreads out (its square would overflow in those sums) is
  ## moved in to 2^300 spreads (by the search).  It stays an outlier by that
  ## far, so it never joins the h cases of the search; with h = n its
  ## covariance cannot be represented at all.
  if (ps$max_abs > .mcd_far && h == nrow(ps$data)) {
    xs <- .mcd_scaled(ps)
    far <- abs(xs) > .mcd_far
    stop(sprintf(paste("case %d lies %g spreads from the median of its variable:",
                       "the covariance of all cases cannot be represented"),
                 which(rowSums(far) > 0)[1L], max(abs(xs))), call. = FALSE)
  }
  invisible(NULL)
}

## The raw estimate in data units from the search's result z, by its code
## (.mcd_codes): center, covariance (made consistent by the search, before
## the finite-sample factor), determinant, consistency factor, best subset,
## raw weights, and the hyperplane of an exact fit.
.mcd_raw <- function(z, x, ps, h, cutoff, chi_median) {
  code <- names(.mcd_codes)[match(z$exact_fit, .mcd_codes)]
  n <- nrow(x)
  switch(if (is.na(code)) "unknown" else code,
    singular_data = ,
    exact_fit = .mcd_raw_plane(z, ps),
    ok = if (h == n) .mcd_raw_all(z, ps, cutoff)
         else if (ncol(x) == 1L) .mcd_raw_univariate(z, x, ps, h, cutoff, chi_median)
         else .mcd_raw_search(z, ps),
    stop("unknown status of the MCD search: ", z$exact_fit, call. = FALSE))
}

## The raw estimate as a list, with the defaults of a fit that is not exact.
.mcd_raw_fit <- function(center, cov, det, best, weights, factor = 1,
                         exact = .mcd_codes[["ok"]], hyperplane = NULL, n_on_plane = 0L) {
  list(raw_center = center, raw_cov = cov, raw_det = det, raw_factor = factor,
       best = best, weights = weights, exact = exact, hyperplane = hyperplane,
       n_on_plane = n_on_plane)
}

.mcd_back_center <- function(v, ps) v * ps$scale + ps$loc
.mcd_back_cov <- function(v, ps) matrix(v, length(ps$scale), length(ps$scale)) * tcrossprod(ps$scale)
.mcd_back_det <- function(d, ps) d * prod(ps$scale)^2

## Cases on a hyperplane: their moments, the plane through their mean.
.mcd_raw_plane <- function(z, ps) {
  p <- length(ps$scale)
  hyperplane <- z$hyperplane[seq.int(1L, by = 5L, length.out = p)] / ps$scale
  .mcd_raw_fit(.mcd_back_center(z$raw_center, ps), .mcd_back_cov(z$raw_cov, ps), det = 0,
               best = which(z$weights == 1L), weights = z$weights, exact = z$exact_fit,
               hyperplane = hyperplane / sqrt(sum(hyperplane^2)), n_on_plane = z$n_on_plane)
}

## Coverage of all cases: the classical estimate.
.mcd_raw_all <- function(z, ps, cutoff) {
  center <- .mcd_back_center(z$center, ps)
  cov <- .mcd_back_cov(z$cov, ps)
  .mcd_raw_fit(center, cov, .mcd_back_det(z$mcd_det, ps), best = seq_len(nrow(ps$data)),
               weights = as.integer(.mcd_sq_dist(ps, center, cov) <= cutoff))
}

## One variable: the exact univariate search; its scale is returned.
.mcd_raw_univariate <- function(z, x, ps, h, cutoff, chi_median) {
  n <- nrow(x)
  center <- .mcd_back_center(z$raw_center, ps)
  s2 <- (z$raw_cov * ps$scale)^2
  runs <- rle(sort(x[, 1L]))
  if (max(runs$lengths) >= h) {
    ## At least h equal values: an exact fit on that value (the search's
    ## running sums need not give exactly 0 there).
    center <- runs$values[which.max(runs$lengths)]
    weights <- as.integer(x[, 1L] == center)
    return(.mcd_raw_fit(center, matrix(0, 1L, 1L), det = 0, best = which(weights == 1L),
                        weights = weights, exact = .mcd_codes[["exact_fit"]],
                        hyperplane = 1, n_on_plane = sum(weights)))
  }
  dev <- abs(x[, 1L] - center)
  d <- dev^2 / s2
  factor <- sort(d)[n %/% 2L] / chi_median
  if (!(factor > 0)) factor <- 1
  .mcd_raw_fit(center, matrix(s2 * factor, 1L, 1L), det = s2,
               best = sort(order(dev)[seq_len(h)]),
               weights = as.integer(d / factor <= cutoff), factor = factor)
}

## The multivariate search: its consistent raw covariance and best subset.
.mcd_raw_search <- function(z, ps) {
  .mcd_raw_fit(.mcd_back_center(z$raw_center, ps), .mcd_back_cov(z$cons_cov, ps),
               .mcd_back_det(z$mcd_det, ps),
               best = if (is.unsorted(z$best_subset)) sort(z$best_subset) else z$best_subset,
               weights = z$weights, factor = z$cons_cov[1L] / z$raw_cov[1L])
}

## The fields of the result: the finite-sample factors (R/consistency.R) --
## the raw covariance is scaled so that clean cases beyond the cutoff have
## their nominal share, and the raw weights are taken from the scaled
## distances -- the reweighted estimate, the distances, and the names.
## `small` holds those factors (.mcd_small) when the caller has them.
.mcd_finish <- function(raw, x, ps, h, cutoff, pre = NULL,
                        small = .mcd_small(nrow(x), ncol(x), h)) {
  n <- nrow(x)
  p <- ncol(x)
  raw_center <- center <- raw$raw_center
  raw_cov <- cov <- raw$raw_cov
  raw_factor <- raw$raw_factor
  weights <- raw$weights
  raw_mah <- mah <- mah_classical <- rep(NA_real_, n)
  if (raw$exact == .mcd_codes[["ok"]]) {
    raw_cov <- raw_cov * small[["raw"]]
    raw_factor <- raw_factor * small[["raw"]]
    ## The reweighting done by the search where it started from this raw
    ## estimate.
    rw <- if (!is.null(pre) && identical(pre$raw_center, raw_center) &&
              identical(pre$raw_cov, raw_cov))
      .mcd_reweight_done(pre$pass, raw_center, raw_cov,
                         .mcd_rw_factor(cutoff, p, small[["reweighted"]]))
    else .mcd_reweight(x, ps, raw_center, raw_cov, cutoff, small[["reweighted"]])
    weights <- rw$weights
    center <- rw$center
    cov <- rw$cov
    mah <- rw$mah
    raw_mah <- rw$raw_mah
    if (!is.null(rw$classical)) mah_classical <- rw$classical
  } else {
    ## Classical squared distances, kept for the distance-distance plot (NA
    ## when the sample covariance is singular).
    classical <- tryCatch({
      cl_moments <- .mcd_moments(x)
      list(.mcd_root(ps, cl_moments$center, cl_moments$cov))
    }, error = function(e) list())
    if (length(classical)) mah_classical <- .mcd_sq_dists(ps, classical)[[1L]]
  }
  vn <- colnames(x)
  center <- as.vector(center)
  raw_center <- as.vector(raw_center)
  names(center) <- names(raw_center) <- vn
  dimnames(cov) <- dimnames(raw_cov) <- list(vn, vn)
  hyperplane <- raw$hyperplane
  if (!is.null(hyperplane)) names(hyperplane) <- vn
  rn <- rownames(x)
  names(weights) <- names(mah) <- names(raw_mah) <- names(mah_classical) <- rn
  list(center = center, cov = cov,
       raw_center = raw_center, raw_cov = raw_cov, raw_det = raw$raw_det,
       raw_consistency = raw_factor, small_sample = small,
       best = raw$best, weights = weights, raw_mah = raw_mah, mah = mah,
       mah_classical = mah_classical,
       exact_fit = raw$exact, hyperplane = hyperplane, n_on_plane = raw$n_on_plane)
}

## The finite-sample factors (R/consistency.R) of the raw and the
## reweighted covariance.
.mcd_small <- function(n, p, h) {
  alpha_h <- .coverage_alpha(h, n, p)
  c(raw = .small_sample_factor("mcd_raw", n, p, alpha_h),
    reweighted = .small_sample_factor("mcd_rw", n, p, alpha_h))
}

.mcd_exact_text <- function(object) {
  if (object$exact_fit == .mcd_codes[["ok"]]) return(NULL)
  eq <- paste(format(object$hyperplane, digits = 4), collapse = ", ")
  if (object$exact_fit == .mcd_codes[["singular_data"]])
    sprintf(paste("The covariance matrix of the data is singular: %d cases lie",
                  "on the hyperplane with normal (%s)."),
            object$n_on_plane, eq)
  else
    sprintf(paste("Exact fit: %d cases (at least h = %d) lie on the hyperplane",
                  "with normal (%s)."),
            object$n_on_plane, object$h, eq)
}

print.mcd <- function(x, digits = max(3L, getOption("digits") - 3L), ...) {
  digits <- .check_digits(digits)
  cat("\nMinimum covariance determinant (h = ", x$h, " of n = ", x$n, ")\n", sep = "")
  if (!is.null(x$call)) cat("Call: ", paste(deparse(x$call), collapse = "\n"), "\n", sep = "")
  msg <- .mcd_exact_text(x)
  if (!is.null(msg)) cat("\n", msg, "\n", sep = "")
  cat("\nCenter:\n")
  print(x$center, digits = digits, ...)
  cat("\nCovariance:\n")
  print(x$cov, digits = digits, ...)
  invisible(x)
}

summary.mcd <- function(object, ...) {
  structure(list(object = object,
                 n_outliers = sum(object$weights == 0L),
                 outliers = which(object$weights == 0L),
                 correlation = if (object$exact_fit == .mcd_codes[["ok"]]) stats::cov2cor(object$cov),
                 mah = if (object$exact_fit == .mcd_codes[["ok"]]) summary(object$mah)),
            class = "summary.mcd")
}

print.summary.mcd <- function(x, digits = max(3L, getOption("digits") - 3L), ...) {
  digits <- .check_digits(digits)
  o <- x$object
  print(o, digits = digits, ...)
  cat("\nRaw center:\n")
  print(o$raw_center, digits = digits, ...)
  cat("\nRaw covariance (consistency factor ", format(o$raw_consistency, digits = digits),
      ", of which finite-sample ", format(o$small_sample[["raw"]], digits = digits),
      "; reweighted covariance: finite-sample factor ",
      format(o$small_sample[["reweighted"]], digits = digits), "):\n", sep = "")
  print(o$raw_cov, digits = digits, ...)
  if (!is.null(x$correlation)) {
    cat("\nCorrelation:\n")
    print(x$correlation, digits = digits, ...)
  }
  cat("\nCases given weight 0 by the reweighting: ", x$n_outliers, " of ", o$n, "\n", sep = "")
  if (x$n_outliers > 0L && x$n_outliers <= 30L)
    cat("  ", .case_labels(x$outliers), fill = TRUE)
  if (!is.null(x$mah)) {
    cat("\nRobust squared distances:\n")
    print(x$mah, digits = digits)
  }
  invisible(x)
}
