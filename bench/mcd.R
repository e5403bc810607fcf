## Timing and memory of mcd() with default settings: growth in n (p = 10)
## and in p (n = 10^5).  Run from the package root after `make install`:
##   R_LIBS=.rlib Rscript bench/mcd.R [max_n]
## Peak memory is R's "max used" (gc) during the call, in Mb.
library(kelvara)
args <- commandArgs(trailingOnly = TRUE)
max_n <- if (length(args)) as.numeric(args[1]) else 1e6

one <- function(n, p) {
  set.seed(1)
  x <- matrix(rnorm(n * p), n, p)
  x[seq_len(n %/% 10), ] <- x[seq_len(n %/% 10), ] + 5
  invisible(gc(reset = TRUE))
  base <- sum(gc()[, 2L])
  t <- system.time(fit <- mcd(x, seed = 1))
  peak <- sum(gc()[, 6L]) - base
  data.frame(n = n, p = p, elapsed = t[["elapsed"]], cpu = t[["user.self"]] + t[["sys.self"]],
             peak_mb = round(peak, 1), flagged = sum(fit$weights == 0L))
}

ns <- 10^(3:6)
ns <- ns[ns <= max_n]
res_n <- do.call(rbind, lapply(ns, one, p = 10L))
print(res_n, row.names = FALSE)
res_p <- do.call(rbind, lapply(c(2L, 5L, 10L, 20L, 30L), function(p) one(min(1e5, max_n), p)))
print(res_p, row.names = FALSE)
if (file.exists("/proc/loadavg")) cat("load average:", readLines("/proc/loadavg"), "\n")
