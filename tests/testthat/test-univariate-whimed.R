test_that("weighted high median equals its definition on random data with ties", {
  set.seed(101)
  bad <- failures(400, function(rep) {
    n <- sample(1:60, 1)
    x <- univariate_sample(n)
    w <- sample(0:9, n, replace = TRUE)
    if (all(w == 0)) w[sample(n, 1)] <- 1L
    o <- sample(n)
    got <- c(whimed(x, as.double(w)), whimed(x, as.integer(w)), whimed(x[o], as.double(w[o])))
    if (!identical(got, rep(whimed_ref(x, w), 3))) describe(c(x, w))
  })
  expect_identical(bad, NULL)
})

test_that("weighted high median: worked values and the 64-bit integer sums", {
  # (value, weights, answer); zero weights take no part; integer weights whose sum
  # passes 2^31 - 1; double weights whose sum overflows are rescaled exactly.
  imax <- .Machine$integer.max
  cases <- list(list(7.5, 2, 7.5), list(c(1, 2, 3, 4), rep(1, 4), 3),
                list(c(1, 2, 3), rep(1, 3), 2), list(c(3, 1, 2), c(10, 1, 1), 3),
                list(c(1, 2, 3), c(10, 1, 1), 1), list(c(5, 5, 5, 1), rep(1L, 4), 5),
                list(c(100, 1, 2, 3), c(0, 1, 1, 1), 2), list(c(1, 2, 3), rep(2L^30L, 3), 2),
                list(c(1, 2, 3), c(2L^30L, 2L^30L, 2L^30L + 5L), 2),
                list(c(1, 2, 3, 4), c(imax, 1L, 1L, imax), 3), list(c(1, 2, 3), rep(1e308, 3), 2),
                list(c(1, 2, 3), c(1e308, 1e308, 1), 2))
  for (cs in cases) expect_identical(whimed(cs[[1]], cs[[2]]), cs[[3]], label = deparse(cs[1:2]))
  # Weights of wildly different sizes still end with one of the values.
  set.seed(7)
  for (rep in 1:50) {
    x <- rnorm(25)
    expect_true(whimed(x, 10^sample(c(-300, -20, 0, 16, 17, 300), 25, replace = TRUE)) %in% x)
  }
})

test_that("weighted high median refuses bad input and leaves its arguments alone", {
  x <- c(3, 1, 2)
  w <- c(1, 2, 3)
  expect_identical(list(whimed(x, w), x, w), list(2, c(3, 1, 2), c(1, 2, 3)))
  for (e in list(list(1:3, 1:2, "same length"), list(c(1, Inf), c(1, 1), "missing or infinite"),
                list(1:2, c(1, NaN), "non-negative"), list(1:2, c(NA_integer_, 1L), "non-negative"),
                list(1:2, c(0, 0), "all zero")))
    expect_error(whimed(e[[1]], e[[2]]), e[[3]])
  # The entry points refuse what the kernels cannot handle.
  expect_error(.C("wgt_himed", c(1, NaN), 2L, c(1, 1), double(1), NAOK = TRUE, PACKAGE = "kelvara"),
               "missing or infinite")
  expect_error(.C("wgt_himed_i", c(1, 2), 2L, c(-1L, 3L), double(1), PACKAGE = "kelvara"),
               "non-negative")
})
