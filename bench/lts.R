## Timing of lts(): growth in n (p = 6 with intercept, default settings) and
## in p (n = 10^4).  Run with: R_LIBS=.rlib Rscript bench/lts.R [max_n]
suppressPackageStartupMessages(library(kelvara))
args <- commandArgs(TRUE)
max_n <- if (length(args)) as.numeric(args[1]) else 1e6
make_data <- function(n, k) {
  x <- matrix(rnorm(n * k), n)
  y <- drop(x %*% seq_len(k)) + rnorm(n)
  m <- floor(0.2 * n)
  y[seq_len(m)] <- y[seq_len(m)] + 50
  list(x = x, y = y)
}
time_fit <- function(d) {
  gc(reset = TRUE)
  t <- system.time(f <- lts(d$x, d$y))[["elapsed"]]
  mem <- sum(gc()[, 6])  # max used (Mb) since the reset
  c(seconds = t, peak_mb = mem)
}
set.seed(1)
cat("growth in n, p = 6 (5 regressors + intercept)\n")
for (n in c(1e3, 1e4, 1e5, 1e6)) {
  if (n > max_n) break
  r <- time_fit(make_data(n, 5))
  cat(sprintf("  n = %8.0f  %7.3f s  peak %7.1f Mb\n", n, r[1], r[2]))
}
cat("growth in p, n = 10^4\n")
for (p in c(2, 4, 6, 10, 15, 20)) {
  r <- time_fit(make_data(1e4, p - 1))
  cat(sprintf("  p = %2d  %7.3f s  peak %7.1f Mb\n", p, r[1], r[2]))
}
