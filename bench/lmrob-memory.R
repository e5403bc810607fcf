## R memory allocated by one lmrob(y ~ .) fit at n = 10^5, p = 6 (the data of
## bench/threads-lmrob.R), and the time R's garbage collector takes per fit.
## Every large allocation adds to the collector's work, and a collection runs
## on one thread while the other waits, so these bytes are part of the serial
## time of a threaded fit.  Allocations of at least 50000 bytes are counted
## (Rprofmem; R must be built with memory profiling, as the Debian and CRAN
## builds are).  Cases: the data as given, with prior weights, and with a
## column and the response in units of 10^6 far from the origin (rescaled).
## Run from the package root after `make install` (KELVARA_LIB names another
## library):
##   Rscript bench/lmrob-memory.R [n] [fits]
suppressPackageStartupMessages(
  library(kelvara, lib.loc = Sys.getenv("KELVARA_LIB", ".rlib")))
args <- commandArgs(trailingOnly = TRUE)
n <- if (length(args) >= 1L) as.numeric(args[1]) else 1e5
fits <- if (length(args) >= 2L) as.integer(args[2]) else 10L

set.seed(1)
p <- 6
x <- matrix(rnorm(n * (p - 1)), n)
df <- data.frame(y = drop(cbind(1, x) %*% seq_len(p)) + rnorm(n), x)
df$y[seq_len(n %/% 10)] <- df$y[seq_len(n %/% 10)] + 50
wts <- rep(c(1, 2), length.out = n)
far <- df
far$X1 <- far$X1 * 1e6 + 1e9
far$y <- far$y * 1e6 + 1e9
cases <- list(plain = function() lmrob(y ~ ., data = df),
              weighted = function() lmrob(y ~ ., data = df, weights = wts),
              rescaled = function() lmrob(y ~ ., data = far))

allocated <- function(f) {
  out <- tempfile()
  on.exit(unlink(out))
  Rprofmem(out, threshold = 50000)
  f()
  Rprofmem(NULL)
  bytes <- suppressWarnings(as.numeric(sub(" :.*", "", readLines(out))))
  sum(bytes, na.rm = TRUE)
}

old <- options(kelvara.threads = 1L)
cat("load average at start:", readLines("/proc/loadavg"), "\n")
for (nm in names(cases)) {
  f <- cases[[nm]]
  set.seed(2)
  f()  # (the first fit loads and compiles the functions it calls)
  set.seed(2)
  mb <- allocated(f) / 1e6
  g0 <- gc.time()
  for (i in seq_len(fits)) {
    set.seed(2)
    f()
  }
  gc_ms <- (gc.time() - g0)[3L] / fits * 1000
  cat(sprintf("%-9s n = %g: %.1f MB allocated per fit, garbage collection %.1f ms per fit\n",
              nm, n, mb, gc_ms))
}
options(old)
