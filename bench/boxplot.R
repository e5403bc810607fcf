## Flag rates of the skewness-adjusted fences and of the classical boxplot
## at n = 10^4 on lognormal, exponential and normal samples: the mean over
## BOXPLOT_REPS samples (default 200), the per-sample standard deviation,
## and the standard error of an average of 20 samples (which the test suite
## uses for its windows).  Run from the package root after `make install`:
##   R_LIBS=.rlib Rscript bench/boxplot.R
library(kelvara)
reps <- as.integer(Sys.getenv("BOXPLOT_REPS", "200"))
n <- 1e4
rates <- function(x) {
  f <- adjusted_fences(x)
  q <- stats::quantile(x, c(0.25, 0.75), names = FALSE)
  100 * c(adjusted = mean(x < f[1] | x > f[2]),
          classical = mean(x < q[1] - 1.5 * diff(q) | x > q[2] + 1.5 * diff(q)))
}
set.seed(2026)
gens <- list(lognormal = stats::rlnorm, exponential = stats::rexp, normal = stats::rnorm)
ref <- list(lognormal = c(1.8, 7.8), exponential = c(0.3, 4.7), normal = c(0.7, 0.7))
out <- do.call(rbind, lapply(names(gens), function(g) {
  t0 <- proc.time()[["elapsed"]]
  r <- replicate(reps, rates(gens[[g]](n)))
  el <- proc.time()[["elapsed"]] - t0
  data.frame(data = g, rule = rownames(r), reference = ref[[g]], mean = rowMeans(r),
             sd = apply(r, 1L, stats::sd), se20 = apply(r, 1L, stats::sd) / sqrt(20),
             sec_per_sample = el / reps)
}))
print(format(out, digits = 3), row.names = FALSE)
