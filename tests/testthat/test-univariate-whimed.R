test_that("weighted high median equals its definition on random data with ties", {
  set.seed(101)
  bad <- failures(400, function(rep) {
    n <- sample(1:60, 1)
    x <- univariate_sample(n)
    w <- sample(0:9, n, replace = TRUE)
    if (all(w == 0)) w[sample(n, 1)] <- 1L
    e <- whimed_ref(x, w)
    o <- sample(n)
    ok <- identical(whimed(x, as.double(w)), e) && identical(whimed(x, as.integer(w)), e) &&
      identical(whimed(x[o], as.double(w[o])), e)
    if (!ok) describe(c(x, w))
  })
  expect_identical(bad, NULL)
})

test_that("weighted high median: worked values and the 64-bit integer sums", {
  expect_identical(whimed(7.5, 2), 7.5)
  expect_identical(whimed(c(1, 2, 3, 4), rep(1, 4)), 3)
  expect_identical(whimed(c(1, 2, 3), rep(1, 3)), 2)
  expect_identical(whimed(c(3, 1, 2), c(10, 1, 1)), 3)
  expect_identical(whimed(c(1, 2, 3), c(10, 1, 1)), 1)
  expect_identical(whimed(c(5, 5, 5, 1), rep(1L, 4)), 5)
  # Zero weights take no part.
  expect_identical(whimed(c(100, 1, 2, 3), c(0, 1, 1, 1)), 2)
  # Integer weights whose sum passes 2^31 - 1.
  expect_identical(whimed(c(1, 2, 3), rep(2L^30L, 3)), 2)
  expect_identical(whimed(c(1, 2, 3), c(2L^30L, 2L^30L, 2L^30L + 5L)), 2)
  expect_identical(whimed(c(1, 2, 3, 4), c(.Machine$integer.max, 1L, 1L, .Machine$integer.max)), 3)
  # Double weights whose sum overflows are rescaled exactly.
  expect_identical(whimed(c(1, 2, 3), rep(1e308, 3)), 2)
  expect_identical(whimed(c(1, 2, 3), c(1e308, 1e308, 1)), 2)
  # Weights of wildly different sizes still end with one of the values.
  set.seed(7)
  for (rep in 1:50) {
    x <- rnorm(25)
    w <- 10^sample(c(-300, -20, 0, 16, 17, 300), 25, replace = TRUE)
    expect_true(whimed(x, w) %in% x)
  }
})

test_that("weighted high median refuses bad input and leaves its arguments alone", {
  x <- c(3, 1, 2)
  w <- c(1, 2, 3)
  expect_identical(whimed(x, w), 2)
  expect_identical(x, c(3, 1, 2))
  expect_identical(w, c(1, 2, 3))
  expect_error(whimed(1:3, 1:2), "same length")
  expect_error(whimed(c(1, Inf), c(1, 1)), "missing or infinite")
  expect_error(whimed(1:2, c(1, NaN)), "non-negative")
  expect_error(whimed(1:2, c(NA_integer_, 1L)), "non-negative")
  expect_error(whimed(1:2, c(0, 0)), "all zero")
  # The entry points refuse what the kernels cannot handle.
  expect_error(.C("wgt_himed", c(1, NaN), 2L, c(1, 1), double(1), NAOK = TRUE,
                  PACKAGE = "kelvara"),
               "missing or infinite")
  expect_error(.C("wgt_himed_i", c(1, 2), 2L, c(-1L, 3L), double(1), PACKAGE = "kelvara"),
               "non-negative")
})
