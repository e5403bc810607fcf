# Least trimmed squares: checked against brute force over h-subsets, the
# univariate definition, equivariance and planted contamination.

# Smallest least-squares residual sum of squares over all h-subsets.
brute_lts <- function(X, y, h) {
  sets <- utils::combn(length(y), h)
  min(apply(sets, 2L, function(i) {
    f <- .lm.fit(X[i, , drop = FALSE], y[i])
    if (f$rank < ncol(X)) Inf else sum(f$residuals^2)
  }))
}

trimmed_ss <- function(r, h) sum(sort(r^2)[seq_len(h)])

# Exact univariate LTS: the mean of the h consecutive order statistics with
# the smallest sum of squared deviations (the middle one among exact ties).
brute_location <- function(y, h) {
  s <- sort(y)
  m <- length(y) - h + 1
  # Whole numbers: h times the sum of squares, exactly, so that tied windows
  # tie (R's long-double mean() is emulated with less precision by valgrind).
  whole <- all(s == round(s))
  ss <- vapply(seq_len(m), function(j) {
    w <- s[j:(j + h - 1)]
    if (whole) h * sum(w^2) - sum(w)^2 else sum((w - mean(w))^2)
  }, 0)
  mean(s[which.min(ss):(which.min(ss) + h - 1)])
}

# Location of the best window of h sorted residuals, by cumulative sums.
window_location <- function(r, h) {
  s <- sort(r)
  j <- seq_len(length(s) - h + 1)
  c1 <- c(0, cumsum(s))
  c2 <- c(0, cumsum(s^2))
  sums <- c1[j + h] - c1[j]
  sums[which.min((c2[j + h] - c2[j]) - sums^2 / h)] / h
}

trace_lines <- function(...)
  sub("^\\[1\\] *", "", utils::capture.output(fit <- lts(..., trace = 2)))

test_that("the objective is the minimum over all h-subsets on tiny data", {
  set.seed(101)
  miss_all <- miss_rand <- 0
  for (k in 1:60) {
    # all p-subsets (nsamp = 0), intercept + 2 slopes
    n <- sample(8:11, 1)
    X <- matrix(rnorm(2 * n), n)
    y <- drop(X %*% c(1, -1)) + rnorm(n) + 8 * (k %% 3 == 0 & 1:n <= 2)
    f <- lts(X, y, nsamp = 0)
    opt <- brute_lts(cbind(1, X), y, f$h)
    expect_gte(f$crit, opt - 1e-8 * (1 + opt))
    miss_all <- miss_all + (f$crit > opt + 1e-8 * (1 + opt))
    # the returned fit is a fixed point of one more concentration step
    keep <- order(abs(y - drop(cbind(1, X) %*% coef(f))))[seq_len(f$h)]
    expect_equal(sum(.lm.fit(cbind(1, X)[keep, ], y[keep])$residuals^2), f$crit, tolerance = 1e-9)
    expect_length(f$best, f$h)
    expect_equal(trimmed_ss(f$residuals, f$h), f$crit)

    # random p-subsets: 6 slopes + intercept, so p-subsets are never enumerated
    n <- sample(10:11, 1)
    X <- matrix(rnorm(6 * n), n)
    y <- drop(X %*% (1:6)) + rnorm(n)
    f <- lts(X, y, nsamp = 30)
    opt <- brute_lts(cbind(1, X), y, f$h)
    expect_gte(f$crit, opt - 1e-8 * (1 + opt))
    miss_rand <- miss_rand + (f$crit > opt + 1e-8 * (1 + opt))
    # the search's objective is the trimmed sum of its own coefficients, and
    # the least-squares refit of its subset is no worse
    rs <- y - drop(cbind(1, X) %*% f$search_coefficients)
    expect_equal(f$search_crit, trimmed_ss(rs, f$h), tolerance = 1e-8)
    expect_lte(f$crit, f$search_crit * (1 + 1e-10))
  }
  # a search can end in a local optimum, but rarely on data this small
  expect_lte(miss_all, 3)
  expect_lte(miss_rand, 6)
})

test_that("planted outliers and bad leverage points are resisted and flagged", {
  set.seed(3)
  beta <- c(1, 2, -1)
  for (eps in c(0.1, 0.3, 0.45)) {
    n <- 200
    X <- matrix(rnorm(2 * n), n)
    y <- drop(beta[1] + X %*% beta[-1]) + rnorm(n, sd = 0.5)
    bad <- seq_len(floor(eps * n))
    half <- bad[seq_along(bad) %% 2 == 0]
    y[bad] <- y[bad] + 25 + rnorm(length(bad))      # vertical outliers
    X[half, ] <- X[half, ] + 10                       # and bad leverage points
    f <- lts(X, y)
    expect_lt(max(abs(coef(f) - beta)), 0.35)
    expect_lt(max(abs(coef(f, "reweighted") - beta)), 0.25)
    expect_true(all(f$outlier[bad]) && !any(bad %in% f$best))
    expect_lt(mean(f$outlier[-bad]), 0.05)
    # the raw scale is only roughly right under heavy contamination; the
    # reweighted one is close
    expect_true(f$scale > 0.4 && f$scale < 1.5)
    expect_equal(f$reweighted$scale, 0.5, tolerance = 0.2)
  }
})

test_that("the location-only case is the univariate LTS", {
  set.seed(11)
  for (k in 1:30) {
    y <- c(rnorm(sample(5:40, 1)), rnorm(sample(0:5, 1), 20))
    if (k %% 5 == 0) y <- round(y)           # exact ties between windows
    f <- lts(NULL, y)
    expect_equal(f$h, (length(y) + 2) %/% 2)
    expect_equal(unname(coef(f)), brute_location(y, f$h), tolerance = 1e-12)
    expect_equal(f$crit, trimmed_ss(y - coef(f), f$h))
  }
  y <- c(1, 2, 3, 10, 11, 12)
  f <- lts(y ~ 1, h = 3)                    # two tied windows: the first
  expect_equal(unname(c(coef(f), predict(f, data.frame(a = 1:2)))), c(2, 2, 2))
})

test_that("the adjusted intercept is the univariate LTS of the residuals", {
  set.seed(5)
  # small sample: simple method; large sample with groups: the window search
  for (n in c(80, 2000)) {
    X <- matrix(rnorm(2 * n), n)
    y <- drop(1 + X %*% c(1, 1)) + rnorm(n) - 30 * (seq_len(n) <= n / 5)
    f <- lts(X, y)
    b <- f$search_coefficients
    expect_equal(unname(b[1]), window_location(y - drop(X %*% b[-1]), f$h), tolerance = 1e-9)
    expect_lt(max(abs(c(b[1], coef(lts(X, y, adjust = FALSE))[1]) - 1)), 0.3)
  }
  # over many small data sets, adjusting does not make the search worse
  worse <- 0
  for (k in 1:40) {
    X <- matrix(rnorm(60), 30)
    y <- drop(X %*% c(1, 1)) + rnorm(30) + c(rnorm(8, 10), rep(0, 22))
    set.seed(k); a <- lts(X, y, nsamp = 20)$crit
    set.seed(k); worse <- worse + (a > lts(X, y, nsamp = 20, adjust = FALSE)$crit * (1 + 1e-10))
  }
  expect_lte(worse, 4)
})

test_that("exact fits and degenerate columns", {
  set.seed(2)
  n <- 50
  X <- matrix(rnorm(2 * n), n)
  y <- c(rep(3, 30), rnorm(20, 10))      # more than half equal: zero MAD
  f <- lts(X, y)
  expect_equal(f$crit, 0, tolerance = 1e-20)
  expect_equal(unname(coef(f)), c(3, 0, 0), tolerance = 1e-10)
  expect_true(f$exact_fit && sum(!f$outlier) == 30)
  # an exact fit of at least h cases by a regression plane
  f2 <- lts(X, replace(drop(1 + X %*% c(2, 3)), 1:10, 0))
  expect_equal(unname(coef(f2)), c(1, 2, 3), tolerance = 1e-10)
  expect_equal(which(f2$outlier), 1:10)
  expect_error(lts(X, rep(2, n)), "the response has zero robust scale")
  for (Xd in list(cbind(X, 1), cbind(X, X[, 1]))) expect_error(lts(Xd, y), "rank-deficient")
})

test_that("a design whose p-subsets are all singular ends with a clear error", {
  set.seed(4)
  n <- 60
  x <- rnorm(n)
  y <- x + rnorm(n)
  # the search itself gives up on its redraws instead of drawing forever
  t0 <- proc.time()[["elapsed"]]
  expect_error(kelvara:::.lts_search(cbind(x, 2 * x), y, 32L, TRUE, TRUE, 500, 0L),
               "no non-singular p-subset")
  expect_lt(proc.time()[["elapsed"]] - t0, 5)
  expect_error(lts(cbind(x, 2 * x), y), "rank-deficient \\(rank 2 < 3")
  # a coverage far below n/2 (refused by lts) still runs in the search
  fit <- kelvara:::.lts_search(cbind(x), y, 12L, TRUE, TRUE, 100, 0L)
  expect_length(fit$best, 12L)
  expect_equal(trimmed_ss(y - cbind(x, 1) %*% fit$search_coefficients, 12), fit$objective,
               tolerance = 1e-8)
})

test_that("the stage plan follows the sample size", {
  set.seed(9)
  nrep_lines <- function(n, p = 2, nsamp = 500) {
    X <- matrix(rnorm(n * (p - 1)), n)
    out <- trace_lines(X, rnorm(n), nsamp = nsamp)
    as.integer(out[which(grepl("^Main loop", out)) + 1L])
  }
  # the group count changes at 600, 900, 1200 and 1500 cases
  expect_equal(lapply(c(599, 600, 1199, 1500), nrep_lines),
               list(c(500L, 500L), c(250L, 250L, 10L), c(166L, 166L, 10L), c(100L, 100L, 10L)))
  # all pairs when n <= 50 for p = 2, and for nsamp = 0 whatever n is
  expect_equal(trace_lines(rnorm(40), rnorm(40))[4], "780")
  expect_equal(trace_lines(rnorm(100), rnorm(100), nsamp = 0)[4], "4950")
  # one start in the final stage of a large sample still finds the fit
  X <- matrix(rnorm(2 * 6000), 6000)
  f <- lts(X, replace(drop(X %*% c(1, 2)) + rnorm(6000), 1:1500, 50))
  expect_lt(max(abs(coef(f) - c(0, 1, 2))), 0.1)
  expect_true(all(f$outlier[1:1500]))
})

test_that("methods and formula interface", {
  set.seed(6)
  d <- data.frame(a = rnorm(40), g = factor(rep(c("u", "v"), 20)))
  d$y <- 1 + 2 * d$a + (d$g == "v") + rnorm(40, sd = 0.1)
  d$y[1:4] <- 30
  f <- lts(y ~ a + g, d)
  expect_equal(names(coef(f)), c("(Intercept)", "a", "gv"))
  expect_equal(unname(coef(f)), c(1, 2, 1), tolerance = 0.1)
  expect_equal(predict(f, d), fitted(f))
  expect_equal(residuals(f), d$y - fitted(f))
  expect_equal(unname(predict(f, d[5, ], which = "reweighted")), unname(fitted(f, "reweighted")[5]))
  m <- lts(d$a, d$y)
  expect_equal(unname(predict(m, c(0, 1))), unname(coef(m)[1] + c(0, 1) * coef(m)[2]))
})

test_that("invalid input is refused before the search", {
  X <- matrix(rnorm(40), 20); y <- rnorm(20)
  expect_error(lts(X, y, h = 9), "'h' must be a whole number in \\[10, 20\\]")
  expect_error(lts(NULL, y, intercept = FALSE), "no coefficients")
  expect_equal(vapply(c(0.5, 0.75, 1), function(a) lts(X, y, alpha = a)$h, 1), c(12, 16, 20))
})

test_that("the compiled passes read the caller's data without changing it", {
  # The search and the case pass read x and y where R keeps them (they are
  # not copied), so a write there would change the caller's objects.
  set.seed(12)
  n <- 30000
  X <- matrix(rnorm(n * 3, 50, 4), n)  # (the search standardises its columns)
  y <- drop(X %*% 1:3) + rnorm(n)
  names(y) <- paste0("c", seq_len(n))
  X0 <- X + 0
  y0 <- y + 0
  f <- lts(X, y, seed = 1)
  expect_identical(X, X0)
  expect_identical(y, y0)
  expect_equal(unname(coef(f)[-1]), 1:3, tolerance = 0.02)
  expect_identical(names(residuals(f)), names(y))
  # values that are not finite, which .C would refuse in a vector, are
  # refused by the routines themselves
  Xb <- X[1:200, ]
  Xb[7, 2] <- NaN
  expect_error(kelvara:::.lts_search(Xb, y[1:200], 120L, TRUE, TRUE, 10, 0L), "NA, NaN or infinite")
  fit <- list(coefficients = coef(f), best = 1:120, refit = TRUE)
  expect_error(kelvara:::.lts_finish(fit, cbind(1, Xb), y[1:200], 120L), "NA, NaN or infinite")
  yb <- y[1:200]
  yb[3] <- Inf
  expect_error(kelvara:::.lts_search(X[1:200, ], yb, 120L, TRUE, TRUE, 10, 0L), "NA, NaN or infinite")
})

test_that("summary gives the reweighted least-squares inference and the outlier count", {
  set.seed(63)
  x <- rnorm(60)
  y <- 1 + 2 * x + rnorm(60, sd = 0.5) - 12 * (1:60 <= 9)
  s <- summary(f <- lts(x, y, seed = 1))
  expect_s3_class(s, "summary.lts")
  kept <- f$weights == 1
  ## the kept cases' least-squares fit by its normal equations
  X <- cbind(1, x[kept])
  b <- solve(crossprod(X), crossprod(X, y[kept]))
  s2 <- sum((y[kept] - X %*% b)^2) / (sum(kept) - 2)
  ## normal-model constants by quadrature: the variance of the truncated
  ## residuals, and the first-order variance of the reweighted estimate
  ## (its own truncated-LS term plus the part inherited from the LTS fit)
  k <- 2.5
  P <- 2 * pnorm(k) - 1
  Tk <- integrate(function(e) e^2 * dnorm(e), -k, k)$value
  q <- qnorm((1 + f$h / 60) / 2)
  D <- integrate(function(e) dnorm(e), -q, q)$value - 2 * q * dnorm(q)
  psi <- function(e) e * (abs(e) < k) / P + 2 * k * dnorm(k) / P * e * (abs(e) < q) / D
  V <- sum(vapply(list(c(-k, -q), c(-q, q), c(q, k)), function(ab)
    integrate(function(e) psi(e)^2 * dnorm(e), ab[1], ab[2], rel.tol = 1e-11)$value, 0))
  se <- sqrt(diag(s2 * P / Tk * V * P * f$small_sample[["cov"]] * solve(crossprod(X))))
  expect_equal(f$reweighted$scale, sqrt(s2 * P / Tk) * f$small_sample[["reweighted"]])
  expect_equal(unname(s$coefficients[, "Reweighted"]), drop(b), tolerance = 1e-10)
  expect_equal(unname(s$coefficients[, "Std. Error"]), se, tolerance = 1e-7)
  expect_equal(unname(s$coefficients[, "LTS"]), unname(coef(f)))
  expect_equal(unname(s$coefficients[, "Pr(>|t|)"]),
               2 * pt(abs(drop(b) / se), sum(kept) - 2, lower.tail = FALSE))
  expect_true(all(1:9 %in% s$outliers))
  expect_identical(s$n_outliers, sum(!kept))
  expect_output(print(s), "Outliers \\(\\|residual\\| > 2.5 LTS scales\\): 9 of 60")
  ## an exact fit has no standard errors
  s2 <- summary(lts(x, replace(1 + 2 * x, 1:5, 40), seed = 1))
  expect_true(all(is.na(s2$coefficients[, "Std. Error"])))
  expect_output(print(s2), "exact fit")
})
