## Inference of lmrob fits at the normal model: interval coverage of the
## S-estimate, the robust R^2 against the population value, and the
## refinement limit on clean data.  (Full-size runs: bench/inference.R.)

test_that("95% intervals of S fits keep their level at n = 100, p = 4", {
  set.seed(11)
  n <- 100
  R <- 100
  hit <- 0
  for (r in seq_len(R)) {
    X <- matrix(rnorm(n * 3), n)
    y <- drop(1 + X %*% c(1, -1, 0.5)) + rnorm(n)
    f <- lmrob(y ~ X, method = "S", seed = r)
    ci <- confint(f)
    hit <- hit + sum(ci[, 1] < c(1, 1, -1, 0.5) & c(1, 1, -1, 0.5) < ci[, 2])
  }
  ## 400 intervals: Monte Carlo SE of the coverage 0.011; window +- 3 SE.
  ## (The plug-in covariance covered 0.80 here.)
  expect_gt(hit / (4 * R), 0.915)
  expect_lt(hit / (4 * R), 0.985)
})

test_that("the robust R^2 estimates the population R^2 for MM and S", {
  set.seed(12)
  n <- 1000
  for (b in c(1, 2)) {
    pop <- b^2 / (b^2 + 1)             # 0.5 and 0.8
    r2 <- matrix(NA_real_, 5, 2, dimnames = list(NULL, c("MM", "S")))
    for (r in 1:5) {
      x <- rnorm(n)
      y <- 1 + b * x + rnorm(n)
      r2[r, "MM"] <- lmrob(y ~ x, seed = r)$r.squared
      r2[r, "S"] <- lmrob(y ~ x, method = "S", seed = r)$r.squared
    }
    ## SD of one S value at n = 1000 is at most 0.025 (0.5) and 0.012 (0.8),
    ## so the SE of a mean of 5 is at most 0.011; window +- 3 SE.  The
    ## weighted R^2 without the expected weight factors gave 0.55 (MM) and
    ## 0.76 (S) at 0.5.
    expect_equal(colMeans(r2), c(MM = pop, S = pop), tolerance = 0.034 / pop)
  }
  ## without intercept the same correction holds (population R^2 of the
  ## uncentred model: E(bx)^2 / (E(bx)^2 + 1) = 0.5 at b = 1)
  x <- rnorm(4000)
  y <- x + rnorm(4000)
  expect_equal(lmrob(y ~ x - 1, seed = 1)$r.squared, 0.5, tolerance = 0.06)
})

test_that("clean data needing more than 200 refinement steps converge without warning", {
  set.seed(78)
  n <- 60
  X <- cbind(1, matrix(rnorm(n * 2), n))
  y <- drop(X %*% c(1, 1, 1)) + rnorm(n)
  state <- .Random.seed
  f <- expect_silent(lmrob_S(X, y))
  expect_true(f$converged)
  expect_gt(f$iterations, 200L)       # 266 steps
  ## the limit still warns when it is hit
  .Random.seed <<- state
  w <- collect_warnings(lmrob_S(X, y, lmrob_control(max_refine = 200L)))
  expect_match(w$warnings, "S refinements did not converge", all = FALSE)
  expect_false(w$value$converged)
})
