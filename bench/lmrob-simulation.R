## Simulation on clean Gaussian data: efficiency of the MM estimate relative
## to least squares, and coverage of its 95% confidence intervals.
## Run with: Rscript bench/lmrob-simulation.R [replicates] [n]
args <- commandArgs(trailingOnly = TRUE)
R <- if (length(args) >= 1L) as.integer(args[1L]) else 400L
n <- if (length(args) >= 2L) as.integer(args[2L]) else 60L
lib <- file.path(getwd(), ".rlib")
library(kelvara, lib.loc = if (dir.exists(lib)) lib)
set.seed(20261206)
beta <- c(1, 2, -1)
est_mm <- est_ls <- se_mm <- se_ls <- matrix(NA_real_, R, 3L)
cover <- matrix(NA, R, 3L)
ctrl <- lmrob.config(max_refine = 2000L)  # some S refinements need > 200 steps
t0 <- proc.time()[["elapsed"]]
for (i in seq_len(R)) {
  d <- data.frame(x1 = rnorm(n), x2 = runif(n, -2, 2))
  d$y <- drop(cbind(1, d$x1, d$x2) %*% beta) + rnorm(n)
  f <- lmrob(y ~ x1 + x2, data = d, control = ctrl)
  l <- lm(y ~ x1 + x2, data = d)
  est_mm[i, ] <- coef(f)
  est_ls[i, ] <- coef(l)
  se_mm[i, ] <- sqrt(diag(vcov(f)))
  se_ls[i, ] <- sqrt(diag(vcov(l)))
  ci <- confint(f)
  cover[i, ] <- ci[, 1L] <= beta & beta <= ci[, 2L]
}
elapsed <- proc.time()[["elapsed"]] - t0
cat(sprintf("%d replicates, n = %d, %.1f s\n", R, n, elapsed))
cat("empirical sd ratio MM / LS:  ", format(apply(est_mm, 2, sd) / apply(est_ls, 2, sd), digits = 4), "\n")
cat("mean SE ratio MM / LS:       ", format(colMeans(se_mm) / colMeans(se_ls), digits = 4), "\n")
cat("mean SE / empirical sd (MM): ", format(colMeans(se_mm) / apply(est_mm, 2, sd), digits = 4), "\n")
cat("coverage of 95% intervals:   ", format(colMeans(cover), digits = 3),
    sprintf(" (pooled %.3f)\n", mean(cover)))
