## The compiled passes behind mcd() give the numbers of R's own definitions,
## and the long selections of the final stage pick the same cases on one
## thread (order selection) as on two (counting passes over row blocks).

test_that("prescaling, moments and distances are those of median(), cov() and R's product", {
  set.seed(41)
  n <- 3000
  x <- matrix(stats::rnorm(n * 4), ncol = 4) * 10^(0:3) + 7e3
  x[1:2000, 2] <- 5  # no spread about the median: the mean deviation stands in
  ps <- kelvara:::.mcd_prescale(x)
  expect_identical(ps$loc, apply(x, 2, stats::median))
  expect_identical(ps$scale[-2], apply(abs(sweep(x, 2, ps$loc)), 2, stats::median)[-2])
  expect_identical(ps$scale[2], mean(abs(x[, 2] - 5)))
  keep <- stats::rbinom(n, 1, 0.8)
  m <- kelvara:::.mcd_moments(x, keep)
  expect_identical(m, list(center = colMeans(x[keep == 1, ]), cov = stats::cov(x[keep == 1, ])))
  roots <- list(kelvara:::.mcd_root(ps, m$center, m$cov),
                kelvara:::.mcd_root(ps, m$center + 1, 2 * m$cov))
  d <- kelvara:::.mcd_sq_dists(ps, roots)
  by_r <- ps
  by_r$max_abs <- Inf  # the R-level product of the scaled data
  expect_identical(d, kelvara:::.mcd_sq_dists(by_r, roots))
  expect_equal(d[[2]], stats::mahalanobis(x, m$center + 1, 2 * m$cov), tolerance = 1e-10)
})

test_that("the final stage selects the same cases with one thread and with two", {
  set.seed(42)
  n <- 30000
  cases <- list(spread = matrix(stats::rnorm(n * 3), ncol = 3) + 6 * (seq_len(n) <= 3000),
                ties = matrix(sample(0:6, n * 3, TRUE), ncol = 3))  # equal distances
  for (nm in names(cases)) for (a in c(0.5, 0.75)) {
    f <- lapply(1:2, function(k) {
      set.seed(1)
      list(`[[<-`(mcd(cases[[nm]], alpha = a, nsamp = 100, threads = k), "call", NULL),
           .Random.seed)
    })
    expect_identical(f[[2]], f[[1]], label = paste(nm, a))
  }
})

test_that("the reweighting in one call is that of its R definitions", {
  set.seed(43)
  for (n in c(40, 2501)) {
    x <- matrix(stats::rnorm(n * 3), ncol = 3) * c(1, 10, 1e3)
    x[1:5, ] <- x[1:5, ] + 50
    ps <- kelvara:::.mcd_prescale(x)
    by_r <- ps
    by_r$max_abs <- Inf  # the passes one by one, distances by R's product
    raw <- list(colMeans(x), stats::cov(x))
    for (cutoff in c(stats::qchisq(0.9, 3), 1e-3)) {  # many cases kept, or fewer than p + 1
      z <- kelvara:::.mcd_reweight_pass(x, ps, raw[[1]], raw[[2]], cutoff, c(1.1, 0.9))
      expect_false(is.null(z$done))
      z$done <- NULL
      expect_identical(z, kelvara:::.mcd_reweight_pass(x, by_r, raw[[1]], raw[[2]], cutoff,
                                                       c(1.1, 0.9)))
      w <- as.integer(kelvara:::.mcd_sq_dists(by_r, list(kelvara:::.mcd_root(ps, raw[[1]], raw[[2]])))[[1]] <= cutoff)
      expect_identical(z$weights, w)
      expect_identical(z$classical, list(center = colMeans(x), cov = stats::cov(x)))
      if (sum(w) > 3)
        expect_identical(z[c("center", "cov")],
                         list(center = colMeans(x[w == 1, ]), cov = stats::cov(x[w == 1, ])))
      else expect_null(z$cov)
      rw <- kelvara:::.mcd_reweight(x, ps, raw[[1]], raw[[2]], cutoff, 0.9)
      expect_identical(rw[order(names(rw))],
                       (function(r) r[order(names(r))])(kelvara:::.mcd_reweight(x, by_r, raw[[1]], raw[[2]], cutoff, 0.9)))
    }
  }
})

test_that("long columns: the prescaling's centers and spreads are median()'s on awkward data", {
  set.seed(44)
  for (n in c(40000, 40001)) {
    x <- cbind(sort(stats::rnorm(n)), sample(0:3, n, TRUE), stats::rnorm(n))
    # the evenly spaced values that bracket a selection all lie far out
    x[(seq_len(8192) - 1) * n %/% 8192 + 1, 3] <- 100
    ps <- kelvara:::.mcd_prescale(x)
    expect_identical(ps$loc, apply(x, 2, stats::median))
    expect_identical(ps$scale, apply(abs(sweep(x, 2, ps$loc)), 2, stats::median))
  }
})

test_that("the search's own reweighting is that of the R layer's steps", {
  set.seed(45)
  n <- 3000
  x <- matrix(stats::rnorm(n * 3), ncol = 3) * c(1, 10, 1e3)
  x[1:300, ] <- x[1:300, ] + 40
  p <- 3
  h <- kelvara:::.coverage_h(0.5, n, p)
  cutoff <- stats::qchisq(0.975, p)
  small <- kelvara:::.mcd_small(n, p, h)
  set.seed(1)
  z <- kelvara:::.mcd_scaled_search(x, n, p, h, 100L, 300L, cutoff, stats::qchisq(0.5, p), 0L,
                                    small[["raw"]],
                                    kelvara:::.mcd_rw_factor(cutoff, p, small[["reweighted"]]))
  ps <- list(data = x, loc = z$loc, scale = z$scale, max_abs = z$big)
  raw <- kelvara:::.mcd_raw(z, x, ps, h, cutoff, stats::qchisq(0.5, p))
  pre <- kelvara:::.mcd_search_reweight(z, p)
  # the raw estimate the search reweighted is the R layer's, so .mcd_finish takes it
  expect_identical(pre[c("raw_center", "raw_cov")],
                   list(raw_center = raw$raw_center, raw_cov = raw$raw_cov * small[["raw"]]))
  expect_identical(kelvara:::.mcd_finish(raw, x, ps, h, cutoff, pre),
                   kelvara:::.mcd_finish(raw, x, ps, h, cutoff))
})
