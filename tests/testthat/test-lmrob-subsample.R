ss <- kelvara:::.lmrob_subsample
# The R table of status codes must agree with what the module returns.
status <- kelvara:::.subsample_status

## The equilibrated submatrix A (rows: variables in var_order, columns: the
## chosen observations) rebuilt from the returned scaling.
equilibrated_submatrix <- function(x, r) {
  xe <- if (r$row_equ) x * r$row_scale else x
  if (r$col_equ) xe <- sweep(xe, 2L, r$col_scale, `*`)
  t(xe[r$idc, r$var_order, drop = FALSE])
}

lu_product <- function(r) {
  L <- r$lu; L[upper.tri(L, diag = TRUE)] <- 0; diag(L) <- 1
  U <- r$lu; U[lower.tri(U)] <- 0
  L %*% U
}

test_that("a draw is the exact fit through its observations, with its LU factors", {
  set.seed(11); n <- 12; p <- 4
  # Rows and columns of very different magnitudes force both scalings.
  x <- matrix(rnorm(n * p), n, p) * 10^seq(-3, 3, length.out = n)
  x <- sweep(x, 2L, c(1e-4, 1, 1e3, 10), `*`)
  y <- rnorm(n); r <- ss(x, y)
  expect_true(r$status == status[["ok"]] && r$row_equ && r$col_equ)
  expect_equal(list(sort(r$order), r$idc), list(1:n, r$order[1:p]))
  expect_equal(drop(x[r$idc, ] %*% r$coefficients), y[r$idc], tolerance = 1e-9)
  expect_equal(lu_product(r), equilibrated_submatrix(x, r), tolerance = 1e-12)
  # Partial pivoting: every multiplier is at most 1 in magnitude.
  expect_true(all(abs(r$lu[lower.tri(r$lu)]) <= 1))
  # dgeequ's row factors: 1 / largest magnitude in the row.
  expect_equal(r$row_scale, 1 / apply(abs(x), 1L, max))

  # Well-scaled data are not equilibrated; p = 1 has no pivot search.
  x1 <- cbind(c(0.5, 1, 2, 1.5, 0.7)); r1 <- ss(x1, 1:5)
  expect_false(r1$row_equ || r1$col_equ || length(r1$pivot) > 0)
  expect_equal(r1$coefficients, r1$idc / x1[r1$idc, 1])
})

test_that("the order of the observations is the documented draw from R's stream", {
  n <- 9; p <- 3; set.seed(3); x <- matrix(rnorm(n * p), n, p); y <- rnorm(n)
  set.seed(42); r <- ss(x, y); after <- .Random.seed
  # Replay: n uniforms, each picking one of the indices still in the pool.
  set.seed(42)
  work <- 0:(n - 1); m <- n; out <- integer(n)
  for (i in 1:n) {
    j <- floor(m * runif(1))
    out[i] <- work[j + 1]; work[j + 1] <- work[m]; m <- m - 1
  }
  expect_equal(r$order, out + 1L); expect_identical(after, .Random.seed)
  set.seed(42); expect_identical(ss(x, y), r)
  # Without sampling no random number is drawn.
  set.seed(5); before <- .Random.seed; r0 <- ss(x, y, sample = FALSE)
  expect_identical(.Random.seed, before); expect_equal(r0$order, 1:n)
})

test_that("singular draws are replaced from the end, or restarted, with their warnings", {
  x <- cbind(1, c(1, 1, 2, 3, 5, 8), c(2, 2, 1, 0, 1, 4)); y <- c(1, 2, 3, 4, 5, 6)
  # Rows 1 and 2 coincide: the second is replaced by row 6, then (if needed) 5.
  r <- ss(x, y, sample = FALSE, subsampling = "nonsingular")
  expect_equal(list(r$status, r$idc), list(status[["ok"]], c(1L, 6L, 3L)))
  expect_equal(drop(x[r$idc, ] %*% r$coefficients), y[r$idc])
  x2 <- x; x2[6, ] <- x2[1, ]
  expect_equal(ss(x2, y, sample = FALSE)$idc, c(1L, 5L, 3L))

  # Restart mode with a fixed order repeats the same singular draw.
  expect_warning(r2 <- ss(x, y, sample = FALSE, subsampling = "simple", max_singular = 3),
    "Too many singular resamples. Aborting subsample().\n See parameter subsampling in help of lmrob.config().",
    fixed = TRUE)
  expect_equal(r2$status, status[["too_many_singular"]])

  # A rank-deficient design runs out of replacements.
  xr <- cbind(1:6, 2 * (1:6)); expect_warning(r3 <- ss(xr, y, subsampling = "nonsingular"),
                 "subsample: could not find non-singular subsample.", fixed = TRUE)
  expect_equal(r3$status, status[["no_replacement"]])
  set.seed(1); expect_warning(r4 <- ss(xr, y, subsampling = "simple", max_singular = 5), "Too many")
  expect_equal(r4$status, status[["too_many_singular"]])
})

test_that("the first of equal pivot candidates is taken", {
  # Entries of one magnitude: no equilibration, pivots decided on x itself.
  x <- rbind(c(1, 1), c(1, -1), c(-1, 1))
  r <- ss(x, c(2, 0, 1), sample = FALSE)
  expect_false(r$row_equ || r$col_equ)
  expect_equal(r[c("pivot", "var_order", "coefficients")],
               list(pivot = 1L, var_order = 1:2, coefficients = c(1, 1)))
  x[1, ] <- c(0.5, -1); r <- ss(x, c(2, 0, 1), sample = FALSE)
  expect_equal(r[c("pivot", "var_order")], list(pivot = 2L, var_order = 2:1))
  expect_equal(drop(x[1:2, ] %*% r$coefficients), c(2, 0))
})

test_that("zero rows and columns stop the draw with the equilibration's message", {
  expect_error(ss(matrix(c(1, 2, 3, 4, 0, 0, 0, 0, 5, 6, 7, 8), 4, 3), 1:4),
               "dgeequ: column 2 is exactly zero.", fixed = TRUE)
  expect_error(ss(matrix(c(1, 2, 0, 4, 5, 6, 0, 8), 4, 2), 1:4), "dgeequ: row 3 is exactly zero.",
               fixed = TRUE)
  # The module still works after an error.
  expect_equal(ss(diag(2), c(3, 4), sample = FALSE)$coefficients, c(3, 4))
})
