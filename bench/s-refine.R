## Number of final refinement steps of the S-estimate on clean normal data
## (n = 60, 80, 100; 2 to 5 coefficients), without an iteration limit: the
## basis of the default max_refine.
##   Rscript bench/s-refine.R [fits] [seed]
## Result (1000 fits, seeds 1 and 2 with 500 fits each): median 40 steps,
## share above 100 / 150 / 200 / 300 / 400 steps 0.076 / 0.029 / 0.013 /
## 0.004 / 0.001, largest 492.
library(kelvara)
args <- commandArgs(TRUE)
fits <- if (length(args) >= 1L) as.integer(args[1L]) else 500L
set.seed(if (length(args) >= 2L) as.integer(args[2L]) else 1L)
ctl <- lmrob_control(max_refine = 100000L)
it <- integer(fits)
for (r in seq_len(fits)) {
  n <- sample(c(60, 80, 100), 1)
  p <- sample(2:5, 1)
  X <- cbind(1, matrix(rnorm(n * (p - 1)), n))
  y <- drop(X %*% rep(1, p)) + rnorm(n)
  it[r] <- lmrob_S(X, y, control = ctl)$iterations
}
print(quantile(it, c(0.5, 0.9, 0.99, 0.999, 1)))
for (k in c(100, 150, 200, 300, 400))
  cat(sprintf("share above %d steps: %.4f\n", k, mean(it > k)))
