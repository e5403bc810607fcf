## Time of the M-S estimator with a 5-level factor (L1 block: intercept and
## 4 dummies) and 3 continuous covariates, 10% outliers, default control
## (500 subsamples).  Targets: n = 1e3 under 1 s, n = 1e4 under 10 s.
## Run: make install && R_LIBS=.rlib Rscript bench/lmrob_ms.R
library(kelvara)
time_fit <- function(n) {
  set.seed(1)
  f <- factor(sample(letters[1:5], n, TRUE))
  x1 <- model.matrix(~ f)
  x2 <- matrix(rnorm(3 * n), n, 3)
  y <- drop(x1 %*% c(1, 2, -1, 0.5, 3) + x2 %*% c(2, -1, 0.5) + rnorm(n))
  y[seq_len(n / 10)] <- y[seq_len(n / 10)] + 20
  t <- system.time(fit <- lmrob_M_S(x1, x2, y))
  c(n = n, elapsed = t[["elapsed"]], cpu = t[["user.self"]] + t[["sys.self"]],
    scale = fit$scale)
}
print(t(sapply(c(1e3, 1e4), time_fit)))
