test_that("Qn0 and Sn0 equal their definitions on random samples with ties", {
  set.seed(202)
  bad <- failures(500, function(rep) {
    n <- sample(2:60, 1)
    x <- univariate_sample(n, sample(5, 1))
    s <- Sn0_c(x)
    r <- sn0_ref(x)
    if (!identical(list(Qn0_c(x), s$result, s$a2, s$x), list(qn0_ref(x), r$sn, r$a2, sort(x))))
      describe(x)
  })
  expect_identical(bad, NULL)
  # The search brackets the answer with single-precision trial values, and
  # ranks the differences that round alike in full precision: the result is
  # exact also where single precision cannot hold the differences, down to
  # its subnormal range and beyond its largest value.
  set.seed(3)
  for (sc in c(1, 1e-40, 1e-44, 1e-300, 1e38, 1e39, 1e300)) {
    for (rep in 1:15) {
      x <- rnorm(sample(5:40, 1)) * sc
      expect_identical(Qn0_c(x), qn0_ref(x), label = format(sc))
    }
  }
})

test_that("Qn and Sn: unbiasedness at the normal model and n = 1", {
  # Sn0 trusts its flag: unsorted data declared sorted are taken as they are.
  u <- Sn0_c(c(1, 10, 2, 11, 3), is_sorted = 1L)
  expect_identical(u$x, c(1, 10, 2, 11, 3))
  expect_false(u$result == Sn0_c(c(1, 10, 2, 11, 3))$result)

  # A single value has no spread to estimate.
  expect_identical(c(qn(3), sn(3), qn(c(3, NA), na.rm = TRUE)), rep(NA_real_, 3))
  # Consistency at the normal model.
  set.seed(11)
  z <- rnorm(20000)
  expect_equal(qn(z), 1, tolerance = 0.03)
  expect_equal(sn(z), 1, tolerance = 0.03)
  # The small-sample factors make both unbiased at the normal model: means
  # over 1500 samples of n = 2..9.  Standard deviations there are at most
  # about 0.75, so a mean's Monte Carlo standard error is below 0.02; the
  # window of 0.1 is five of them.
  set.seed(12)
  for (n in 2:9) {
    z <- matrix(rnorm(1500 * n), n)
    expect_equal(mean(apply(z, 2, qn)), 1, tolerance = 0.1, label = paste("qn, n =", n))
    expect_equal(mean(apply(z, 2, sn)), 1, tolerance = 0.1, label = paste("sn, n =", n))
  }
})

test_that("Qn and Sn are location invariant and scale equivariant", {
  set.seed(303)
  for (rep in 1:40) {
    n <- sample(3:50, 1)
    x <- univariate_sample(n, sample(c(1:3, 5), 1))
    # Powers of two and sign changes are exact, even in single precision.
    expect_identical(c(qn(4 * x), sn(-0.5 * x), sn(sample(x))), c(4 * qn(x), 0.5 * sn(x), sn(x)))
    a <- rnorm(1, sd = 5)
    b <- exp(rnorm(1))
    expect_equal(qn(a + b * x), b * qn(x), tolerance = 1e-12)
    expect_equal(sn(a + b * x), b * sn(x), tolerance = 1e-12)
  }
  # Constant data, and half of the sample moved far away.
  expect_identical(c(qn(rep(7, 30)), sn(rep(7, 30))), c(0, 0))
  set.seed(4)
  z <- replace(rnorm(200), 1:80, 1e6)
  expect_lt(max(qn(z), sn(z)), 5)
})

test_that("Qn on a large sample uses 64-bit counts", {
  # x = 1..n: the difference d occurs n - d times, so the order statistic
  # of rank h(h-1)/2 is known without forming the pairs.
  n <- 100001
  h <- n %/% 2 + 1
  d <- which(cumsum(as.double(n - seq_len(n - 1))) >= h * (h - 1) / 2)[1]
  set.seed(5)
  expect_identical(Qn0_c(sample(n)), as.double(d))
})

test_that("Qn0 on large samples equals the order statistic found by counting", {
  # Multiples of 1/8 in a modest range: every difference and every x + t
  # below is exact, so the number of pairs with x_j - x_i <= t follows from
  # findInterval, and the order statistic from bisection over the grid.
  qn0_count <- function(x) {
    x <- sort(x)
    n <- length(x)
    h <- n %/% 2 + 1
    k <- h * (h - 1) / 2
    pairs_upto <- function(t) sum(as.double(findInterval(x + t, x))) - n * (n + 1) / 2
    lo <- 0; hi <- (x[n] - x[1]) * 8
    while (lo < hi) {
      mid <- (lo + hi) %/% 2
      if (pairs_upto(mid / 8) >= k) hi <- mid else lo <- mid + 1
    }
    lo / 8
  }
  set.seed(11)
  samples <- list(
    distinct = sample(-40000:40000, 6000) / 8,
    heavy_tie = c(rep(3, 2600), round(rnorm(2401) * 200) / 8),
    # a regular pattern, which evenly spaced samples of the candidates alias
    periodic = as.double((seq_len(6000) %% 97)^2),
    # negative zeros among the data take the plain route of the search
    signed_zeros = c(rep(c(0, -0), 1500), sample(-800:800, 2500, replace = TRUE) / 8)
  )
  for (nm in names(samples)) {
    x <- samples[[nm]]
    expect_identical(Qn0_c(x), qn0_count(x), label = nm)
    # permutation and negation change nothing
    expect_identical(Qn0_c(rev(-x)), qn0_count(x), label = nm)
  }
})

test_that("Qn and Sn refuse bad input and never change the caller's vector", {
  x <- c(5, 1, 4, 2, 3)
  xi <- c(5L, 1L, 4L)
  sn(x); qn(x); sn(xi)
  expect_identical(list(x, xi), list(c(5, 1, 4, 2, 3), c(5L, 1L, 4L)))
  expect_error(qn(c(1, Inf, 3)), "infinite")
  expect_identical(c(qn(c(1, NA, 2, 5), na.rm = TRUE), sn(c(1, NA, 2, 5), na.rm = TRUE)),
                   c(qn(c(1, 2, 5)), sn(c(1, 2, 5))))
  expect_identical(.C("Qn0", 3, 1L, result = double(1), PACKAGE = "kelvara")$result, 0)
})

test_that("Qn, Sn and the weighted high median do not depend on the units of the data", {
  set.seed(31)
  x <- rnorm(50)
  w <- runif(50)
  q <- qn(x); s <- sn(x); m <- whimed(x, w)
  # Factors over 200 decades, where single-precision trial values once
  # underflowed (1e-150) or overflowed (1e150).
  for (a in c(1e-150, 1e-100, 1e-45, 3e-7, 7e12, 1e39, 1e100, 1e150)) {
    expect_equal(qn(a * x) / a, q, tolerance = 1e-12, label = format(a))
    expect_equal(sn(a * x) / a, s, tolerance = 1e-12, label = format(a))
    expect_equal(whimed(a * x, w) / a, m, tolerance = 1e-12, label = format(a))
    expect_equal(whimed(x, a * w), m, label = format(a))
  }
  # Shifts of 1e8 times the spread, on a grid where the shifted data are exact.
  g <- round(rnorm(3000) * 2^16) / 2^16
  for (b in c(-1e8, 1e8)) expect_identical(c(qn(g + b), sn(g + b)), c(qn(g), sn(g)))
})
