## The trials of the MCD and LTS searches run on several threads; the fit,
## the random draws and the trace must not depend on how many.

## n cases of which the first frac lie exactly on a hyperplane near the
## center; the others are spread 100 times wider, so that C-steps from most
## starts close in on the plane.
on_plane <- function(n, p, frac, seed) {
  set.seed(seed)
  x <- matrix(stats::rnorm(n * p), n, p)
  k <- floor(frac * n)
  x[1:k, p] <- x[1:k, -p, drop = FALSE] %*% seq_len(p - 1)
  x[-(1:k), ] <- x[-(1:k), ] * 100
  x
}

## The fit (without its call) and .Random.seed after it, per thread count.
## (Batches of trials too small to gain from threads run on one: the data
## below are large enough for several.)
by_threads <- function(fit, threads = c(1, 2, 16), seed = 1) {
  lapply(threads, function(k) {
    set.seed(seed)
    list(`[[<-`(fit(k), "call", NULL), .Random.seed)
  })
}

test_that("mcd: fit and random draws are the same for 1, 2 and 16 threads", {
  set.seed(3)
  # five groups, the merged stage
  x <- matrix(stats::rnorm(1500 * 5), ncol = 5) + 8 * (1:1500 <= 300)
  cases <- list(groups = x, small = x[1:120, ],
                exact = on_plane(300, 6, 0.6, 1),         # plane found in C-steps
                exact_groups = on_plane(1500, 6, 0.6, 3))  # ... of a group
  for (nm in names(cases)) {
    r <- by_threads(function(k) mcd(cases[[nm]], nsamp = 1000, threads = k))
    expect_identical(r[2:3], r[c(1, 1)], label = nm)
  }
  exact_code <- kelvara:::.mcd_codes[["exact_fit"]]
  expect_identical(r[[1]][[1]]$exact_fit, exact_code)
  # The plane is met in the C-steps of an early trial: the search stops
  # there, and the draws it made ahead for later trials are taken back, so
  # the stream stands where a search of just that many trials leaves it.
  ex <- cases$exact
  first <- Find(function(t) { set.seed(1); mcd(ex, nsamp = t)$exact_fit == exact_code }, 1:30)
  expect_true(!is.null(first) && first < 30)
  set.seed(1)
  a <- mcd(ex, nsamp = first, threads = 2)
  seed_a <- .Random.seed
  set.seed(1)
  b <- mcd(ex, threads = 2)
  expect_identical(list(.Random.seed, b$best, b$n_on_plane),
                   list(seed_a, a$best, sum(abs(ex[, 6] - ex[, 1:5] %*% 1:5) < 1e-7)))
})

test_that("lts: fit and random draws are the same for 1, 2 and 16 threads", {
  set.seed(4)
  X <- matrix(stats::rnorm(2000 * 3), ncol = 3)
  y <- drop(X %*% c(1, -2, 3)) + stats::rnorm(2000) + 15 * (1:2000 <= 400)
  for (icpt in c(TRUE, FALSE)) for (n in c(2000, 150)) {
    r <- by_threads(function(k) lts(X[1:n, ], y[1:n], intercept = icpt, nsamp = 1000, threads = k))
    expect_identical(r[2:3], r[c(1, 1)], label = paste(n, icpt))
  }
  # An exact fit of 60% of the cases is found whatever the thread count.
  y2 <- replace(drop(X %*% c(1, -2, 3)) + 5, 1:800, stats::rnorm(800, sd = 50))
  r <- by_threads(function(k) lts(X, y2, threads = k))
  expect_identical(r[[2]], r[[1]])
  expect_equal(unname(r[[1]][[1]]$coefficients), c(5, 1, -2, 3), tolerance = 1e-10)
})

test_that("the trace of the searches is the same for 1 and 2 threads", {
  set.seed(5)
  x <- matrix(stats::rnorm(700 * 3), ncol = 3)
  y <- drop(x %*% 1:3) + stats::rnorm(700)
  out <- lapply(1:2, function(k) {
    set.seed(6)
    c(utils::capture.output(mcd(x, trace = 2, threads = k)),
      utils::capture.output(lts(x, y, trace = 2, threads = k)))
  })
  expect_true(any(grepl("Main loop", out[[1]])))
  expect_identical(out[[2]], out[[1]])
})
