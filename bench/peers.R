## kelvara against its timing peers, both sides in one process on the same
## data: elapsed seconds as medians of 3 runs, and the ratio kelvara / peer.
## kelvara runs with its default threads (the option kelvara.threads); CPU
## time would count every thread's work.  The peers (MASS, and lm) only set
## the pace; their estimates are not compared.  Run from the package root
## after `make install` (KELVARA_LIB names another library to time):
##   Rscript bench/peers.R [reps]
suppressPackageStartupMessages({
  library(kelvara, lib.loc = Sys.getenv("KELVARA_LIB", ".rlib"))
  library(MASS)
})
args <- commandArgs(trailingOnly = TRUE)
reps <- if (length(args)) as.integer(args[1]) else 3L

make_data <- function(n, p) {
  x <- matrix(rnorm(n * (p - 1)), n)
  colnames(x) <- paste0("x", seq_len(p - 1))
  y <- drop(cbind(1, x) %*% seq_len(p)) + rnorm(n)
  i <- seq_len(n %/% 10)
  y[i] <- y[i] + 50
  list(x = x, X = cbind(`(Intercept)` = 1, x), y = y,
       df = data.frame(y = y, x))
}

elapsed <- function(expr) system.time(expr, gcFirst = TRUE)[["elapsed"]]

row <- function(label, n, ours, peer) {
  set.seed(n)
  d <- make_data(n, 6)
  a <- b <- numeric(reps)
  for (r in seq_len(reps)) {
    a[r] <- elapsed(ours(d))
    b[r] <- elapsed(peer(d))
  }
  data.frame(workload = label, n = n, kelvara = median(a), peer = median(b),
             ratio = round(median(a) / median(b), 3))
}

cat("load average at start:", readLines("/proc/loadavg"), "; threads:",
    kelvara_threads(), "\n")
res <- rbind(
  row("S vs lqs(S, nsamp = 500)", 1e4,
      function(d) lmrob_S(d$X, d$y),
      function(d) lqs(d$x, d$y, method = "S", nsamp = 500)),
  row("S + MM vs rlm(MM)", 1e4,
      function(d) {
        s <- lmrob_S(d$X, d$y)
        lmrob_MM(d$X, d$y, s$coefficients, s$scale)
      },
      function(d) rlm(d$X, d$y, method = "MM")),
  row("lmrob(y ~ .) vs rlm(y ~ ., MM)", 1e5,
      function(d) lmrob(y ~ ., data = d$df),
      function(d) rlm(y ~ ., data = d$df, method = "MM")),
  row("lmrob(y ~ .) vs lm(y ~ .)", 1e6,
      function(d) lmrob(y ~ ., data = d$df),
      function(d) lm(y ~ ., data = d$df)))
print(res, row.names = FALSE)
cat("load average at end:", readLines("/proc/loadavg"), "\n")
