test_that("medcouple equals the kernel value of its rank over all pairs", {
  set.seed(404)
  bad <- failures(600, function(rep) {
    n <- sample(1:60, 1)
    x <- univariate_sample(n, sample(5, 1))
    r <- mc_c(x)
    if (!(identical(r$result, mc_ref(x)) && r$iter[2] == 1L && identical(medcouple(x), r$result)))
      describe(x)
  })
  expect_identical(bad, NULL)
})

test_that("medcouple: border medians, small samples and the iteration limit", {
  mc_of <- function(x, ...) mc_c(x, ...)[c("result", "iter")]
  for (x in list(7, c(1, 9))) expect_identical(mc_of(x), list(result = 0, iter = c(0L, 1L)))
  expect_identical(mc_of(c(1, 2, 3, 3, 3)), list(result = -1, iter = c(0L, 1L)))
  expect_identical(c(medcouple(c(1, 1, 1, 2, 3)), medcouple(rep(2, 10))), c(1, -1))
  # Three values only: all pairs of the outer groups share one kernel value.
  expect_identical(medcouple(c(0, 0, 0, 4, 6, 6, 6)), -1 / 3)
  x <- c(1, 2, 3, 10, 20, 5, 7, 30, 2.5)
  expect_warning(r <- mc_of(x, maxit = 0L),
                 "maximal number of iterations (0 =? 0) reached prematurely", fixed = TRUE)
  expect_identical(r, list(result = -2, iter = c(0L, 0L)))
  expect_warning(r <- mc_c(x, maxit = 1L), "(1 =? 1)", fixed = TRUE)
  expect_identical(r$iter, c(1L, 0L))
  # medcouple() asks for at least one iteration: the value is then a kernel
  # value, within [-1, 1], even when the search stops early.
  expect_error(medcouple(x, max_it = 0), "max_it")
  expect_warning(m1 <- medcouple(x, max_it = 1), "prematurely")
  expect_true(abs(m1) <= 1)
  expect_identical(mc_of(x), list(result = mc_ref(x), iter = c(2L, 1L)))
})

test_that("medcouple is invariant to location and scale and changes sign on reflection", {
  set.seed(505)
  bad <- failures(150, function(rep) {
    # h1 * h2 odd, so that the middle kernel value is unique.
    x <- rexp(sample(c(5, 9, 13, 17, 21, 25, 29, 6, 10, 14, 18, 22, 26, 30), 1))^2
    m <- medcouple(x)
    ok <- isTRUE(all.equal(medcouple(-x), -m, tolerance = 1e-12)) &&
      isTRUE(all.equal(medcouple(3 - 7 * x), -m, tolerance = 1e-10)) &&
      isTRUE(all.equal(medcouple(100 + 0.01 * x), m, tolerance = 1e-10)) &&
      identical(medcouple(sample(x)), m) && identical(medcouple(8 * x), m)
    if (!ok) describe(x)
  })
  expect_identical(bad, NULL)
  # Skewed data: positive, and bounded under planted outliers.
  set.seed(6)
  y <- rexp(2000)
  expect_true(medcouple(y) > 0.2 && medcouple(-y) < -0.2)
  y[1:200] <- 1e9
  expect_lt(abs(medcouple(y)), 0.6)
})

test_that("medcouple on more than 100,000 values keeps exact 64-bit counts", {
  # A sample symmetric about its median: the kernel values pair off with
  # opposite signs, exactly, and at least m + 1 of them are zero; the
  # medcouple is 0.
  set.seed(8)
  m <- 50000
  y <- rexp(m) + 1
  r <- mc_c(sample(c(-y, 0, y)))
  expect_identical(c(r$result, r$iter[2], medcouple(c(-y, y))), c(0, 1, 0))
  # Three groups about the median: m^2 of the (m + 1)^2 kernel values equal
  # (1/4 - 1/2) / (1/4 + 1/2) in scaled units.
  expect_identical(medcouple(c(rep(-4, m), 0, rep(2, m))), -1 / 3)
  # Skewed data, n = 100,002: the exact value from counting by bisection.
  z <- rlnorm(100002)
  r <- mc_c(z)
  expect_true(r$iter[2] == 1L && r$iter[1] > 5L)
  expect_identical(r$result, mc_large_ref(z))
})

test_that("medcouple refuses bad input and leaves the caller's vector alone", {
  x <- c(4, 1, 3, 9, 2)
  medcouple(x)
  expect_identical(x, c(4, 1, 3, 9, 2))
  expect_error(medcouple(c(1, NA, 3)), "missing values")
  expect_identical(medcouple(c(1, NA, 2, 3, 10), na.rm = TRUE), medcouple(c(1, 2, 3, 10)))
  expect_error(mc_c(c(1, 2, 3, 5), eps = c(0, 1e-15)), "positive")
})

test_that("the medcouple does not depend on the units of the data or on one far outlier", {
  set.seed(12)
  e <- rexp(99)
  m <- medcouple(e)
  # Scale factors over 200 decades; the kernel values are ratios.
  for (a in c(1e-100, 3e-7, 1e100))
    expect_equal(medcouple(a * e), m, tolerance = 1e-12, label = format(a))
  # One outlier is one outlier, whatever its size.
  expect_identical(medcouple(c(e, 1e300)), medcouple(c(e, 1e3)))
  # Shifts of 1e8 times the spread, on a grid where the shifted data are
  # exact: the same kernel values, the same medcouple.
  g <- round(e * 2^16) / 2^16
  for (b in c(-1e8, 3e7) * round(IQR(g)))
    expect_identical(medcouple(g + b), medcouple(g), label = format(b))
})
