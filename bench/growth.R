## Growth of lmrob(y ~ .) and of the S estimate (lmrob_S) with n, p = 6
## (and lm(y ~ .), the baseline of the model frame and matrix):
## elapsed seconds (medians of `reps` runs; one run from n = 10^7), the time
## per row in microseconds, which stays flat when the work grows linearly,
## and the peak memory the fit adds, in copies of the design (n x p
## doubles): the process's resident high-water mark, reset before each fit
## (/proc/self/clear_refs), less the resident size at that moment; and what
## stays of it once the fit's garbage is collected (`kept_designs`: the fit
## object, with lm's and lmrob's model frame and design-sized matrices, and
## the row names that model.matrix() creates).  n = 10^7
## runs only when the machine has room for it.  Run from the package root
## after `make install` (KELVARA_LIB names another library):
##   Rscript bench/growth.R [largest n] [reps]
suppressPackageStartupMessages(
  library(kelvara, lib.loc = Sys.getenv("KELVARA_LIB", ".rlib")))
args <- commandArgs(trailingOnly = TRUE)
n_max <- if (length(args) >= 1L) as.numeric(args[1]) else 1e7
reps <- if (length(args) >= 2L) as.integer(args[2]) else 3L
p <- 6

status_kb <- function(field) {
  line <- grep(paste0("^", field, ":"), readLines("/proc/self/status"), value = TRUE)
  as.numeric(gsub("[^0-9]", "", line))
}
available_gb <- function() {
  line <- grep("^MemAvailable:", readLines("/proc/meminfo"), value = TRUE)
  as.numeric(gsub("[^0-9]", "", line)) / 2^20
}

## Elapsed time, added peak memory and memory kept (bytes) of one
## evaluation of f().
measure <- function(f) {
  invisible(gc())
  writeLines("5", "/proc/self/clear_refs")
  base <- status_kb("VmRSS")
  t <- system.time(fit <- f())[["elapsed"]]
  peak <- status_kb("VmHWM") - base
  invisible(gc())
  list(time = t, peak = peak * 1024, kept = (status_kb("VmRSS") - base) * 1024)
}

cat("load average at start:", readLines("/proc/loadavg"), "; threads:",
    kelvara_threads(), "\n")
rows <- list()
for (n in 10^(4:7)) {
  if (n > n_max) break
  design_bytes <- n * p * 8
  ## The data, the model frame and matrix of lmrob and its copies: about 12
  ## designs at the peak, and twice that to be safe.
  if (n >= 1e7 && available_gb() < 24 * design_bytes / 2^30) {
    cat(sprintf("n = %g skipped: %.1f GB available, about %.1f GB needed\n", n,
                available_gb(), 24 * design_bytes / 2^30))
    next
  }
  set.seed(1)
  x <- matrix(rnorm(n * (p - 1)), n)
  X <- cbind(1, x)
  y <- drop(X %*% seq_len(p)) + rnorm(n)
  y[seq_len(n %/% 10)] <- y[seq_len(n %/% 10)] + 50
  df <- data.frame(y = y, x)
  rm(x)
  k <- if (n >= 1e7) 1L else reps
  ## lm() on the same formula is the baseline of the formula layer: both
  ## build the model frame and matrix, and both keep a design-sized matrix
  ## (lm its QR factor, lmrob the model matrix, x = TRUE) and the frame.
  for (what in c("S", "lmrob", "lm")) {
    f <- switch(what, S = function() lmrob_S(X, y),
                lmrob = function() lmrob(y ~ ., data = df),
                lm = function() stats::lm(y ~ ., data = df))
    m <- lapply(seq_len(k), function(r) { set.seed(2); measure(f) })
    tm <- median(vapply(m, `[[`, 0, "time"))
    rows[[length(rows) + 1L]] <- data.frame(
      fit = what, n = n, seconds = round(tm, 3), us_per_row = round(1e6 * tm / n, 3),
      peak_designs = round(max(vapply(m, `[[`, 0, "peak")) / design_bytes, 2),
      kept_designs = round(max(vapply(m, `[[`, 0, "kept")) / design_bytes, 2))
    print(rows[[length(rows)]], row.names = FALSE)
  }
  rm(X, y, df)
}
cat("\n")
print(do.call(rbind, rows), row.names = FALSE)
cat("load average at end:", readLines("/proc/loadavg"), "\n")
