## Timing and peak memory of lts(): growth in n (p = 6 with intercept, default
## settings) and in p (n = 10^4).  Run from the package root after
## `make install`:  R_LIBS=.rlib Rscript bench/lts.R [max_n]
## Time: elapsed seconds of one call on one thread (CPU seconds beside it: on
## a shared machine the elapsed time grows with the load, printed at the
## end); in n also the elapsed seconds on two threads and the ratio 2 / 1
## (the fit is the same for every thread count).
## Growth: seconds per case (n) or per coefficient (p), relative to the first
## row.  Memory: R's "max used" (gc) during the call, less what was in use
## before it, in Mb: the data copies of the call and the compiled routine's
## working arrays.
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
time_fit <- function(d, threads = 1) {
  old <- options(kelvara.threads = threads)
  on.exit(options(old))
  invisible(gc(reset = TRUE))
  base <- sum(gc()[, 2L])
  t <- system.time(f <- lts(d$x, d$y))
  peak <- sum(gc()[, 6L]) - base
  c(seconds = t[["elapsed"]], cpu = t[["user.self"]] + t[["sys.self"]], peak_mb = peak)
}
set.seed(1)
res_n <- NULL
for (n in c(1e3, 1e4, 1e5, 1e6)) {
  if (n > max_n) break
  d <- make_data(n, 5)
  r <- time_fit(d)
  r2 <- time_fit(d, threads = 2)
  res_n <- rbind(res_n, data.frame(n = n, p = 6, seconds = r[["seconds"]], cpu = r[["cpu"]],
                                   peak_mb = round(r[["peak_mb"]], 1),
                                   seconds_2 = r2[["seconds"]],
                                   ratio_2 = round(r2[["seconds"]] / r[["seconds"]], 2)))
}
res_n$per_n <- round((res_n$seconds / res_n$n) / (res_n$seconds[1] / res_n$n[1]), 2)
cat("growth in n, p = 6 (5 regressors + intercept)\n")
print(res_n, row.names = FALSE)
res_p <- NULL
n_p <- min(1e4, max_n)
for (p in c(2, 4, 6, 10, 15, 20)) {
  r <- time_fit(make_data(n_p, p - 1))
  res_p <- rbind(res_p, data.frame(n = n_p, p = p, seconds = r[["seconds"]], cpu = r[["cpu"]],
                                   peak_mb = round(r[["peak_mb"]], 1)))
}
res_p$per_p <- round((res_p$seconds / res_p$p) / (res_p$seconds[1] / res_p$p[1]), 2)
cat("growth in p, n =", n_p, "\n")
print(res_p, row.names = FALSE)
if (file.exists("/proc/loadavg")) cat("load average:", readLines("/proc/loadavg"), "\n")
dir.create("bench/results", showWarnings = FALSE)
write.csv(rbind(res_n[, 1:5], res_p[, 1:5]), "bench/results/lts.csv", row.names = FALSE)
