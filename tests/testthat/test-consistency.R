## Finite-sample factors of lts and mcd: the stored formulas against a fresh
## determination, the share of clean cases flagged, and the reweighted LTS
## intervals.  (Full-size runs: bench/consistency-factors.R, bench/inference.R.)

test_that("a fresh determination reproduces the stored factors", {
  ## The simulations divide out the stored factor of their own stage, so an
  ## exact formula gives a ratio of 1; windows are 3 Monte Carlo SE of this
  ## run plus 3% for the formula (its fit to the full determination).
  lt <- kelvara:::.lts_factor_sim(30, 3, alpha = 0.5, nrep = 120L, seed = 77L)
  expect_true(all(abs(lt[, "factor"] - 1) < 3 * lt[, "se"] + 0.03), info = format(lt))
  mc <- kelvara:::.mcd_factor_sim(40, 3, alpha = 0.75, nrep = 80L, seed = 78L)
  expect_true(all(abs(mc[, "factor"] - 1) < 3 * mc[, "se"] + 0.03), info = format(mc))
  ## the formulas tend to 1 and interpolate in alpha
  f <- kelvara:::.small_sample_factor
  expect_equal(f("mcd_raw", 1e7, 3, 0.5), 1, tolerance = 1e-4)
  expect_identical(f("lts_raw", 50, 3, 1), 1)
  expect_equal(log(f("mcd_rw", 50, 3, 0.625)),
               mean(log(c(f("mcd_rw", 50, 3, 0.5), f("mcd_rw", 50, 3, 0.75)))))
})

test_that("clean normal data get the nominal share of flags at small and large n", {
  set.seed(21)
  flags <- function(n, p, R) {
    rowSums(replicate(R, {
      X <- matrix(rnorm(n * p), n)
      l <- lts(if (p > 1) X[, -1, drop = FALSE] else NULL, rnorm(n))
      c(lts = sum(l$outlier), mcd = sum(mcd(X)$weights == 0L))
    })) / (n * R)
  }
  ## Nominal shares: 2 pnorm(-2.5) = 0.0124 (lts), 0.025 (mcd).  Binomial SE
  ## with 3000 cases: 0.002 and 0.0029; the windows allow 3 SE with a
  ## design effect of 1.5 for the dependence within a sample.  Without the
  ## factors the shares were 0.27 and 0.43 at n = 20, p = 5.
  for (s in list(flags(20, 5, 150), flags(150, 2, 20)))
    expect_true(s[["lts"]] > 0.003 && s[["lts"]] < 0.022 && s[["mcd"]] > 0.012 &&
                  s[["mcd"]] < 0.038, info = format(s))
})

test_that("reweighted LTS: consistent scale and 95% intervals at n = 100", {
  set.seed(22)
  n <- 100
  beta <- c(1, 1, -1, 0.5)
  R <- 150
  hit <- 0; s2 <- numeric(R)
  for (r in seq_len(R)) {
    X <- matrix(rnorm(n * 3), n)
    y <- drop(cbind(1, X) %*% beta) + rnorm(n)
    f <- lts(X, y)
    q <- stats::qt(0.975, sum(f$weights) - 4)
    hit <- hit + sum(abs(f$reweighted$coefficients - beta) < q * sqrt(diag(f$reweighted$cov)))
    s2[r] <- f$reweighted$scale^2
  }
  ## 600 intervals: SE of the coverage 0.009, window +- 3 SE (it was 0.83).
  expect_true(hit / (4 * R) > 0.923 && hit / (4 * R) < 0.977, info = format(hit / (4 * R)))
  ## E s^2 = 1; SE of the mean of 150 values about 0.012 (s^2 has variance
  ## near 2 / 93): window +- 4 SE.  It was 0.91 (0.955 sigma).
  expect_equal(mean(s2), 1, tolerance = 0.05)
})
