## Time of L1 regression (two-stage simplex) by the number of cases n and of
## coefficients p (with intercept), heavy-tailed errors.
## Targets: p = 6: n = 1e4 under 0.1 s, n = 1e5 under 1.5 s.
## Run: make install && R_LIBS=.rlib Rscript bench/l1.R
library(kelvara)
time_fit <- function(n, p) {
  set.seed(1)
  x <- matrix(rnorm(n * (p - 1)), n, p - 1)
  y <- drop(3 + x %*% seq_len(p - 1) + rt(n, 2))
  t <- system.time(f <- l1_fit(x, y))
  c(n = n, p = p, elapsed = t[["elapsed"]], cpu = t[["user.self"]] + t[["sys.self"]],
    pivots = f$iterations, status = f$status)
}
cat("growth in n (p = 6):\n")
print(t(sapply(c(1e3, 1e4, 1e5, 1e6), time_fit, p = 6)))
cat("growth in p (n = 1e4):\n")
print(t(sapply(c(2, 6, 11, 21, 41), time_fit, n = 1e4)))
