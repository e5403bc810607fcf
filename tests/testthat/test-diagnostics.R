## Leverages, standardised residuals, robust distances and the outlier
## classification of the robust fits.

test_that("with psi near the identity, hatvalues and rstandard are those of lm()", {
  set.seed(21)
  d <- data.frame(x1 = stats::rnorm(40), x2 = stats::runif(40), f = gl(4, 10))
  d$y <- 1 + d$x1 - 2 * d$x2 + as.integer(d$f) + stats::rnorm(40)
  d$y[c(5, 17)] <- NA
  w <- stats::runif(40, 0.5, 2)
  # A huge tuning constant makes every robustness weight 1: the MM step is
  # least squares, but the scale stays the S-scale.
  fit <- lmrob(y ~ x1 + x2 + f, data = d, weights = w, na.action = stats::na.exclude,
               seed = 1, tuning_psi = 1e6)
  ls <- stats::lm(y ~ x1 + x2 + f, data = d, weights = w, na.action = stats::na.exclude)
  expect_equal(hatvalues(fit), hatvalues(ls), tolerance = 1e-8)
  expect_equal(rstandard(fit) * fit$scale, rstandard(ls) * stats::sigma(ls),
               tolerance = 1e-8)
  expect_true(hatvalues(fit)[[5]] == 0 && is.na(rstandard(fit)[[17]]))
  # With real downweighting the leverages are those of the weighted design:
  # they sum to the rank, and a rejected case has leverage 0.
  d$y[3] <- 60
  rob <- lmrob(y ~ x1 + x2 + f, data = d, seed = 1)
  h <- hatvalues(rob)
  expect_equal(sum(h, na.rm = TRUE), rob$rank)
  expect_equal(unname(h[3]), 0)
  expect_gt(rstandard(rob)[3], 10)
})

## Clean linear data with three planted groups: vertical outliers (rows
## 1-8), bad leverage points (9-16), good leverage points (17-24).
planted_data <- function(n = 150) {
  x <- matrix(stats::rnorm(2 * n), n, 2)
  x[9:24, ] <- x[9:24, ] + 8
  y <- drop(2 + x %*% c(1, -1)) + stats::rnorm(n)
  y[1:8] <- y[1:8] + 15
  y[9:16] <- y[9:16] - 25
  rownames(x) <- paste0("r", seq_len(n))
  list(x = x, y = y, kinds = rep(c("vertical outlier", "bad leverage point",
                                   "good leverage point"), each = 8))
}

test_that("outliers() finds the planted kinds for lmrob, lts and mcd", {
  set.seed(22)
  d <- planted_data()
  df <- data.frame(y = d$y, d$x)
  rownames(df) <- rownames(d$x)
  check <- function(o) {
    expect_s3_class(o, "kelvara_outliers")
    got <- as.character(o$kind)[match(rownames(d$x)[1:24], o$row)]
    expect_identical(got, d$kinds)
    # Clean cases flagged: about 2.5 % by distance and 1.2 % by residual.
    expect_lte(sum(o$index > 24), 10)
  }
  fit <- lmrob(y ~ X1 + X2, data = df, seed = 1)
  check(outliers(fit))
  expect_identical(outliers(fit)$row[1:3], c("r1", "r2", "r3"))
  expect_equal(robust_distances(fit)[[30]],
               sqrt(mcd(d$x, seed = 1)$mah[[30]]), tolerance = 1e-10)
  check(outliers(lts(d$x, d$y, seed = 1)))
  check(outliers(lts(y ~ X1 + X2, data = df, seed = 1)))
  m <- outliers(mcd(d$x, seed = 1))
  expect_true(all(rownames(d$x)[9:24] %in% m$row))
  expect_false(any(rownames(d$x)[1:8] %in% m$row))
  expect_output(print(outliers(fit)), "bad leverage point: 8")
  # Without non-constant design columns only vertical outliers exist.
  o <- outliers(lmrob(y ~ 1, data = df, seed = 1))
  expect_true(all(o$kind == "vertical outlier"))
  expect_true(all(rownames(d$x)[9:16] %in% o$row))
  # An exact fit (scale 0): the points off the line are vertical outliers
  # at an infinite standardised residual; those on it have residual 0.
  e <- data.frame(x = 1:20, y = 2 * (1:20))
  e$y[1:3] <- c(50, -20, 30)
  ef <- suppressWarnings(lmrob(y ~ x, data = e, seed = 1))
  expect_identical(outliers(ef)$row, c("1", "2", "3"))
  expect_equal(unname(rstandard(ef)), c(Inf, -Inf, Inf, rep(0, 17)))
  l <- lts(d$x, d$y, seed = 1)
  l$x <- NULL
  expect_error(outliers(l), "holds no design")
})
