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

test_that("the row-block QR factor is that of the bound rows, to the last bit", {
  # Each block is stacked under the factor so far in one new matrix; the
  # factor must be the one of rbind(R, cbind(x[i, ], y[i])), with or without
  # y and row or column names, and over more than one block.
  set.seed(5)
  n <- 6e5
  x <- matrix(stats::rnorm(3 * n), n, dimnames = list(paste0("r", 1:n), c("a", "b", "c")))
  x[, 3] <- x[, 1] - x[, 2]  # rank 2
  y <- stats::setNames(stats::rnorm(n), rownames(x))
  rows <- sort(sample(n, 4e5))
  bound <- function(rows, y) {
    R <- NULL
    size <- kelvara:::.row_block_size(3 + !is.null(y))  # 262144 and 466033 rows
    for (b in split(rows, (seq_along(rows) - 1L) %/% size)) {
      qf <- qr(rbind(R, cbind(x[b, , drop = FALSE], y[b]), deparse.level = 0L))
      R <- qr.R(qf)[, order(qf$pivot), drop = FALSE]
    }
    unname(R)
  }
  expect_identical(kelvara:::.qr_factor_rows(x, rows, y), bound(rows, y))
  expect_identical(kelvara:::.qr_factor_rows(x), bound(seq_len(n), NULL))
  few <- kelvara:::.qr_rows_ls(x, rows[1:500], y)$qr
  expect_identical(few[c("qr", "qraux", "rank", "pivot")],
                   unclass(qr(unname(x[rows[1:500], ])))[c("qr", "qraux", "rank", "pivot")])
})
