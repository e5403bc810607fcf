## The design-adaptive scale of the SMDM estimate: the constant kappa and the
## leverage factor tau(h) of a psi family, computed by quadrature at the
## normal model and tabulated once per family and constants.
##
## With w the weight function of psi and Z ~ N(0, 1):
##   kappa = E[w(Z) Z^2] / E[w(Z)],
## so that E[w(Z) (Z^2 - kappa)] = 0 (the D-scale is consistent at h = 0).
## A residual of an observation with leverage h is approximated by
##   R(h) = Z - (h / A) psi(Z) + U,  U ~ N(0, (h - h^2) B / A^2) independent of Z,
## A = E psi'(Z), B = E psi(Z)^2, and tau(h) solves
##   E[w(R / tau) ((R / tau)^2 - kappa)] = 0.
## For psi(u) = u this is tau^2 = 1 - h, the variance of a least-squares
## residual.

## Gauss-Legendre nodes and weights on [-1, 1] (Golub-Welsch).
.gauss_legendre <- function(q) {
  j <- seq_len(q - 1L)
  b <- j / sqrt(4 * j^2 - 1)
  m <- matrix(0, q, q)
  m[cbind(j, j + 1L)] <- b
  m[cbind(j + 1L, j)] <- b
  e <- eigen(m, symmetric = TRUE)
  o <- order(e$values)
  list(x = e$values[o], w = 2 * e$vectors[1L, o]^2)
}

## Composite Gauss-Legendre rule on the intervals between sorted points
## 'pts' (a vector); q nodes on each.
.composite_gl <- function(pts, q = 20L) {
  gl <- .gauss_legendre(q)
  lo <- pts[-length(pts)]
  hi <- pts[-1L]
  list(x = as.vector(outer(gl$x, hi - lo, function(x, d) x * d / 2) +
                       rep((lo + hi) / 2, each = q)),
       w = as.vector(outer(gl$w, (hi - lo) / 2)))
}

## The functions the quadrature reads: psi, w and the moments A, B, kappa.
## 'fam' is either a family (code, constants) or a list of plain R functions
## psi and wgt with the break points of their kinks (used to check the
## quadrature on closed forms).
.smdm_family <- function(code, k) {
  if (is.list(code)) return(code)
  br <- .psi_breaks(code, k)
  k <- .psi_const(k, code)
  ## the compiled routines directly: the quadrature calls them many times
  ## on finite arguments
  list(psi = function(u) .C("R_psifun", x = as.double(u), k, code, 0L, length(u),
                            PACKAGE = "kelvara")$x,
       wgt = function(u) .C("R_wgtfun", x = as.double(u), k, code, length(u),
                            PACKAGE = "kelvara")$x,
       breaks = sort(unique(br[is.finite(br) & br > 0])))
}

.smdm_constants <- function(fam) {
  rule <- .composite_gl(sort(unique(c(0, fam$breaks[fam$breaks < 10], 1, 2, 4, 6, 10))), 30L)
  z <- rule$x
  dz <- 2 * rule$w * stats::dnorm(z)        # the even integrands over the real line
  psi <- fam$psi(z)
  w <- fam$wgt(z)
  A <- sum(dz * w * z^2)                     # E psi'(Z) = E[Z psi(Z)]
  B <- sum(dz * psi^2)
  Ew <- sum(dz * w)
  c(A = A, B = B, Ew = Ew, kappa = A / Ew, gamma = B * Ew / A^2)
}

## E[w(R/tau) ((R/tau)^2 - kappa)] for R = R(h).  The outer integral is over
## z >= 0 (R is symmetric), split at the kinks of psi and at the points where
## the centre m(z) = z - h psi(z) / A crosses a kink of w at scale tau; the
## inner one, over U, is a Gauss-Legendre rule on +-9 standard deviations
## split where (m + U) / tau crosses a kink of w, so that every piece is
## smooth.
.smdm_moment <- function(tau, h, fam, cst, q = 16L) {
  A <- cst[["A"]]
  kappa <- cst[["kappa"]]
  v <- (h - h^2) * cst[["B"]] / A^2
  bw <- fam$breaks
  g <- function(s) fam$wgt(s) * (s^2 - kappa)
  m_of <- function(z) z - h * fam$psi(z) / A
  zb <- c(0, bw[bw < 9], 1, 2, 3, 4, 6, 9)
  ## where m(z) = tau b: by fixed-point iteration while m is increasing
  tb <- tau * bw[tau * bw < 9]
  if (length(tb)) {
    z <- tb
    for (it in 1:40) z <- tb + h * fam$psi(z) / A
    ok <- is.finite(z) & z > 0 & z < 9 & abs(m_of(z) - tb) < 1e-9
    zb <- c(zb, z[ok])
  }
  rz <- .composite_gl(sort(unique(zb)), 24L)
  z <- rz$x
  wz <- 2 * rz$w * stats::dnorm(z)
  m <- m_of(z)
  if (v <= 0) return(sum(wz * g(m / tau)))
  sd <- sqrt(v)
  gl <- .gauss_legendre(q)
  ## break points of the U integral, in standard deviations, per z (rows)
  cuts <- outer(m, c(-rev(bw), bw) * tau, function(m, b) (b - m) / sd)
  cuts <- pmin(pmax(cbind(-9, cuts, -4, -2, 0, 2, 4, 9), -9), 9)
  cuts <- matrix(cuts[order(row(cuts), cuts)], nrow(cuts), byrow = TRUE)
  lo <- cuts[, -ncol(cuts), drop = FALSE]
  hi <- cuts[, -1L, drop = FALSE]
  inner <- numeric(length(z))
  for (j in seq_len(q)) {
    x <- (lo + hi) / 2 + gl$x[j] * (hi - lo) / 2
    val <- g((m + sd * x) / tau) * stats::dnorm(x)
    inner <- inner + gl$w[j] * rowSums(val * (hi - lo) / 2)
  }
  sum(wz * inner)
}

## tau(h) by a root search (tau(0) = 1 since kappa makes the moment vanish).
.smdm_tau_solve <- function(h, fam, cst) {
  if (h <= 0) return(1)
  f <- function(t) .smdm_moment(t, h, fam, cst)
  stats::uniroot(f, c(1e-3, 1.5), tol = 1e-12)$root
}

## Leverages of the table: steps of 0.04, denser towards 1 where tau falls
## steeply; tau^2 is interpolated (it is linear in h for psi(u) = u).
.smdm_grid <- c(seq(0, 0.92, by = 0.04), 0.94, 0.955, 0.97, 0.98, 0.99, 0.995, 0.998,
                0.999)

.smdm_cache <- new.env(parent = emptyenv())

## kappa, gamma and the interpolating function of tau for a family and its
## constants, computed once and kept.
.smdm_table <- function(code, k) {
  key <- paste(code, paste(format(k, digits = 17), collapse = ","))
  tab <- .smdm_cache[[key]]
  if (!is.null(tab)) return(tab)
  fam <- .smdm_family(code, k)
  cst <- .smdm_constants(fam)
  t2 <- vapply(.smdm_grid, function(h) .smdm_tau_solve(h, fam, cst)^2, 0)
  sp <- stats::splinefun(.smdm_grid, t2, method = "fmm")
  hmax <- max(.smdm_grid)
  tau <- function(h) {
    out <- numeric(length(h))
    tab_part <- h <= hmax
    out[tab_part] <- sqrt(pmax(sp(pmax(h[tab_part], 0)), 0))
    out[!tab_part] <- vapply(h[!tab_part], function(x) .smdm_tau_solve(x, fam, cst), 0)
    out
  }
  tab <- list(kappa = cst[["kappa"]], gamma = cst[["gamma"]], constants = cst, tau = tau,
              fam = fam)
  .smdm_cache[[key]] <- tab
  tab
}

## Leverages of the rows of the (prior-weighted) design.
.leverages <- function(x) {
  q <- qr.Q(qr(x))
  rowSums(q^2)
}

## The D-step: the scale of the residuals r with their leverage factors,
## started from 'scale'.  Observations with leverage 1 (an exact fit
## through them whatever the response) carry no information on the scale
## and are left out.
.stage_D <- function(x, r, scale, control, tuning = control$tuning_psi) {
  code <- .psi_code(control$psi)
  tab <- .smdm_table(code, tuning)
  h <- .leverages(x)
  use <- h < 1 - 1e-8
  tau <- tab$tau(h[use])
  d <- .find_D_scale(r[use], tab$kappa, tau, scale, tuning, code, variant = 3L,
                     rel_tol = control$rel_tol, max_k = control$max_it_scale)
  list(scale = d$scale, leverages = h, tau = tau, kappa = tab$kappa,
       status = list(method = "D", converged = isTRUE(d$converged)))
}

## The last two stages of SMDM from the MM estimate (beta, in the units of
## the fitted data) and the S scale: the D-scale of the MM residuals, then
## the M-step again with that scale held fixed, started from beta.
.stage_SMDM <- function(d, beta, scale, control, ctrl) {
  ds <- .stage_D(d$x, drop(d$y - d$x %*% beta), scale, control)
  if (!isTRUE(ds$scale > 0) || !is.finite(ds$scale))
    stop("the D-scale of the MM residuals is not a positive number", call. = FALSE)
  m <- .stage_MM(d, beta, ds$scale, ctrl)
  m$status$method <- "M (D-scale)"
  list(coefficients = m$coefficients, scale = ds$scale, leverages = ds$leverages,
       status = list(D = ds$status, M = m$status))
}
