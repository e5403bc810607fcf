## The vector utilities shared by the regression estimators, reached through
## a test-only library built from the module's sources.
probe <- native_probe("utilities_probe", "utilities.cpp")

kth <- function(a, k) {
  z <- .C("probe_kthplace", a = as.double(a), length(a), as.integer(k), out = 0,
          NAOK = TRUE, PACKAGE = probe)
  list(value = z$out, a = z$a)
}
med <- function(x, what = 0L, center = 0) {
  z <- .C("probe_median", as.double(x), length(x), as.integer(what), as.double(center),
          aux = double(length(x)), t = double(length(x)), out = 0, PACKAGE = probe)
  list(value = z$out, aux = z$aux, t = z$t)
}

test_that("selection partitions around the k-th smallest value", {
  skip_if(is.null(probe), "module sources not available")
  set.seed(11)
  for (rep in 1:60) {
    n <- sample(1:25, 1)
    a <- sample(0:6, n, replace = TRUE) + if (rep %% 2) 0 else runif(n)
    k <- sample.int(n, 1)
    z <- kth(a, k)
    expect_identical(list(z$value, sort(z$a)), list(sort(a)[k], sort(a)))
    expect_true(all(z$a[seq_len(k - 1)] <= z$value) && all(z$a[k:n] >= z$value))
  }
})

test_that("medians and MAD follow their definitions and leave x unchanged", {
  skip_if(is.null(probe), "module sources not available")
  z <- med(c(4, 1, 3, 2))
  expect_identical(list(z$value, sort(z$aux), med(c(-3, 1, 2), what = 1L)$value),
                   list(2.5, c(1, 2, 3, 4), 2))
  m <- med(c(1, 2, 3, 4, 100), what = 2L, center = 3)  # exactly 1.4826, not qnorm-based
  expect_identical(list(m$value, m$t), list(1.4826, c(-2, -1, 0, 1, 97)))
  # The median as the middle order statistic or the plain-double mean of the
  # two middle ones (R's median() averages in long double, which memory
  # checkers emulate with less precision).
  middle <- function(v) {
    s <- sort(v)
    h <- (length(s) + 1L) %/% 2L
    if (length(s) %% 2L) s[h] else (s[h] + s[h + 1L]) / 2
  }
  set.seed(3)
  for (n in c(1:6, 17, 30)) {
    x <- round(rnorm(n), 1)
    expect_identical(c(med(x)$value, med(x, 1L)$value), c(middle(x), middle(abs(x))))
  }
})
