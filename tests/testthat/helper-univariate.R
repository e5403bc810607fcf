## Slow, obviously correct references for the univariate statistics, and
## direct calls of their compiled routines.

## x rounded to single precision (R converts on writing 4-byte reals).
to_single <- function(x)
  readBin(writeBin(as.double(x), raw(), size = 4), "double", size = 4, n = length(x))

## Weighted high median by sorting: the smallest value whose weight at or
## below it exceeds half the total.
whimed_ref <- function(x, w) {
  o <- order(x)
  x[o][which(2 * cumsum(w[o]) > sum(w))[1]]
}

## Qn: order statistic of rank h(h-1)/2 among all |x_i - x_j|, i < j.
qn0_ref <- function(x) {
  n <- length(x)
  h <- n %/% 2 + 1
  sort(abs(outer(x, x, "-"))[upper.tri(diag(n))])[h * (h - 1) / 2]
}

## Sn: per observation the high median of its distances to the whole sample
## (itself included), then the low median of those.
sn0_ref <- function(x) {
  y <- sort(as.double(x))
  n <- length(y)
  a2 <- vapply(y, function(v) sort(abs(v - y))[n %/% 2 + 1], 0)
  list(a2 = a2, sn = sort(a2)[(n + 1) %/% 2])
}

## Medcouple: every kernel value (a + b) / (a - b) of the sorted sample
## centred at its median (a above it, b below), ties ordered by their matrix
## position; the value of rank (h1 h2) %/% 2 + 1 from the top.  The tie
## tolerances act in units of the power of two at or below the interquartile
## distance (the range when that is 0); the kernel values do not depend on
## that unit.
mc_ref <- function(z, eps1 = 1e-14, eps2 = 1e-15) {
  n <- length(z)
  if (n < 3) return(0)
  x <- sort(-z)
  spread <- x[(3 * n) %/% 4 + 1] - x[n %/% 4 + 1]
  if (spread == 0) spread <- x[n] - x[1]
  if (spread > 0) x <- x / 2^floor(log2(spread))
  xmed <- if (n %% 2) x[n %/% 2 + 1] else (x[n %/% 2] + x[n %/% 2 + 1]) * 0.5
  if (abs(x[1] - xmed) < eps1 * (eps1 + abs(xmed))) return(-1)
  if (abs(x[n] - xmed) < eps1 * (eps1 + abs(xmed))) return(1)
  x <- xmed - x
  xeps <- eps1 * (eps1 + abs(xmed))
  j1 <- which(x <= xeps)[1]
  h1 <- c(which(x <= -xeps & seq_len(n) >= j1), n + 1)[1] - 1
  h2 <- n - j1 + 1
  a <- matrix(x[seq_len(h1)], h1, h2)
  b <- matrix(x[j1:n], h1, h2, byrow = TRUE)
  h <- (a + b) / (a - b)
  tie <- abs(a - b) < 2 * eps2 | b > 0
  h[tie] <- sign(h1 + 1 - row(h) - col(h))[tie]
  sort(h, decreasing = TRUE)[(h1 * h2) %/% 2 + 1]
}

## Medcouple of a large sample of even size without ties, in O(n log n)
## per step: bisection on the count of kernel values above v (for b < 0 < a,
## h(a, b) > v exactly when a > -b (1 + v) / (1 - v)), then the few kernel
## values left near the answer are evaluated and ranked.
mc_large_ref <- function(z) {
  n <- length(z)
  stopifnot(n %% 2 == 0)
  x <- sort(-z)
  x <- (x[n / 2] + x[n / 2 + 1]) * 0.5 - x
  a <- rev(x[seq_len(n / 2)])            # positive half, ascending
  b <- x[(n / 2 + 1):n]                  # negative half
  knew <- (n / 2)^2 %/% 2 + 1
  above <- function(v) length(a) - findInterval(-b * (1 + v) / (1 - v), a)
  lo <- -1; hi <- 1
  for (k in 1:60) {
    mid <- (lo + hi) / 2
    if (sum(above(mid)) >= knew) lo <- mid else hi <- mid
  }
  a_lo <- above(lo - 1e-9); a_hi <- above(hi + 1e-9)
  near <- unlist(lapply(which(a_lo > a_hi), function(i) {
    aa <- a[(length(a) - a_lo[i] + 1):(length(a) - a_hi[i])]
    (aa + b[i]) / (aa - b[i])
  }))
  sort(near, decreasing = TRUE)[knew - sum(a_hi)]
}

## The cases among 1..reps for which check(rep) returns a description of a
## failure rather than NULL (collected, so that one expectation reports them).
failures <- function(reps, check) unlist(lapply(seq_len(reps), check))
describe <- function(x) paste(signif(x, 17), collapse = ", ")

## The .C routines, called directly.
Qn0_c <- function(x)
  .C("Qn0", as.double(x), length(x), result = double(1), NAOK = TRUE, PACKAGE = "kelvara")$result
Sn0_c <- function(x, is_sorted = 0L)
  .C("Sn0", x = as.double(x), length(x), as.integer(is_sorted), result = double(1),
     a2 = double(length(x)), NAOK = TRUE, PACKAGE = "kelvara")
mc_c <- function(x, eps = c(1e-14, 1e-15), maxit = 100L, trace = 0L)
  .C("mc_C", as.double(x), length(x), as.double(eps),
     iter = as.integer(c(maxit, trace)), result = double(1), NAOK = TRUE, PACKAGE = "kelvara")

## A random sample of size n of one of several shapes: continuous, heavy
## ties, dyadic grid, wide range, a constant run.
univariate_sample <- function(n, shape = sample(5, 1))
  switch(shape, rnorm(n), as.double(sample(6, n, replace = TRUE)), round(rexp(n) * 8) / 8,
         exp(rnorm(n, sd = 8)), c(rep(3, n %/% 2), rnorm(n - n %/% 2, 3)))
