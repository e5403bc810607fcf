test_that("Qn0 and Sn0 equal their definitions on random samples with ties", {
  set.seed(202)
  bad <- failures(500, function(rep) {
    n <- sample(2:60, 1)
    shape <- sample(5, 1)
    x <- univariate_sample(n, shape)
    q <- Qn0_c(x)
    e <- qn0_ref(x)
    s <- Sn0_c(x)
    r <- sn0_ref(x)
    # The search works on single-precision differences and may return one;
    # on differences exact in single precision it is the exact value.
    ok <- (q == e || q == to_single(e)) && (!(shape %in% 2:3) || q == e) &&
      identical(s$result, r$sn) && identical(s$a2, r$a2) && identical(s$x, sort(x))
    if (!ok) describe(x)
  })
  expect_identical(bad, NULL)
  # Differences that single precision cannot hold: either form, and the
  # rounded one does occur.
  set.seed(3)
  got_single <- FALSE
  for (rep in 1:200) {
    x <- rnorm(40)
    q <- Qn0_c(x)
    e <- qn0_ref(x)
    expect_true(q == e || q == to_single(e))
    got_single <- got_single || (q != e)
  }
  expect_true(got_single)
  # Differences in the subnormal range of single precision or beyond its
  # largest value.
  for (sc in c(1e-40, 1e-44, 1e-300, 1e38, 1e39, 1e300)) {
    for (rep in 1:15) {
      x <- rnorm(sample(5:40, 1)) * sc
      q <- Qn0_c(x)
      e <- qn0_ref(x)
      expect_true(q == e || q == to_single(e), info = sc)
    }
  }
})

test_that("Qn and Sn: worked values, small-sample factors and n = 1", {
  expect_identical(Qn0_c(c(4, 1.5)), 2.5)
  expect_identical(Qn0_c(1:5), 1)
  expect_identical(Qn0_c(rep(2.5, 7)), 0)
  s1 <- Sn0_c(42)
  expect_identical(c(s1$result, s1$a2), c(0, 0))
  expect_identical(Sn0_c(c(5, 2))$result, 3)
  expect_identical(Sn0_c(rep(-1, 6))$result, 0)
  # Sn0 trusts its flag: unsorted data declared sorted are taken as they are.
  expect_identical(Sn0_c(c(1, 10, 2, 11, 3), is_sorted = 1L)$x, c(1, 10, 2, 11, 3))
  expect_false(Sn0_c(c(1, 10, 2, 11, 3), is_sorted = 1L)$result ==
                 Sn0_c(c(1, 10, 2, 11, 3))$result)

  qn_d <- c(0.399, 0.994, 0.512, 0.844, 0.611, 0.857, 0.669, 0.872)
  sn_c <- c(0.743, 1.851, 0.954, 1.351, 0.993, 1.198, 1.005, 1.131)
  set.seed(9)
  for (n in 2:13) {
    x <- rnorm(n)
    d <- if (n <= 9) qn_d[n - 1] else if (n %% 2) n / (n + 1.4) else n / (n + 3.8)
    cn <- if (n <= 9) sn_c[n - 1] else if (n %% 2) n / (n - 0.9) else 1
    expect_identical(qn(x, finite.corr = FALSE), Qn0_c(x) * 2.2219)
    expect_identical(qn(x), Qn0_c(x) * 2.2219 * d)
    expect_identical(sn(x, finite.corr = FALSE), Sn0_c(x)$result * 1.1926)
    expect_identical(sn(x), cn * (Sn0_c(x)$result * 1.1926))
  }
  x10 <- c(3, 8, 1, 9, 4, 7, 2, 10, 5, 6)
  expect_equal(qn(x10) / qn(x10, finite.corr = FALSE), 10 / 13.8)
  expect_equal(qn(c(x10, 11)) / qn(c(x10, 11), finite.corr = FALSE), 11 / 12.4)
  # A single value has no spread to estimate.
  expect_identical(qn(3), NA_real_)
  expect_identical(sn(3), NA_real_)
  expect_identical(qn(c(3, NA), na.rm = TRUE), NA_real_)
  expect_identical(qn(c(1, 4)), 3 * 2.2219 * 0.399)
  expect_identical(sn(c(1, 4)), 0.743 * (3 * 1.1926))
  # Consistency at the normal model.
  set.seed(11)
  z <- rnorm(20000)
  expect_equal(qn(z), 1, tolerance = 0.03)
  expect_equal(sn(z), 1, tolerance = 0.03)
})

test_that("Qn and Sn are location invariant and scale equivariant", {
  set.seed(303)
  for (rep in 1:100) {
    n <- sample(3:50, 1)
    x <- univariate_sample(n, sample(c(1:3, 5), 1))
    # Powers of two and sign changes are exact, even in single precision.
    expect_identical(qn(4 * x), 4 * qn(x))
    expect_identical(sn(-0.5 * x), 0.5 * sn(x))
    # Reflection takes another search path, which may end on the
    # single-precision trial value instead of the exact one.
    expect_equal(qn(-x), qn(x), tolerance = 1e-7)
    expect_identical(qn(rev(x)), qn(x))
    expect_identical(sn(sample(x)), sn(x))
    a <- rnorm(1, sd = 5)
    b <- exp(rnorm(1))
    expect_equal(qn(a + b * x), b * qn(x), tolerance = 1e-6)
    expect_equal(sn(a + b * x), b * sn(x), tolerance = 1e-12)
  }
  # Constant data, and half of the sample moved far away.
  expect_identical(qn(rep(7, 30)), 0)
  expect_identical(sn(rep(7, 30)), 0)
  set.seed(4)
  z <- rnorm(200)
  z[1:80] <- 1e6
  expect_lt(qn(z), 5)
  expect_lt(sn(z), 5)
})

test_that("Qn on a large sample uses 64-bit counts", {
  # x = 1..n: the difference d occurs n - d times, so the order statistic
  # of rank h(h-1)/2 is known without forming the pairs.
  n <- 100001
  h <- n %/% 2 + 1
  k <- h * (h - 1) / 2
  d <- which(cumsum(as.double(n - seq_len(n - 1))) >= k)[1]
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
    lo <- 0
    hi <- (x[n] - x[1]) * 8
    while (lo < hi) {
      mid <- (lo + hi) %/% 2
      if (pairs_upto(mid / 8) >= k) hi <- mid else lo <- mid + 1
    }
    lo / 8
  }
  set.seed(11)
  samples <- list(
    distinct = sample(-40000:40000, 6000) / 8,
    ties = round(rnorm(5001) * 30) / 8,
    heavy_tie = c(rep(3, 2600), round(rnorm(2401) * 200) / 8),
    offset = 4096 + sample(0:30000, 7000, replace = TRUE) / 8,
    skewed = round(rexp(6500) * 100) / 8,
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
  x0 <- x
  sn(x)
  qn(x)
  expect_identical(x, x0)
  xi <- c(5L, 1L, 4L)
  sn(xi)
  expect_identical(xi, c(5L, 1L, 4L))
  for (f in list(qn, sn)) {
    expect_error(f("a"), "numeric")
    expect_error(f(TRUE), "numeric")
    expect_error(f(factor(1:3)), "numeric")
    expect_error(f(numeric(0)), "empty")
    expect_error(f(c(1, NA, 3)), "missing values")
    expect_error(f(c(NA_real_, NA_real_), na.rm = TRUE), "empty")
    expect_error(f(c(1, Inf, 3)), "infinite")
    expect_error(f(1:3, finite.corr = NA), "finite.corr")
    expect_error(f(1:3, na.rm = "yes"), "na.rm")
  }
  expect_identical(qn(c(1, NA, 2, 5), na.rm = TRUE), qn(c(1, 2, 5)))
  expect_identical(sn(c(1, NA, 2, 5), na.rm = TRUE), sn(c(1, 2, 5)))
  expect_error(Qn0_c(c(1, NaN)), "missing or infinite")
  expect_error(Qn0_c(numeric(0)), "empty")
  expect_error(Sn0_c(numeric(0)), "empty")
  expect_identical(.C("Qn0", 3, 1L, result = double(1), PACKAGE = "kelvara")$result, 0)
})
