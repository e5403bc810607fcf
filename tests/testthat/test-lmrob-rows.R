## The compiled pass over the rows of lmrob()'s result gives the values of
## the R computation it stands for, for every thread count.

test_that("kv_lmrob_rows equals the R computation of fitted values, weights and sums", {
  rows_in_r <- function(x, y, b, s, psi, k, intercept, sw = NULL) {
    code <- kelvara:::.psi_code(psi)
    fitted <- drop(x %*% b)
    r <- y - fitted
    u <- r / s
    w <- kelvara:::.psi_at(u, code, k, "wgt")
    sums <- kelvara:::.inference_sums(x, y, b, s, code, k, intercept, sw, w, r, u)
    list(fitted = unname(fitted), w = w,
         sums = c(sums[c("mean_psi2", "dpsi", "sum_w")], list(positive = sum(w > 0)),
                  sums[c("tss", "sse", "xtwx")]))
  }
  old <- options(kelvara.threads = 1L)
  on.exit(options(old))
  ## n below and above the size where the rows split over threads (odd and
  ## even), no intercept, 7 columns (a partial group of cross-product
  ## entries); residuals that tie at 0 and outliers of weight 0.
  cases <- list(c(n = 101, p = 3, icpt = 1), c(n = 16383, p = 1, icpt = 0),
                c(n = 40001, p = 7, icpt = 1), c(n = 40000, p = 4, icpt = 1))
  for (cs in cases) {
    n <- cs[["n"]]
    p <- cs[["p"]]
    set.seed(n)
    x <- matrix(rnorm(n * p), n)
    if (cs[["icpt"]] == 1) x[, 1] <- 1
    b <- rnorm(p)
    y <- drop(x %*% b) + rnorm(n) * (seq_len(n) %% 3 != 0)  # a third on the plane
    y[seq_len(n %/% 10)] <- y[seq_len(n %/% 10)] + 100
    for (psi in c("bisquare", "lqq", "optimal")) {
      k <- lmrob.config(psi = psi)$tuning_psi
      ref <- rows_in_r(x, y, b, 0.9, psi, k, cs[["icpt"]] == 1)
      for (th in c(1L, 2L, 16L)) {
        options(kelvara.threads = th)
        got <- kelvara:::.lmrob_rows(x, y, b, 0.9, psi, k, cs[["icpt"]] == 1)
        expect_identical(got, ref, info = paste(n, p, psi, th))
      }
    }
    ## Prior weights (which x and y carry) centre the total sum of squares.
    sw <- sqrt(rexp(n))
    ref <- rows_in_r(x * sw, y * sw, b, 0.9, "bisquare", 4.685, cs[["icpt"]] == 1, sw)
    for (th in c(1L, 2L)) {
      options(kelvara.threads = th)
      got <- kelvara:::.lmrob_rows(x * sw, y * sw, b, 0.9, "bisquare", 4.685,
                                   cs[["icpt"]] == 1, sw = sw)
      expect_identical(got, ref, info = paste(n, p, "prior weights", th))
    }
  }
  ## A residual that overflows is left to the R computation.
  expect_null(kelvara:::.lmrob_rows(cbind(1, c(1e308, 1)), c(-1e308, 0), c(0, 2), 1,
                                    "bisquare", 4.685, TRUE))
})

test_that("the S fit's residuals are R's y - x %*% beta for every thread count", {
  set.seed(3)
  n <- 40001
  x <- cbind(1, matrix(rnorm(2 * n), n))
  y <- drop(x %*% c(1, 2, -1)) + rnorm(n)
  d <- kelvara:::.fit_data(x, y)
  expect_true(d$st$tr$identity)
  ctrl <- kelvara:::.check_control(lmrob_control(nsamp = 20L))
  old <- options(kelvara.threads = 1L)
  on.exit(options(old))
  fits <- lapply(c(1L, 2L, 16L), function(k) {
    options(kelvara.threads = k)
    set.seed(1)
    kelvara:::.lmrob_S_fit(d, ctrl)
  })
  expect_identical(fits[[1]]$rs, drop(y - x %*% unname(fits[[1]]$coefficients)))
  expect_identical(fits[2:3], fits[c(1, 1)])
  ## Rows on the plane (counted in the same pass): 70 % of them make an exact fit.
  y[seq_len(0.7 * n)] <- drop(x %*% c(1, 2, -1))[seq_len(0.7 * n)]
  d <- kelvara:::.fit_data(x, y)
  f <- suppressWarnings(kelvara:::.lmrob_S_fit(d, ctrl))
  on <- abs(f$rs) <= kelvara:::.exact_tol * kelvara:::.robust_spread(y)[["spread"]]
  expect_true(f$exact_fit)
  expect_identical(f$on_plane, on)
  expect_gte(sum(on), floor(0.7 * n))
  ## Without the residuals returned, the fit is the same (the exact-fit rule
  ## makes the residuals again where it reads them, with the same values).
  ## (data with 30 % of the rows on the plane: not an exact fit)
  y3 <- drop(x %*% c(1, 2, -1)) + rnorm(n) * (seq_len(n) > 0.3 * n)
  for (dd in list(d, kelvara:::.fit_data(x, y3),
                  kelvara:::.fit_data(x, drop(x %*% c(1, 2, -1)) + rnorm(n)))) {
    set.seed(1)
    f1 <- suppressWarnings(kelvara:::.lmrob_S_fit(dd, ctrl))
    set.seed(1)
    f0 <- suppressWarnings(kelvara:::.lmrob_S_fit(dd, ctrl, FALSE))
    expect_identical(is.null(f0$rs), !f1$exact_fit)
    if (f1$exact_fit) expect_identical(f0$rs, f1$rs)
    f0$rs <- f1$rs <- NULL
    expect_identical(f0, f1)
  }
})

test_that("the MM step counts the positive weights of its start as R does", {
  set.seed(4)
  x <- cbind(1, rnorm(50))
  y <- drop(x %*% c(1, 2)) + rnorm(50)
  b <- c(1, 2)
  s <- sort(abs(y - drop(x %*% b)))[2] / 4.685 * 0.999  # one residual of positive weight
  expect_identical(sum(wgt_func((y - drop(x %*% b)) / s, "bisquare", 4.685) > 0), 1L)
  expect_error(lmrob_MM(x, y, b, s), "only 1 observation\\(s\\) get a positive")
  expect_silent(lmrob_MM(x, y, b, 1))
  expect_error(lmrob_MM(x, y, c(1, 1e308), 1), "not representable")
})

test_that("the MM step's values of the rows are those of kv_lmrob_rows at its estimate", {
  set.seed(5)
  n <- 20001
  x <- cbind(1, matrix(rnorm(2 * n), n))
  y <- drop(x %*% c(1, 2, -1)) + rnorm(n) + 30 * (seq_len(n) <= n %/% 10)
  d <- kelvara:::.fit_data(x, y)
  ctrl <- kelvara:::.check_control(lmrob_control())
  old <- options(kelvara.threads = 1L)
  on.exit(options(old))
  for (th in c(1L, 2L, 16L)) {
    options(kelvara.threads = th)
    m <- kelvara:::.lmrob_MM_fit(d, c(1, 2, -1), 1.2, ctrl, rows = list(intercept = TRUE))
    expect_identical(m$rows, kelvara:::.lmrob_rows(x, y, m$coefficients, 1.2, "bisquare",
                                                   ctrl$tuning_psi, TRUE), info = th)
  }
})

test_that("routines that read their data from a list refuse a list of the wrong vectors", {
  res <- function(data, n = 3L) .C("kv_residuals", data, n, 1L, 2, r = double(n),
                                   PACKAGE = "kelvara")$r
  expect_identical(res(list(matrix(c(1, 2, 3)), c(0.5, 9, -1))), c(0.5, 9, -1) - c(2, 4, 6))
  expect_error(res(list(matrix(1:3), c(1, 2, 3))), "the design must be a double vector of 3 values")
  expect_error(res(list(matrix(c(1, 2, 3)), c(1, 2))), "the response must be a double vector")
  expect_error(.C("kv_lmrob_rows", list(matrix(1, 4, 2), 1:4), 4L, 2L, c(1, 1), 1, 4.685, 1L,
                  1L, 0L, double(4), double(4), double(6), double(4), 0L, PACKAGE = "kelvara"),
               "the response must be a double vector of 4 values")
  expect_error(.C("kv_sample_spreads", list(matrix(1, 4, 2), double(0), c(1L, 9L)), 4L, 2L, 2L,
                  0L, 0L, double(3), double(3), integer(3), PACKAGE = "kelvara"),
               "a row out of range")
})
