## Speed-up of lmrob(y ~ .) on 2 threads over 1 at n = 10^5, p = 6, in one
## process on the same data: elapsed seconds, medians of 3 runs (CPU time
## would count every thread's work).  The fits must be identical.  Run from
## the package root after `make install` (KELVARA_LIB names another library):
##   Rscript bench/threads-lmrob.R [n] [reps]
suppressPackageStartupMessages(
  library(kelvara, lib.loc = Sys.getenv("KELVARA_LIB", ".rlib")))
args <- commandArgs(trailingOnly = TRUE)
n <- if (length(args) >= 1L) as.numeric(args[1]) else 1e5
reps <- if (length(args) >= 2L) as.integer(args[2]) else 3L

set.seed(1)
p <- 6
x <- matrix(rnorm(n * (p - 1)), n)
df <- data.frame(y = drop(cbind(1, x) %*% seq_len(p)) + rnorm(n), x)
df$y[seq_len(n %/% 10)] <- df$y[seq_len(n %/% 10)] + 50

fit <- function(k) {
  old <- options(kelvara.threads = k)
  on.exit(options(old))
  set.seed(2)
  t <- system.time(f <- lmrob(y ~ ., data = df), gcFirst = TRUE)[["elapsed"]]
  list(time = t, coef = coef(f), seed = .Random.seed)
}

cat("load average at start:", readLines("/proc/loadavg"), "\n")
t1 <- t2 <- numeric(reps)
for (r in seq_len(reps)) {
  a <- fit(1L)
  b <- fit(2L)
  stopifnot(identical(a$coef, b$coef), identical(a$seed, b$seed))
  t1[r] <- a$time
  t2[r] <- b$time
}
cat(sprintf("lmrob n = %g, p = %d: 1 thread %.3f s, 2 threads %.3f s, ratio %.3f\n",
            n, p, median(t1), median(t2), median(t2) / median(t1)))
cat("load average at end:", readLines("/proc/loadavg"), "\n")
