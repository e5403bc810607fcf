## Minimum covariance determinant: brute force over every h-subset,
## invariances, planted outliers, exact fits and the search plans.

## Smallest covariance determinant over every h-subset of the rows of x.
brute_mcd_det <- function(x, h)
  min(apply(utils::combn(nrow(x), h), 2L, function(s) det(stats::cov(x[s, , drop = FALSE]))))

## A C-step from the subset `best`: true when its h cases are the h closest to
## their own center under their own covariance (ties allowed).
is_cstep_fixed_point <- function(x, best) {
  d <- stats::mahalanobis(x, colMeans(x[best, , drop = FALSE]), stats::cov(x[best, , drop = FALSE]))
  max(d[best]) <= min(d[-best]) * (1 + 1e-10) + 1e-12
}

test_that("the raw determinant is the minimum over all h-subsets on tiny data", {
  set.seed(20261206)
  misses <- 0L
  for (rep in 1:60) {
    p <- 1L + rep %% 3L
    n <- sample((p + 4L):12L, 1L)
    x <- matrix(stats::rnorm(n * p), n, p)
    if (rep %% 4L == 0L) x[1:2, ] <- x[1:2, ] + 6
    if (rep %% 5L == 0L) x <- round(x, 1)  # ties
    m <- mcd(x, nsamp = if (rep %% 2L) 0 else 500)
    h <- m$h
    expect_identical(h, as.integer((n + p + 1) %/% 2))
    best_det <- brute_mcd_det(x, h)
    # One variable: the raw "determinant" is the variance with divisor h.
    got <- if (p == 1L) m$raw_det * h / (h - 1) else m$raw_det
    expect_gte(got, best_det * (1 - 1e-9) - 1e-14)
    misses <- misses + (got > best_det * (1 + 1e-9) + 1e-14)
    expect_length(m$best, h)
    expect_true(is_cstep_fixed_point(x, m$best))
    if (p > 1L)
      expect_equal(m$raw_det, det(stats::cov(x[m$best, , drop = FALSE])), tolerance = 1e-9)
  }
  # A search may stop in a local optimum; on data this small it hardly does
  # (at most one in twenty of the 60 data sets).
  expect_lte(misses, 3L)

  # Random starts (p + 1 = 7 is beyond the sizes that are enumerated).
  misses <- 0L
  for (rep in 1:6) {
    x <- matrix(stats::rnorm(12 * 6), 12, 6)
    m <- mcd(x, nsamp = 200)
    best_det <- brute_mcd_det(x, m$h)
    expect_gte(m$raw_det, best_det * (1 - 1e-9))
    misses <- misses + (m$raw_det > best_det * (1 + 1e-9))
    expect_true(is_cstep_fixed_point(x, m$best))
  }
  expect_lte(misses, 1L)
})

test_that("one variable gives the exact univariate answer", {
  set.seed(11)
  for (n in c(7L, 10L, 25L)) {
    x <- stats::rexp(n)
    m <- mcd(x)
    h <- m$h
    ## every window of h consecutive order statistics
    win <- function(j) sort(x)[j:(j + h - 1L)]
    ss <- vapply(seq_len(n - h + 1L), function(j) sum((win(j) - mean(win(j)))^2), 0)
    expect_equal(m$raw_center, mean(win(which.min(ss))), tolerance = 1e-12)
    expect_equal(m$raw_det, min(ss) / h, tolerance = 1e-10)
    expect_equal(sort(x[m$best]), win(which.min(ss)))
    d <- (x - m$raw_center)^2 / m$raw_det
    expect_equal(m$raw_consistency, sort(d)[n %/% 2L] / stats::qchisq(0.5, 1) *
                   m$small_sample[["raw"]])
    expect_equal(m$raw_cov[1, 1], m$raw_det * m$raw_consistency)
  }
})

test_that("coverage of all cases gives the classical estimate", {
  set.seed(3)
  x <- matrix(stats::rnorm(60), 20, 3)
  m <- mcd(x, alpha = 1)
  expect_identical(m$h, 20L)
  expect_equal(m$raw_center, colMeans(x), tolerance = 1e-12)
  expect_equal(unname(m$raw_cov), stats::cov(x), tolerance = 1e-12)
  # alpha between 0.5 and 1 moves h linearly from (n + p + 1) / 2 to n
  expect_identical(mcd(x, alpha = 0.75)$h, as.integer(floor(2 * 12 - 20 + 2 * 8 * 0.75)))
})

test_that("planted outliers get weight 0 and leave the center in place", {
  set.seed(7)
  n <- 200L
  ## small variance in the third direction
  clean <- matrix(stats::rnorm(n * 3), n, 3) %*% diag(c(1, 1, 0.05))
  for (frac in c(0.10, 0.40)) {
    out <- seq_len(round(frac * n))
    m <- mcd(clean + outer(seq_len(n) %in% out, c(8, 8, 0)), seed = 1)
    expect_true(all(m$weights[out] == 0L))
    expect_gt(mean(m$weights[-out]), 0.9)
    expect_lt(max(abs(m$center - colMeans(clean[-out, ]))), 0.3)
    expect_false(any(m$best %in% out))
    ## the same outliers moved only along the direction of small variance
    m <- mcd(replace(clean, cbind(out, 3), clean[out, 3] + 1), seed = 1)
    expect_true(all(m$weights[out] == 0L))
    expect_lt(abs(m$center[3]), 0.05)
  }
  ## the search reads the caller's matrix where it stands (it is not copied):
  ## data far from the origin, which it scales, are left as they were
  x <- clean * 1e4 + 3e6
  x0 <- x + 0
  m <- mcd(x, seed = 1)
  expect_identical(x, x0)
  expect_equal(m$center, colMeans(clean) * 1e4 + 3e6, tolerance = 1e-3)
})

test_that("exact fits are reported with their hyperplane", {
  ## all cases on a line: the classical covariance is singular
  m <- mcd(cbind(1:10, 2 * (1:10) + 1))
  expect_identical(c(m$exact_fit, m$n_on_plane), c(1L, 10L))
  expect_true(all(m$weights == 1L))
  hp <- m$hyperplane
  expect_equal(sum(hp^2), 1, tolerance = 1e-12)
  expect_equal(hp[1] * (-1) - hp[2] * 2, 0, tolerance = 1e-10)
  expect_equal(m$raw_center, c(5.5, 12), tolerance = 1e-12)

  ## 30 of 40 cases on a line among noise
  set.seed(9)
  t <- stats::runif(30, -3, 3)
  x <- rbind(cbind(t, 1 + 0.5 * t), matrix(stats::rnorm(20, sd = 3), 10, 2))
  m <- mcd(x, seed = 2)
  expect_identical(c(m$exact_fit, m$n_on_plane), c(2L, 30L))
  expect_equal(m$weights, rep(1:0, c(30L, 10L)))
  hp <- m$hyperplane / sqrt(sum(m$hyperplane^2))
  expect_equal(abs(sum(hp * c(0.5, -1) / sqrt(1.25))), 1, tolerance = 1e-8)
  expect_equal(unname(m$raw_center), unname(colMeans(x[1:30, ])), tolerance = 1e-10)
  expect_equal(unname(m$raw_cov), unname(stats::cov(x[1:30, ])), tolerance = 1e-10)
  expect_true(all(is.na(m$mah)))

  ## a variable constant on more than half of the cases
  m <- mcd(replace(matrix(stats::rnorm(90), 30, 3), cbind(1:20, 2), 5))
  expect_identical(c(m$exact_fit, m$n_on_plane), c(2L, 20L))
  expect_equal(abs(unname(m$hyperplane)), c(0, 1, 0))
  expect_equal(m$weights, rep(1:0, c(20L, 10L)))
  expect_equal(unname(m$raw_center[2]), 5)

  ## one variable with more than h equal values
  m <- mcd(c(rep(2, 8), 1:5))
  expect_identical(c(m$exact_fit, m$n_on_plane), c(2L, 9L))  # the 2 among 1:5 counts too
  expect_equal(m$raw_center, 2)
})

test_that("the search plan follows the group size and nsamp", {
  trace_lines <- function(...) list(out = utils::capture.output(m <- mcd(..., trace = 2)), m = m)
  stage_counts <- function(out)
    as.integer(sub("^\\[1\\] ", "", out[grep("Main loop - number of trials nrep", out) + 1L]))
  set.seed(13)
  gs <- 30L
  for (n in c(59L, 90L, 200L)) {
    x <- matrix(stats::rnorm(2 * n), n, 2) + 10 * (seq_len(n) <= 5)
    r <- trace_lines(x, nsamp = 60, group_size = gs)
    per_group <- 60L %/% min(n %/% gs, 5L)
    # first and final stage; or group, merged and final stage
    expect_equal(stage_counts(r$out),
                 if (n < 2L * gs) c(60L, 60L) else c(per_group, per_group, 10L))
    expect_true(all(r$m$weights[1:5] == 0L) && is_cstep_fixed_point(x, r$m$best))
  }
  ## nsamp = 0: every (p + 1)-subset, in the same order whatever the seed
  x <- matrix(stats::rnorm(20), 10, 2)
  r <- trace_lines(x, nsamp = 0)
  expect_identical(r$out[grep("will use *all* combinations:", r$out, fixed = TRUE) + 1L], "[1] 120")
  expect_identical(mcd(x, nsamp = 0, seed = 1)[c("best", "raw.cov")],
                   mcd(x, nsamp = 0, seed = 99)[c("best", "raw.cov")])
  ## groups too small for their coverage are enlarged before the call
  x <- matrix(stats::rnorm(700 * 8), 700, 8)
  m <- mcd(x, nsamp = 20, group_size = 10)
  expect_gte(floor(m$settings$group_size * m$h / 700), 9)
  expect_true(is_cstep_fixed_point(x, m$best))
})

test_that("singular starting subsets are grown without disturbing the enumeration", {
  ## a 4 x 3 grid: many collinear triples, at most 4 cases on a line
  x <- as.matrix(expand.grid(a = 1:4, b = c(0, 1, 3)))
  m <- mcd(x, nsamp = 0)
  expect_equal(m$raw_det, brute_mcd_det(x, m$h), tolerance = 1e-9)
  ## the same with random starts on a larger grid
  y <- as.matrix(expand.grid(1:6, 1:5))
  my <- mcd(y, nsamp = 30, seed = 3)
  expect_identical(c(m$exact_fit, my$exact_fit), c(0L, 0L))
  expect_true(is_cstep_fixed_point(x, m$best) && is_cstep_fixed_point(y, my$best))
})

test_that("every plan ends with a solution", {
  set.seed(41)
  x <- matrix(stats::rnorm(140), 70, 2)
  ## one start for three groups still gives each group a start
  m <- mcd(x, nsamp = 1, group_size = 20)
  expect_identical(m$exact_fit, 0L)
  expect_true(is.finite(m$raw_det) && m$raw_det > 0 && is_cstep_fixed_point(x, m$best))
  ## groups whose coverage is below p + 1 are doubled in size
  ## (5 -> 10 -> 20: groups of 20 cover 10 >= 8 of the 100 cases)
  before <- mcd(x, seed = 5)
  x7 <- matrix(stats::rnorm(700), 100, 7)
  expect_identical(c(mcd(x7, nsamp = 10, group_size = 5)$settings$group_size,
                     mcd(x, group_size = 300)$settings$group_size), c(20L, 36L))
  ## a call stopped by an error leaves nothing behind
  expect_identical(mcd(x, seed = 5)[-length(before)], before[-length(before)])
})

test_that("input is validated before the compiled search", {
  x <- matrix(stats::rnorm(20), 10, 2)
  expect_error(mcd(x[1:2, ]), "more cases than variables")
  expect_error(mcd(data.frame(a = 1:5, b = letters[1:5])), "numeric columns")
  expect_error(mcd(x, alpha = 0.3), "alpha")
  expect_error(mcd(matrix(stats::rnorm(4000), 1000, 4), nsamp = 0), "nsamp > 0")
  ## a data frame is accepted and keeps its names
  expect_named(mcd(data.frame(u = stats::rnorm(15), v = stats::rnorm(15)))$center, c("u", "v"))
  ## the compiled routine refuses arguments that would overrun its arrays
  for (h in c(11L, 2L))
    expect_error(kelvara:::.mcd_fortran(x, 10L, 2L, h, 10L, 300L, 7, 1.4, 0L), "invalid")
})

test_that("the combination-count overflow is announced and the plan still ends", {
  ## 700 cases on a plane in three dimensions: all 4-subsets are asked for,
  ## their number is capped, and the singular data end the search at once.
  set.seed(2)
  u <- matrix(stats::rnorm(1400), 700, 2)
  x <- cbind(u, u %*% c(1, -2) + 3)
  out <- utils::capture.output(z <- kelvara:::.mcd_fortran(
    x, 700L, 3L, 351L, 0L, 300L, stats::qchisq(0.975, 3), stats::qchisq(0.5, 3), 0L))
  expect_true(any(grepl("** too many combinations; using max.integer instead:", out, fixed = TRUE)))
  expect_identical(c(z$exact_fit, z$n_on_plane), c(1L, 700L))
})

test_that("print and summary show the estimate", {
  set.seed(21)
  s <- summary(m <- mcd(rbind(matrix(20, 3, 2), matrix(stats::rnorm(60), 30, 2)[-(1:3), ])))
  expect_identical(s$n_outliers, sum(m$weights == 0L))
  expect_true(all(1:3 %in% s$outliers))
  expect_output(print(s), "weight 0 by the reweighting: ")
})

test_that("a seed reproduces the fit without touching the caller's random stream", {
  set.seed(23)
  x <- matrix(stats::rt(120, df = 3), 40, 3)
  ## without a stream: none is created
  old <- .Random.seed
  rm(".Random.seed", envir = globalenv())
  a <- mcd(x, seed = 9)
  expect_false(exists(".Random.seed", envir = globalenv(), inherits = FALSE))
  ## with a stream: it is left as it was
  set.seed(1)
  before <- .Random.seed
  b <- mcd(x, seed = 9)
  expect_identical(list(.Random.seed, a[names(a) != "call"]), list(before, b[names(b) != "call"]))
  ## the recorded generator state reproduces the draws
  assign(".Random.seed", a$settings$rng_state, envir = globalenv())
  expect_identical(mcd(x)$best, a$best)
  assign(".Random.seed", old, envir = globalenv())
})

test_that("the distance-distance plot needs no data once the fit is made", {
  set.seed(24)
  x <- replace(matrix(stats::rnorm(150), 50, 3), cbind(1:4, 1), 12)
  m <- mcd(x, seed = 1)
  ## classical squared distances by their definition
  xc <- sweep(x, 2L, colMeans(x))
  md <- rowSums((xc %*% solve(crossprod(xc) / 49)) * xc)
  expect_equal(unname(m$mah_classical), md, tolerance = 1e-10)
  rm(x)
  grDevices::pdf(NULL)
  expect_silent(plot(m, which = "dd"))
  grDevices::dev.off()
  ## a singular sample covariance has no classical distances
  set.seed(25)
  u <- stats::rnorm(30)
  s <- suppressWarnings(mcd(cbind(u, 2 * u + 1, stats::rnorm(30)), seed = 1))
  expect_true(all(is.na(s$mah_classical)))
})
