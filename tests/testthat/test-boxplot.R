## The skewness-adjusted fences and boxplot: the definition through its
## invariances, agreement with the drawn statistics, reference flag rates.

test_that("the fences are equivariant and mirror with the sign of the medcouple", {
  fence <- function(...) as.vector(adjusted_fences(...))
  set.seed(11)
  x <- stats::rlnorm(301)
  f <- adjusted_fences(x)
  mc <- attr(f, "mc")
  expect_gt(mc, 0.2)
  q <- stats::quantile(x, c(0.25, 0.75), names = FALSE)
  # The upper fence moves out and the lower one in with a positive MC.
  expect_equal(fence(x), c(q[1] - 1.5 * exp(-4 * mc) * diff(q), q[2] + 1.5 * exp(3 * mc) * diff(q)))
  # Reflection: -x has MC -mc, and its fences are those of x reflected,
  # which is the MC < 0 branch.
  expect_equal(attr(adjusted_fences(-x), "mc"), -mc)
  expect_equal(fence(-x), -rev(fence(x)))
  # Shift and positive scale carry the fences along; range scales the
  # distance of the fences from the quartiles.
  expect_equal(fence(3 * x + 7), 3 * fence(x) + 7)
  expect_equal(fence(x, range = 3) - q, 2 * (fence(x) - q))
  # Symmetric data: MC = 0 and the classical fences.
  s <- c(-5:5, 40, -40)
  qs <- stats::quantile(s, c(0.25, 0.75), names = FALSE)
  expect_equal(fence(s), qs + c(-1.5, 1.5) * diff(qs))
  expect_equal(adjusted_fences(c(x, NA), na.rm = TRUE), f)
})

test_that("adjusted_boxplot() returns the stats of its fences, by group and formula", {
  set.seed(12)
  d <- data.frame(y = c(stats::rexp(80), -stats::rexp(60), stats::rnorm(50)),
                  g = rep(c("a", "b", "c"), c(80, 60, 50)))
  z <- adjusted_boxplot(y ~ g, data = d, plot = FALSE)
  expect_identical(z[c("names", "n")], list(names = c("a", "b", "c"),
                                            n = c(a = 80, b = 60, c = 50)))
  for (k in 1:3) {
    y <- d$y[d$g == z$names[k]]
    f <- adjusted_fences(y)
    inside <- y >= f[1] & y <= f[2]
    expect_equal(unname(z$fences[, k]), unname(f[1:2]))
    expect_equal(z$stats[, k], c(min(y[inside]), stats::quantile(y, c(0.25, 0.5, 0.75),
                                                                  names = FALSE), max(y[inside])))
    expect_setequal(z$out[z$group == k], y[!inside])
  }
  expect_true(z$mc[1] > 0 && z$mc[2] < 0)
  # The same groups given as a list, as separate vectors, or with names.
  expect_equal(adjusted_boxplot(split(d$y, d$g), plot = FALSE), z)
  w <- adjusted_boxplot(d$y[1:80], d$y[81:140], names = c("u", "v"), plot = FALSE)
  expect_equal(w[c("names", "stats")], list(names = c("u", "v"), stats = z$stats[, 1:2]))
  # range = 0: whiskers to the extremes, no outliers.
  r0 <- adjusted_boxplot(d$y, range = 0, plot = FALSE)
  expect_equal(c(r0$stats[c(1, 5)], length(r0$out)), c(range(d$y), 0))
  # Drawing (also horizontally) returns the same statistics invisibly.
  grDevices::pdf(NULL)
  on.exit(grDevices::dev.off())
  expect_equal(adjusted_boxplot(y ~ g, data = d, horizontal = TRUE, col = "gray"), z)
})

test_that("flag rates at n = 10^4 over 20 samples match the reference rates", {
  # Reference (adjusted rule, classical boxplot): lognormal 1.8 %, 7.8 %;
  # exponential 0.3 %, 4.7 %; normal 0.7 %, 0.7 %.  The reference is itself
  # an average of 20 samples, so the window is 4 standard errors of the
  # difference of two such averages, 4 * sqrt(2) * sd / sqrt(20), with the
  # per-sample sd from 200 samples (bench/boxplot.R): lognormal 0.28, 0.24;
  # exponential 0.072, 0.22; normal 0.12, 0.11 (percentage points).
  set.seed(13)
  rates <- function(gen) {
    100 * rowMeans(replicate(20L, {
      x <- gen(1e4)
      f <- adjusted_fences(x)
      q <- stats::quantile(x, c(0.25, 0.75), names = FALSE)
      c(mean(x < f[1] | x > f[2]), mean(x < q[1] - 1.5 * diff(q) | x > q[2] + 1.5 * diff(q)))
    }))
  }
  # The largest excess over the window: <= 0 when every rate is inside.
  excess <- function(got, ref, sd) max(abs(got - ref) - 4 * sqrt(2) * sd / sqrt(20))
  expect_lte(excess(rates(stats::rlnorm), c(1.8, 7.8), c(0.28, 0.24)), 0)
  expect_lte(excess(rates(stats::rexp), c(0.3, 4.7), c(0.072, 0.22)), 0)
  expect_lte(excess(rates(stats::rnorm), c(0.7, 0.7), c(0.12, 0.11)), 0)
})
