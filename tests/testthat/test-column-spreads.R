## The compiled column locations and spreads of the standardisation against
## their definition by R's median() and mean() on the sample rows.

test_that("column spreads are R's median, MAD, mean deviation and |median|, for any threads", {
  spread_def <- function(v) {
    m <- stats::median(v)
    s <- stats::median(abs(v - m))
    if (!(s > 0)) s <- mean(abs(v - m))
    if (!(s > 0)) s <- abs(m)
    c(m, s)
  }
  # Two middle values whose mean() (long-double sum and correction) is not
  # (a + b) / 2 in double.
  pair <- c(9.1832898301072424e-06, 0.092902307468466463)
  set.seed(5)
  for (n in c(4, 7, 50000, 50001, 120001)) {
    fool <- rnorm(n)  # large at the positions of the selection's sample
    ns <- min(n, 8192)
    fool[floor((0:(ns - 1)) * n / ns) + 1] <- 1e6
    x <- cbind(fool, rnorm(n) * 1e6 + 1e9, 1, round(rnorm(n)), rep(c(0, 0, 1), length.out = n),
               sample(c(2.5, 2.5, 2.5, 3), n, TRUE), 5, c(rep(0, n - 1), 1),
               2^sample(-1070:1000, n, TRUE) * sample(c(-1, 1), n, TRUE),
               c(-1, pair, rep(1, n - 3)), deparse.level = 0)
    y <- rnorm(n) * 1e-7 + 1
    rows <- kelvara:::.spread_rows(n)
    for (with_const in c(FALSE, TRUE)) {
      xx <- if (with_const) x else x[, -c(3, 7)]
      const <- kelvara:::.constant_columns(xx)
      expect_identical(const, apply(xx, 2, function(v) v[1] != 0 && all(v == v[1])))
      icpt <- which(const)[1]
      cs <- kelvara:::.column_spreads(xx, y, skip = if (is.na(icpt)) 0 else icpt)
      for (j in setdiff(seq_len(ncol(xx)), icpt))
        expect_identical(c(cs$loc[j], cs$spread[j]), spread_def(xx[rows, j]))
      expect_identical(c(cs$loc[ncol(xx) + 1], cs$spread[ncol(xx) + 1]), spread_def(y[rows]))
      expect_identical(unname(kelvara:::.robust_spread(xx[, 2])), spread_def(xx[rows, 2]))
      st <- lapply(c(1, 2, 16), function(k) kelvara:::.with_threads(k, kelvara:::.standardise(xx, y)))
      expect_identical(st[[1]], st[[2]])
      expect_identical(st[[1]], st[[3]])
    }
  }
  # Values that are not finite meet the R definition: NaN stops it as there.
  expect_error(kelvara:::.standardise(cbind(1, c(1, NaN, 3, 4)), 1:4), "missing value")
  expect_identical(kelvara:::.robust_spread(c(1, Inf, 3)), c(location = 3, spread = 2))
  expect_identical(kelvara:::.constant_columns(cbind(c(2, NaN), c(3, 3), c(NaN, 1), 0)),
                   c(NA, TRUE, NA, FALSE))
})

test_that("the compiled constant-column check gives the value of the R expression, NA included", {
  def <- function(x) vapply(seq_len(ncol(x)), function(j)
    x[1, j] != 0 && all(x[, j] == x[1, j]), NA)
  cols <- list(c(2, 2, NaN, 3), c(2, NaN, 2, 2), c(2, 2, 2, NaN), c(-0, 0, 0, 0),
               c(Inf, Inf, Inf, Inf), c(NA, 2, 2, 2), c(7, 7, 7, 7), c(7, 7, 7, 8), c(1, NaN, 5, NaN), c(-3, -3, -3, -3))
  x <- do.call(cbind, cols)
  expect_identical(kelvara:::.constant_columns(x), def(x))
  expect_identical(kelvara:::.constant_columns(x),
                   c(FALSE, NA, NA, FALSE, TRUE, NA, TRUE, FALSE, FALSE, TRUE))
  expect_identical(kelvara:::.constant_columns(x[1, , drop = FALSE]), def(x[1, , drop = FALSE]))
  # integer designs take the R expression
  xi <- cbind(c(3L, 3L, 3L), c(3L, NA, 3L), c(1L, 2L, NA))
  expect_identical(kelvara:::.constant_columns(xi), c(TRUE, NA, FALSE))
})
