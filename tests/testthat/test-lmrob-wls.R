## The streaming weighted least-squares core of the kv_ routines against
## LAPACK dgels, which the documented R_ routines keep: the two may differ
## only by rounding.

wls <- function(x, y, w, reference)
  .C("kv_wls", as.double(x), as.double(y), as.double(w), nrow(x), ncol(x),
     beta = double(ncol(x)), as.integer(reference), info = 0L, fallback = 0L,
     PACKAGE = "kelvara")[c("beta", "info", "fallback")]

rel_err <- function(a, b) max(abs(a - b)) / max(abs(b))
with_threads <- function(k, expr) {
  old <- options(kelvara.threads = k)
  on.exit(options(old))
  expr
}

test_that("one weighted fit agrees with dgels on hard designs and hands over degenerate ones", {
  set.seed(11); n <- 700; z <- rnorm(n)  # n: more than two blocks of rows
  x <- cbind(1, z, z + 1e-4 * rnorm(n), rnorm(n), 1e3 * rnorm(n))  # near-collinear, scaled
  y <- drop(x %*% c(1, -2, 3, 0.5, 1e-4)) + rnorm(n)
  # plain, some huge, many tiny, few positive
  wts <- list(runif(n), ifelse(runif(n) < 0.1, 1e150, runif(n)),
              ifelse(runif(n) < 0.5, 1e-150, runif(n)), c(rep(0, n - 20), runif(20)))
  for (w in wts) {
    a <- wls(x, y, w, FALSE); b <- wls(x, y, w, TRUE)
    expect_identical(c(a$info, a$fallback, b$info), c(0L, 0L, 0L))
    # The weighted design's condition number is about 1e7: dgels itself
    # moves by up to 1e-10 when the rows are merely permuted.
    expect_lt(rel_err(a$beta, b$beta), 1e-9)
    # The normal equations of the weighted fit hold: every weighted column
    # is orthogonal to the weighted residuals.
    r <- drop(y - x %*% a$beta); g <- crossprod(x, w * r) / sqrt(colSums(w * x^2) * sum(w * r^2))
    expect_lt(max(abs(g)), 1e-9)
  }
  # A well-conditioned design: agreement to 1e-12.
  xg <- cbind(1, matrix(rnorm(n * 4), n)); w <- runif(n)
  expect_lt(rel_err(wls(xg, y, w, FALSE)$beta, wls(xg, y, w, TRUE)$beta), 1e-12)

  # Three chunks of the cross-product, an off-centre column: at offset 20
  # (condition about 42) the normal equations are accurate enough; at 1000
  # they would be off by about 1e-8, so the condition guard must refuse them.
  # The chunks make the result the same for every thread count.
  nn <- 9000; z <- rnorm(nn); e <- 5 * rnorm(nn)
  for (off in c(20, 1000)) for (w in list(runif(nn), ifelse(runif(nn) < 0.1, 1e150, 1),
                                           ifelse(runif(nn) < 0.5, 1e-150, 1))) {
    xo <- cbind(1, off + z, rnorm(nn)); yo <- drop(xo %*% c(1, 2, 3)) + e
    a <- with_threads(1, wls(xo, yo, w, FALSE))
    expect_identical(with_threads(2, wls(xo, yo, w, FALSE)), a)
    expect_lt(rel_err(a$beta, wls(xo, yo, w, TRUE)$beta), 1e-10)
  }

  # Collinear designs, weights that blank a column and data out of range go
  # to dgels: its rank report and results stand.
  wb <- c(runif(n - 3), 0, 0, 0)
  hard <- list(list(cbind(x[, 1:2], 2 * x[, 2]), w),
               list(cbind(1, c(rep(0, n - 3), 1, 2, 3), rnorm(n)), wb),
               list(xg, replace(w, 5, 1e300)),
               list(replace(xg, 7, 1e200), w))
  for (h in hard) {
    expect_identical(wls(h[[1]], y, h[[2]], FALSE),
                     c(wls(h[[1]], y, h[[2]], TRUE)[c("beta", "info")], fallback = 1L))
  }
  expect_identical(wls(hard[[2]][[1]], y, wb, FALSE)$info, 2L)
})

## The S, MM and M-S fits through the kv_ routines (new core) and the R_
## routines (dgels), same data, settings and seed.
s_fit <- function(entry, x, y, seed, extra = list()) {
  set.seed(seed)
  z <- do.call(.C, c(list(entry, x = x, y = y, n = nrow(x), p = ncol(x), 500L, scale = 0,
                          beta = double(ncol(x)), 1.54764, 1L, 0.5, 2L, 5L, 400L, 2L,
                          max_refine = 200L, 200L, 1e-7, 1e-7, converged = FALSE, 0L, 200L, 0L),
                     extra, PACKAGE = "kelvara"))
  list(beta = z$beta, scale = z$scale, it = z$max_refine, conv = z$converged, seed = .Random.seed)
}

test_that("S, MM and M-S fits agree with the dgels path, with the same draws and steps", {
  set.seed(3)
  for (n in c(300L, 3000L)) {  # both sample-size paths of the S search
    d <- lmrob_data(n, c(1, 2, -1, 0.5), share = 0.2, leverage = TRUE)
    x <- d$x; x[, 4] <- x[, 3] + 1e-3 * rnorm(n)  # near-collinear
    a <- s_fit("kv_lmrob_S", x, d$y, n, list(status = integer(8)))
    b <- s_fit("R_lmrob_S", x, d$y, n)
    expect_identical(a[c("it", "conv", "seed")], b[c("it", "conv", "seed")])
    expect_lt(rel_err(a$beta, b$beta), 1e-10)
    expect_lt(abs(a$scale / b$scale - 1), 1e-10)

    mm <- function(entry)
      .C(entry, x, d$y, n, 4L, a$beta, a$scale, beta = double(4), r = double(n), it = 50L,
         4.685061, 1L, loss = 0, 1e-7, conv = FALSE, 0L, 0L, 0L, PACKAGE = "kelvara")
    m1 <- mm("kv_lmrob_MM"); m2 <- mm("R_lmrob_MM")
    expect_identical(m1[c("it", "conv")], m2[c("it", "conv")])
    expect_lt(rel_err(m1$beta, m2$beta), 1e-10)
    expect_lt(abs(m1$loss / m2$loss - 1), 1e-10)
  }

  n <- 200L; x1 <- cbind(1, rep(0:1, n / 2)); x2 <- matrix(rnorm(2 * n), n)
  x2 <- cbind(x2, x2[, 1] + 1e-4 * rnorm(n))
  y <- drop(x1 %*% c(1, 2) + x2 %*% c(1, -1, 0.5)) + rnorm(n); y[1:20] <- y[1:20] + 30
  ms <- function(entry, extra = list()) {
    set.seed(5)
    z <- do.call(.C, c(list(entry, x1, x2, y, res = double(n), n, 2L, 3L, 100L,
                            scale = 0, b1 = double(2), b2 = double(3), 1.54764, 1L, 0.5,
                            20L, 500L, 1e-7, 1e-7, conv = FALSE, 0L, TRUE, TRUE, TRUE,
                            200L, 0L), extra, PACKAGE = "kelvara"))
    c(z[c("scale", "b1", "b2", "conv")], list(seed = .Random.seed))
  }
  a <- ms("kv_lmrob_M_S", list(200L, status = integer(8))); b <- ms("R_lmrob_M_S")
  expect_identical(a[c("conv", "seed")], b[c("conv", "seed")])
  expect_lt(rel_err(c(a$b1, a$b2), c(b$b1, b$b2)), 1e-10)
  expect_lt(abs(a$scale / b$scale - 1), 1e-10)
})
