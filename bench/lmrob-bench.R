## Timings of the S-estimate (default control) and of the MM step from it.
## Run from the package root after `make install`:
##   Rscript bench/lmrob-bench.R [max_n]
## Data: p - 1 standard normal covariates and an intercept, Gaussian errors,
## 10% gross outliers in y.
suppressPackageStartupMessages(library(kelvara, lib.loc = ".rlib"))
args <- commandArgs(trailingOnly = TRUE)
max_n <- if (length(args)) as.numeric(args[1]) else 1e6

make_data <- function(n, p) {
  x <- cbind(1, matrix(rnorm(n * (p - 1)), n))
  y <- drop(x %*% seq_len(p)) + rnorm(n)
  i <- seq_len(n %/% 10)
  y[i] <- y[i] + 50
  list(x = x, y = y)
}

time_fit <- function(n, p, reps = 3) {
  set.seed(n + p)
  d <- make_data(n, p)
  # CPU seconds of this process (user + system): on a shared machine the
  # elapsed time mostly measures the neighbours.
  cpu <- function(t) t[["user.self"]] + t[["sys.self"]]
  ts <- tm <- numeric(reps)
  for (r in seq_len(reps)) {
    ts[r] <- cpu(system.time(s <- lmrob_S(d$x, d$y)))
    tm[r] <- cpu(system.time(m <- lmrob_MM(d$x, d$y, s$coefficients, s$scale)))
  }
  data.frame(n = n, p = p, S_cpu = median(ts), MM_cpu = median(tm),
             S_iter = s$iterations, MM_iter = m$iterations,
             max_coef_err = max(abs(m$coefficients - seq_len(p))))
}

cat("Growth in n (p = 6):\n")
ns <- c(1e3, 1e4, 1e5, 1e6)
print(do.call(rbind, lapply(ns[ns <= max_n], function(n)
  time_fit(n, 6, reps = if (n < 1e6) 3 else 1))), row.names = FALSE)
cat("\nGrowth in p (n = 1e4):\n")
print(do.call(rbind, lapply(c(2, 6, 10, 20, 30), time_fit, n = 1e4)),
      row.names = FALSE)

if (max_n >= 1e6) {
  # Peak memory of one S fit plus MM step at n = 1e6 (resident set, from the
  # kernel's high-water mark of this process).
  set.seed(1)
  d <- make_data(1e6, 6)
  gc(reset = TRUE)
  s <- lmrob_S(d$x, d$y)
  m <- lmrob_MM(d$x, d$y, s$coefficients, s$scale)
  status <- readLines("/proc/self/status")
  cat("\nAt n = 1e6, p = 6:", grep("^VmHWM", status, value = TRUE),
      "(whole R process; the data themselves take",
      format(object.size(d), units = "MB"), ")\n")
  cat("R heap peak (gc):", sum(gc()[, 6]), "MB\n")
}
