## The psi families: worked values, the entry points' conventions, and the
## relations between chi, psi, psi' and the weight checked numerically.

## |actual - expected| <= tol everywhere (an absolute tolerance).
expect_close <- function(actual, expected, tol, info = NULL) {
  d <- max(abs(actual - expected))
  expect(isTRUE(d <= tol), sprintf("largest difference %g exceeds %g%s", d, tol,
                                  if (is.null(info)) "" else paste0(" (", info, ")")))
}

## Family, constants, break points of psi (where psi' may jump), the point
## from which chi is 1 (NA: none) and whether psi = d rho~ / dx is checked
## by differences (the built-in ggw chi is a tabulated polynomial and the
## general case an integral: both are checked against integrals of psi).
families <- list(
  list("bisquare", 4.685061, 4.685061, 4.685061, TRUE),
  list("gaussweight", 2.11, 2.11 * 37.7, NA, TRUE),
  list("optimal", 1.060158, 1.060158 * 2:3, 1.060158 * 3, TRUE),
  list("hampel", c(1.5, 3.5, 8) * 0.9016085, c(1.5, 3.5, 8) * 0.9016085, 8 * 0.9016085, TRUE),
  list("hampel", c(1, 1, 3), c(1, 3), 3, TRUE),
  list("lqq", c(1.4735, 0.9823, 1.5), NULL, NULL, TRUE),
  list("lqq", c(1, 1, 2), c(1, 2, 4), 4, TRUE),
  list("ggw", 1, 1.694, 18.5527638190955, FALSE),
  list("ggw", 6, 0.2959132, 3.17587939698492, FALSE))
lqq_breaks <- function(k) {
  bc <- k[1] + k[2]; A <- k[1] * k[3] - 2 * bc
  c(k[2], bc, bc - A / (k[3] - 1))
}
for (i in seq_along(families)) if (families[[i]][[1]] == "lqq")
  families[[i]][3:4] <- list(br <- lqq_breaks(families[[i]][[2]]), br[3])

test_that("bisquare worked values and the entry points' conventions", {
  expect_equal(psifun(0:3, 2, 1, 0), c(0, 0.5625, 0, 0))
  x <- c(-3, -1.2, 0, 0.7, 1.9, 2, 4)
  for (code in c(0, 100)) {
    for (d in -1:1) expect_identical(psifun(x, 2, code, d), psifun(x, 2, 1, d))
    for (d in 0:2) expect_identical(chifun(x, 2, code, d), chifun(x, 2, 1, d))
    expect_identical(wgtfun(x, 2, code), wgtfun(x, 2, 1))
  }
  # unlisted deriv values: psi and chi
  expect_identical(list(psifun(x, 2, 1, 2), chifun(x, 2, 1, 3)),
                   list(psifun(x, 2, 1, 0), chifun(x, 2, 1, 0)))
  # n = 0 (or negative) touches nothing, whatever the family
  for (code in 1:6) {
    k <- if (code == 5) 1 else c(1, 2, 3)
    expect_identical(c(psifun(c(0.3, 9), k, code, -1, n = 0), chifun(c(0.3, 9), k, code, 2, n = -1),
                       wgtfun(c(0.3, 9), k, code, n = 0)), rep(c(0.3, 9), 3))
  }
  # NaN goes through the formulas; |x| = c is inside
  expect_true(all(is.nan(c(psifun(NaN, 2, 1, 0), psifun(NaN, 2, 1, 1),
                           chifun(NaN, 2, 1, 0), wgtfun(NaN, 2, 1)))))
  expect_identical(c(chifun(-2, 2, 1), psifun(2, 2, 1), wgtfun(2, 2, 1)), c(1, 0, 0))
})

test_that("optimal, hampel and gaussweight worked values", {
  x <- c(1, 2.5, -2.5, 3.5)
  expect_equal(psi_func(x, "optimal", 1), c(1, 1.436875, -1.436875, 0), tolerance = 1e-7)
  # |t| = 2 is inner, |t| = 3 polynomial (psi, psi' and weight 0 up to rounding)
  expect_identical(psi_func(c(-2, 2) * 1.3, "optimal", 1.3), c(-2, 2) * 1.3)
  expect_equal(c(psi_func(3, "optimal", 1), psi_func(3, "optimal", 1, 1),
                 wgt_func(3, "optimal", 1)), c(0, 0, 0), tolerance = 1e-12)
  # near |t| = 3 rounding never gives psi the wrong sign
  t3 <- 3 - 10^-(6:12)
  expect_true(all(psi_func(t3, "optimal", 1) >= 0) && all(psi_func(-t3, "optimal", 1) <= 0))
  x <- c(1, 2, 3, 5, 7, 8, 10); h <- c(2, 4, 8)
  expect_equal(chi_func(x, "hampel", h), c(0.05, 0.2, 0.4, 0.775, 0.975, 1, 1))
  expect_equal(psi_func(x, "hampel", h), c(1, 2, 2, 1.5, 0.5, 0, 0))
  expect_equal(psi_func(x, "hampel", h, 1), c(1, 1, 0, -0.5, -0.5, -0.5, 0))
  # NaN fails every test of the hampel functions: the outermost branch
  expect_identical(c(chifun(NaN, h, 4), psifun(NaN, h, 4), wgtfun(NaN, h, 4)), c(1, 0, 0))
  expect_equal(chi_func(1, "gaussweight", 1), 1 - exp(-0.5))
  expect_identical(c(psi_func(40, "gaussweight", 1), psi_func(40, "gaussweight", 1, 1),
                     chi_func(40, "gaussweight", 1), wgt_func(40, "gaussweight", 1)),
                   c(0, 0, 1, 0))
  # the cut-off is |t| > 37.7 for psi and psi' only
  expect_true(psi_func(37.6, "gaussweight", 1) > 0 && wgt_func(37.8, "gaussweight", 1) > 0)
})

test_that("ggw and lqq worked values, ggw case errors and the underflow cut", {
  expect_equal(chi_func(1, "ggw", 1), 0.094164571656733, tolerance = 1e-14)
  expect_equal(chi_func(c(1.694, 5.082), "ggw", 1), c(0.27021804, 0.886008742),
               tolerance = 1e-8)
  expect_equal(psi_func(2.694, "ggw", 1), 2.694 * exp(-0.5 / 0.648), tolerance = 1e-15)
  # normalising constant of the general case: 1 / k[4]
  expect_identical(c(chifun(0, c(0, 1, 1, 1, 4), 5, 2), chifun(0, c(-0.5, 1, 1, 1, 4), 5, 2)),
                   c(0.25, 0.25))
  # case errors, through the entry points
  expect_error(psifun(1, 7, 5, 0), "psi_ggw: Case not implemented.", fixed = TRUE)
  expect_error(chifun(1, 7, 5), "rho_ggw: Case (7) not implemented.", fixed = TRUE)
  expect_error(chifun(1, c(NaN, 1, 1, 1, 1), 5), "psi_ggw: Case not implemented.", fixed = TRUE)
  # k[0] = 0.5 is case 0 for psi (truncation toward zero)
  k0 <- c(0.5, 0.648, 1, 1.694, 5.309858)
  expect_identical(psifun(3, k0, 5), 3 * exp(-0.5 * (3 - 1.694) / 0.648))
  # a call that failed leaves the module usable
  expect_identical(psi_func(1, "ggw", 1), 1)
  # psi and psi' are exactly 0 once (|x| - c)^b / (2a) > 708.4
  x_end <- 1.694 + 2 * 0.648 * 708.4
  for (dv in 0:1) expect_identical(psi_func(c(x_end + 1e-6, 1e6), "ggw", 1, dv), c(0, 0))
  expect_gt(psi_func(x_end - 1e-3, "ggw", 1), 0)
  expect_identical(psi_func(1e6, "ggw", 4), 0)
  # general case: chi is the integral of psi over k[4]
  k0 <- c(0, 0.648, 1, 1.694, 5.309858)
  expect_equal(chi_func(1, "ggw", k0), 0.5 / 5.309858, tolerance = 1e-12)
  expect_equal(chi_func(c(-40, 100, 1e8, 1e300, Inf), "ggw", k0), rep(1, 5), tolerance = 1e-5)
  expect_identical(chifun(c(NaN, Inf), k0, 5), c(NaN, 1))
  x <- c(0.5, 1.5, 2, 3, 4, -3)
  expect_equal(psi_func(x, "lqq", c(1, 1, 2)), c(0.5, 1.25, 1, 0.25, 0, -0.25))
  expect_equal(wgt_func(x[1:5], "lqq", c(1, 1, 2)), c(1, 1.25 / 1.5, 0.5, 0.25 / 3, 0))
  expect_identical(c(chi_func(4, "lqq", c(1, 1, 2)), psi_func(0, "lqq", c(1, 1, 2))), c(1, 0))
})

test_that("psi, psi', weight and chi agree with each other in every family", {
  h <- 1e-5
  for (f in families) {
    fam <- f[[1]]; k <- f[[2]]; brk <- f[[3]]; rej <- f[[4]]
    lim <- 1.3 * max(c(brk[brk < 100], 3))
    x <- seq(-lim, lim, length.out = 301)
    x <- x[vapply(x, function(v) all(abs(abs(v) - brk) > 10 * h), TRUE)]
    info <- paste(fam, paste(signif(k, 6), collapse = ","))
    N <- chi_func(0, fam, k, deriv = 2)
    rt <- function(v) psi_func(v, fam, k, deriv = -1); ps <- function(v) psi_func(v, fam, k)
    pp <- psi_func(x, fam, k, deriv = 1)
    # psi' by central differences of psi
    expect_close((ps(x + h) - ps(x - h)) / (2 * h), pp, 1e-6, info)
    # psi by central differences of rho~ = chi / N
    if (f[[5]])
      expect_close((rt(x + h) - rt(x - h)) / (2 * h), ps(x), 1e-6 * max(1, abs(ps(x))), info)
    nz <- x[x != 0]
    expect_equal(wgt_func(nz, fam, k), ps(nz) / nz, tolerance = 1e-12, info = info)
    expect_identical(c(ps(0), wgt_func(0, fam, k), pp[x == 0]), c(0, 1, rep(1, sum(x == 0))))
    for (dv in 0:2) expect_equal(chi_func(x, fam, k, deriv = dv),
                                 N * list(rt(x), ps(x), pp)[[dv + 1]], tolerance = 1e-14, info = info)
    # chi: even, 0 at 0, non-decreasing in |x|, at most 1, 1 from the
    # rejection point on; psi odd
    expect_identical(list(chi_func(x, fam, k), ps(-x)), list(chi_func(-x, fam, k), -ps(x)), info)
    chp <- chi_func(seq(0, 1.5 * lim, length.out = 2001), fam, k)
    expect_true(identical(chp[1], 0) && all(diff(chp) >= -1e-6) && all(chp <= 1 + 1e-9), info)
    if (!is.na(rej[1])) {
      expect_true(all(chi_func(rej * c(1 + 1e-9, 1.5, 10, 1e10), fam, k) == 1), info = info)
      expect_equal(chi_func(rej, fam, k), 1, tolerance = 2e-5, info = info)
      # (the ggw psi only decays)
      if (fam != "ggw") expect_true(all(ps(rej * c(1 + 1e-9, 2, 1e10)) == 0), info = info)
    }
    # continuity of chi, psi and the weight at every break point (the
    # pieces of the tabulated ggw chi join to about 1e-5)
    for (b in brk) {
      at <- b * c(1 - 1e-10, 1 + 1e-10); inf_b <- paste(info, "at", b)
      expect_close(chi_func(at[1], fam, k), chi_func(at[2], fam, k),
                   if (fam == "ggw") 1e-5 else 1e-8, inf_b)
      expect_close(ps(at[1]), ps(at[2]), 1e-8, inf_b)
      expect_close(wgt_func(at[1], fam, k), wgt_func(at[2], fam, k), 1e-8, inf_b)
    }
  }
})

## Cumulative Simpson integral of f over 0, h, 2h, ..., upto.
simpson_cum <- function(f, upto, h = 2e-3) {
  g <- seq(0, upto, by = h); m <- length(g)
  c(0, cumsum((f(g[-m]) + 4 * f(g[-m] + h / 2) + f(g[-1])) * h / 6))
}

test_that("the ggw chi is the normalised integral of its psi", {
  # Built-in cases: the tabulated polynomials against a brute-force integral
  # of psi (normalised by its total, which is 1/N only for cases 1 and 4).
  xs <- c(0.1, 0.3, 0.5, 1, 1.5, 2, 2.5, 3, 4, 5, 6, 8, 10, 12, 15, 18)
  for (cs in 1:6) {
    I <- simpson_cum(function(t) psi_func(t, "ggw", cs), 40)
    expect_close(chi_func(xs, "ggw", cs), I[round(xs / 2e-3) + 1] / I[length(I)], 1e-5,
                 paste("case", cs))
    if (cs %in% c(1, 4))
      expect_equal(I[length(I)], 1 / chi_func(0, "ggw", cs, deriv = 2), tolerance = 1e-5)
    # the three pieces of the polynomial join continuously
    cc <- c(1.694, 1.2442567, 0.437547, 1.063, 0.7593544, 0.2959132)[cs]
    E <- c(18.5527638190955, 13.7587939698492, 4.89447236180905, 11.4974874371859,
           8.15075376884422, 3.17587939698492)[cs]
    for (b in c(cc, 3 * cc, E))
      expect_close(chi_func(b * (1 - 1e-12), "ggw", cs), chi_func(b * (1 + 1e-12), "ggw", cs),
                   2e-5, paste("case", cs, "at", b))
  }
  # General case 0, with parameters of no built-in case.
  a <- 0.9; b <- 1.3; cc <- 0.8
  psi0 <- function(t) ifelse(t < cc, t, t * exp(-0.5 * (t - cc)^b / a))
  I <- simpson_cum(psi0, 60); k0 <- c(0, a, b, cc, I[length(I)])
  xs <- c(0.2, 0.8, 1, 2, 3.3, 5, 9, 20)
  expect_equal(psi_func(xs, "ggw", k0), psi0(xs), tolerance = 1e-14)
  expect_close(chi_func(c(xs, -xs), "ggw", k0), rep(I[round(xs / 2e-3) + 1], 2) / k0[5], 1e-5)
  # psi' of case 0 by differences, away from c
  x <- c(0.3, 1, 1.7, 2.5, 4, 7)
  expect_close((psi_func(x + 1e-6, "ggw", k0) - psi_func(x - 1e-6, "ggw", k0)) / 2e-6,
               psi_func(x, "ggw", k0, deriv = 1), 1e-6)
})

test_that("the R functions check their input and keep NA and attributes", {
  x <- c(a = -3, b = NA, c = 0.5, d = NaN, e = Inf)
  expect_identical(psi_func(x, "bisquare", 2),
                   c(a = 0, b = NA, c = 0.5 * (1 - 1 / 16)^2, d = NaN, e = 0))
  expect_identical(dim(wgt_func(matrix(c(0.1, NA, 7, 2), 2), "lqq", c(1, 1, 2))), c(2L, 2L))
  expect_identical(wgt_func(0.7, "biweight", 2), wgt_func(0.7, "bisquare", 2))
  # codes and names select the same families
  ks <- list(2, 2, 2, c(1, 2, 3), 1, c(1, 1, 2))
  for (i in 1:6) expect_identical(psi_func(c(0.5, 2.5), i, ks[[i]]),
                                  psi_func(c(0.5, 2.5), names(kelvara:::.psi_codes)[i], ks[[i]]))
  # one malformed constant of each kind, per family rule
  bad_cc <- list(list("bisquare", NA), list("bisquare", -1), list("optimal", Inf),
                 list("hampel", c(2, 1, 3)), list("ggw", 1.5), list("ggw", c(0, 1, -1, 1, 1)),
                 list("lqq", c(1, 1, 1)), list("lqq", c(0.5, 0.2, 3)))
  for (b in bad_cc) expect_error(psi_func(1, b[[1]], b[[2]]), "'cc'", label = b[[1]])
})

