## Tuning constants of the psi families, computed from the package's own
## rho and psi functions: the normal efficiency of the M-estimate of
## regression and the breakdown point of the M-scale.
##
## Every family is tuned along a one-parameter path of scaled constants
## k(lambda) with psi_lambda(x) = lambda * psi_1(x / lambda); the shape of
## the families with several constants is held fixed by 'shape':
##   hampel: the ratios a : b : r;
##   lqq:    the minimal slope of psi (1 - s) and the ratio b / c;
##   ggw:    the minimal slope of psi and the exponent b.

.tuning_shape_default <- list(hampel = c(1.5, 3.5, 8),
                              lqq = c(min_slope = -0.5, b_over_c = 1.5),
                              ggw = c(min_slope = -0.5, b = 1.5))

## Evaluate psi (what = "psi"), its derivative ("psip"), the normalised rho
## ("chi") or the weight ("wgt") of a family given by code.
.psi_value <- function(x, code, k, what = c("psi", "psip", "chi", "wgt")) {
  what <- match.arg(what)
  switch(what,
         psi = psi_func(x, code, k, deriv = 0),
         psip = psi_func(x, code, k, deriv = 1),
         chi = chi_func(x, code, k, deriv = 0),
         wgt = wgt_func(x, code, k))
}

## Integral of f(z) * dnorm(z) over the real line for an even integrand,
## split at the family's break points so the kinks do not slow it down.
.normal_expect <- function(f, breaks = numeric()) {
  pts <- sort(unique(c(0, breaks[is.finite(breaks) & breaks > 0 & breaks < 12], 12)))
  total <- 0
  for (i in seq_len(length(pts) - 1L)) {
    total <- total + stats::integrate(function(z) f(z) * stats::dnorm(z),
                                      pts[i], pts[i + 1L], rel.tol = 1e-11,
                                      abs.tol = 1e-14, subdivisions = 200L)$value
  }
  2 * total
}

## Minimal slope of the GGW psi with constants (a, b, c) (general case 0).
.ggw_min_slope <- function(a, b, c) {
  k <- c(0, a, b, c, 1)
  f <- function(x) psi_func(x, 5L, k, deriv = 1)
  ## The slope falls after c and recovers to 0 again; search a wide window.
  grid <- c + seq(1e-6, 30, length.out = 3001L) * max(1, (2 * a)^(1 / b))
  v <- f(grid)
  i <- which.min(v)
  lo <- grid[max(1L, i - 1L)]
  hi <- grid[min(length(grid), i + 1L)]
  min(v[i], stats::optimize(f, c(lo, hi), tol = 1e-12)$objective)
}

## GGW: a / c^b that gives the requested minimal slope (scale free).
.ggw_ratio <- function(min_slope, b) {
  g <- function(la) .ggw_min_slope(exp(la), b, 1) - min_slope
  exp(stats::uniroot(g, c(log(1e-3), log(1e3)), tol = 1e-12)$root)
}

## Constants of a family at scale lambda for a given shape; 'state' carries
## quantities that depend on the shape only.
.scaled_constants <- function(code, lambda, shape, state = NULL) {
  switch(as.character(code),
         "1" = , "2" = , "3" = lambda,
         "4" = lambda * shape,
         "6" = c(shape[["b_over_c"]] * lambda, lambda, 1 - shape[["min_slope"]]),
         "5" = {
           b <- shape[["b"]]
           a <- state$ratio * lambda^b
           k <- c(0, a, b, lambda, 1)
           ## The last constant is the integral of psi over [0, Inf).
           k[5] <- stats::integrate(function(x) psi_func(x, 5L, k, deriv = 0), 0, Inf,
                                    rel.tol = 1e-11)$value
           k
         })
}

## Break points of psi for the quadrature.
.psi_breaks <- function(code, k) {
  switch(as.character(code),
         "1" = k[1], "3" = k[1] * c(2, 3), "4" = k[1:3],
         "5" = if (k[1] == 0) k[4] else {
           ggw <- .ggw_table()
           cs <- ggw$cases[k[1], 3]
           c(cs, 3 * cs, ggw$chi_end[k[1]])
         },
         "6" = c(k[2], k[1] + k[2], k[1] + k[2] - (k[1] * k[3] - 2 * (k[1] + k[2])) / (k[3] - 1)),
         numeric())
}

## Normal efficiency of the regression M-estimate: E[psi']^2 / E[psi^2].
## E[psi'] is taken as E[Z psi(Z)], which holds for every continuous psi.
.psi_efficiency <- function(code, k) {
  br <- .psi_breaks(code, k)
  e1 <- .normal_expect(function(z) z * psi_func(z, code, k, deriv = 0), br)
  e2 <- .normal_expect(function(z) psi_func(z, code, k, deriv = 0)^2, br)
  e1^2 / e2
}

## E[chi(Z)] at the normal: the breakdown point of the M-scale whose
## right-hand side makes it consistent.
.chi_expect <- function(code, k) {
  if (code == 5L && k[1] == 0) {
    ## General GGW case: chi is the integral of psi (to the accuracy of an
    ## adaptive quadrature), so E chi(Z) = 2 / N * int_0^Inf psi(t) P(Z > t) dt
    ## by exchanging the two integrals; this avoids integrating a noisy chi.
    v <- stats::integrate(function(t) psi_func(t, code, k, deriv = 0) *
                            stats::pnorm(t, lower.tail = FALSE),
                          0, Inf, rel.tol = 1e-11)$value
    return(2 * v / k[5])
  }
  .normal_expect(function(z) chi_func(z, code, k, deriv = 0), .psi_breaks(code, k))
}

## Built-in GGW cases: (a, b, c) of each case (rows) and the end points of
## their polynomial chi, read once from the compiled module that holds them.
.ggw_table <- local({
  cache <- NULL
  function() {
    if (is.null(cache)) {
      z <- .C("kv_ggw_table", abc = double(18L), chi_end = double(6L),
              PACKAGE = "kelvara")
      cache <<- list(cases = matrix(z$abc, 6L, 3L, byrow = TRUE), chi_end = z$chi_end)
    }
    cache
  }
})

## The built-in case whose (a, b, c) agree with the general constants k.
.ggw_builtin <- function(k) {
  cases <- .ggw_table()$cases
  for (i in seq_len(nrow(cases))) {
    cs <- cases[i, ]
    if (cs[2] == k[3] && abs(cs[1] / k[2] - 1) < 2e-3 && abs(cs[3] / k[4] - 1) < 2e-3)
      return(i)
  }
  NA_integer_
}

psi_tuning <- function(psi = "bisquare", efficiency = NULL, breakdown = NULL,
                       shape = NULL) {
  code <- .psi_code(psi)
  family <- names(.psi_codes)[.psi_codes == code]
  if (is.null(efficiency) == is.null(breakdown))
    stop("give exactly one of 'efficiency' and 'breakdown'", call. = FALSE)
  if (!is.null(efficiency))
    efficiency <- .check_number_in(efficiency, "efficiency", 0.2, 1, c(TRUE, TRUE))
  if (!is.null(breakdown))
    breakdown <- .check_number_in(breakdown, "breakdown", 0, 0.5, c(TRUE, FALSE))
  if (is.null(shape)) shape <- .tuning_shape_default[[family]]
  shape <- .check_shape(family, shape)
  state <- NULL
  if (code == 5L) {
    ratio <- tryCatch(.ggw_ratio(shape[["min_slope"]], shape[["b"]]), error = function(e) NULL)
    if (is.null(ratio))
      stop(sprintf("'shape' for \"ggw\" cannot be met: no ggw psi has minimum slope %g with b = %g",
                   shape[["min_slope"]], shape[["b"]]), call. = FALSE)
    state <- list(ratio = ratio)
  }
  target <- if (is.null(efficiency)) breakdown else efficiency
  crit <- if (is.null(efficiency)) {
    function(l) .chi_expect(code, .scaled_constants(code, l, shape, state)) - target
  } else {
    function(l) .psi_efficiency(code, .scaled_constants(code, l, shape, state)) - target
  }
  ## Scale lambda of each family (c, the first break point, ...): search on
  ## the log scale; both criteria are monotone in lambda.
  root <- tryCatch(stats::uniroot(function(ll) crit(exp(ll)), c(log(0.02), log(60)),
                                  tol = 1e-13, maxiter = 200L)$root,
                   error = function(e) NULL)
  if (is.null(root))
    stop(sprintf("the %s family cannot reach %s %g with this shape", family,
                 if (is.null(efficiency)) "breakdown point" else "efficiency", target),
         call. = FALSE)
  lambda <- exp(root)
  k <- .scaled_constants(code, lambda, shape, state)
  if (code == 5L) {
    case <- .ggw_builtin(k)
    if (!is.na(case)) k <- as.double(case)
  }
  names(k) <- switch(family, hampel = c("a", "b", "r"), lqq = c("b", "c", "s"),
                     ggw = if (length(k) == 1L) "case" else c("case", "a", "b", "c", "int_psi"),
                     "c")
  structure(k, psi = family,
            efficiency = .psi_efficiency(code, k),
            breakdown = .chi_expect(code, k),
            class = "psi_tuning")
}

.check_shape <- function(family, shape) {
  ok <- switch(family,
               hampel = is.numeric(shape) && length(shape) == 3L && all(is.finite(shape)) &&
                 shape[1] > 0 && shape[1] <= shape[2] && shape[2] < shape[3],
               lqq = , ggw = is.numeric(shape) && length(shape) == 2L &&
                 all(is.finite(shape)) && shape[1] < 0 && shape[2] > 0,
               is.null(shape) || length(shape) == 0L)
  if (!ok)
    stop(switch(family,
                hampel = "'shape' for \"hampel\" must be increasing ratios a <= b < r",
                lqq = "'shape' for \"lqq\" must be c(min_slope < 0, b_over_c > 0)",
                ggw = "'shape' for \"ggw\" must be c(min_slope < 0, b > 0)",
                sprintf("family \"%s\" has no 'shape'", family)), call. = FALSE)
  if (family %in% c("lqq", "ggw"))
    names(shape) <- if (family == "lqq") c("min_slope", "b_over_c") else c("min_slope", "b")
  shape
}

print.psi_tuning <- function(x, digits = 7L, ...) {
  digits <- .check_digits(digits)
  cat(sprintf("Tuning constants of the %s family (efficiency %.4f, breakdown %.4f):\n",
              attr(x, "psi"), attr(x, "efficiency"), attr(x, "breakdown")))
  print(signif(stats::setNames(as.vector(x), names(x)), digits))
  invisible(x)
}
