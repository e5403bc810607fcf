## On many cases the LTS search sorts its residuals by radix, finds the
## intercept's window by bisection, and splits per-case passes, the
## refit's cross-products, the columns' standardization and the window sums
## between threads.  None of that may change a fit or the random draws.

test_that("large lts fits are the same for 1, 2 and 16 threads and keep their definitions", {
  set.seed(11)
  n <- 45000  # enough for every split (the window sums' too)
  X <- matrix(stats::rnorm(2 * n), n)
  y <- drop(X %*% c(2, -1)) + stats::rnorm(n) + 30 * (seq_len(n) <= n / 5)
  Xi <- matrix(sample(0:4, 2 * n, TRUE), n)  # whole numbers: tied residuals,
  yi <- replace(drop(Xi %*% 1:2) + sample(-1:1, n, TRUE), seq(1, n, 7), -0)  # and -0
  cases <- list(normal = list(X, y), ties = list(Xi, yi),
                no_intercept = list(X, y, intercept = FALSE))
  for (nm in names(cases)) {
    r <- lapply(c(1, 2, 16), function(k) {
      set.seed(1)
      list(`[[<-`(do.call(lts, c(cases[[nm]], threads = k)), "call", NULL), .Random.seed)
    })
    expect_identical(r[2:3], r[c(1, 1)], label = nm)
  }
  f <- r[[1]][[1]]
  expect_equal(unname(coef(f)), c(2, -1), tolerance = 0.02)
  # The adjusted intercept is the mean of the best window of h sorted
  # residuals; the best subset holds the h smallest residuals of the fit.
  set.seed(1)
  f <- lts(X, y)
  b <- f$search_coefficients
  r <- y - drop(X %*% b[-1])
  s <- sort(r)
  w <- cumsum(s)[f$h:n] - c(0, cumsum(s)[seq_len(n - f$h)])
  ss <- cumsum(s^2)[f$h:n] - c(0, cumsum(s^2)[seq_len(n - f$h)]) - w^2 / f$h
  expect_equal(unname(b[1]), w[which.min(ss)] / f$h, tolerance = 1e-9)
  expect_identical(f$best, sort(order(abs(r - b[1]))[seq_len(f$h)]))
  expect_error(lts(X, rep(2, n), threads = 2), "the response has zero robust scale")
})
