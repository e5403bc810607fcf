## Speed-up of the compiled searches from a second thread: elapsed time
## (medians of alternating runs) of each call with 1 and with 2 threads in one process, and
## the ratio 2 / 1 (target <= 0.65), also for the three estimators at n = 10^5
## together.  CPU time says nothing about threads.
## Run from the package root after `make install`:
##   R_LIBS=.rlib Rscript bench/threads.R
## Each row is a named call evaluated with options(kelvara.threads = k); a
## row's data are made once, before its timings.  The machine's load average
## is printed: on a shared machine the ratio is only as good as the load
## (export OMP_WAIT_POLICY=passive there, so that waiting threads do not spin).
library(kelvara)

n <- 1e5
## n cases of p normal variables, the first tenth shifted by 5 in each.
shifted <- function(n, p) function() {
  set.seed(1)
  x <- matrix(rnorm(n * p), n, p)
  x[seq_len(n / 10), ] <- x[seq_len(n / 10), ] + 5
  list(x = x)
}
rows <- list(
  "mcd n=1e5 p=10" = list(data = shifted(n, 10), call = quote(mcd(x, seed = 1))),
  # small and large samples: the second thread must not cost at small n
  "mcd n=1e3 p=5" = list(data = shifted(1000, 5), call = quote(mcd(x, seed = 1))),
  "mcd n=1e6 p=10" = list(data = shifted(1e6, 10), call = quote(mcd(x, seed = 1))),
  "lts n=1e5 p=5" = list(
    data = function() {
      set.seed(2)
      X <- matrix(rnorm(n * 5), n, 5)
      y <- drop(X %*% (1:5)) + rnorm(n)
      y[seq_len(n / 10)] <- y[seq_len(n / 10)] + 20
      list(X = X, y = y)
    },
    call = quote(lts(X, y, seed = 1))),
  "lmrob n=1e5 p=6" = list(
    data = function() {
      set.seed(1)
      x <- matrix(rnorm(n * 5), n)
      df <- data.frame(y = drop(cbind(1, x) %*% 1:6) + rnorm(n), x)
      df$y[seq_len(n / 10)] <- df$y[seq_len(n / 10)] + 50
      list(df = df)
    },
    call = quote(lmrob(y ~ ., data = df)))
)
## The three estimators at n = 10^5 together: their summed times.
together <- c("mcd n=1e5 p=10", "lts n=1e5 p=5", "lmrob n=1e5 p=6")

## One timed call with the option kelvara.threads = threads.
elapsed <- function(call, env, threads) {
  old <- options(kelvara.threads = threads)
  on.exit(options(old))
  system.time(eval(call, env))[["elapsed"]]
}

## 1 and 2 threads alternate, so that a change of the machine's load falls on
## both; medians of `reps` pairs (first argument, default 7).
args <- commandArgs(trailingOnly = TRUE)
reps <- if (length(args) >= 1L) as.integer(args[1]) else 7L
out <- do.call(rbind, lapply(names(rows), function(nm) {
  env <- list2env(rows[[nm]]$data())
  t <- vapply(seq_len(reps), function(i)
    c(elapsed(rows[[nm]]$call, env, 1), elapsed(rows[[nm]]$call, env, 2)), numeric(2))
  t1 <- median(t[1, ])
  t2 <- median(t[2, ])
  data.frame(call = nm, threads_1 = t1, threads_2 = t2, ratio = round(t2 / t1, 2),
             ratio_of_pairs = round(median(t[2, ] / t[1, ]), 2))
}))
sum_of <- function(col) sum(out[[col]][match(together, out$call)])
out <- rbind(out, data.frame(call = "lmrob + mcd + lts, n=1e5", threads_1 = sum_of("threads_1"),
                             threads_2 = sum_of("threads_2"),
                             ratio = round(sum_of("threads_2") / sum_of("threads_1"), 2),
                             ratio_of_pairs = NA))
print(out, row.names = FALSE)
cat("threads available:", kelvara_threads(), "\n")
if (file.exists("/proc/loadavg")) cat("load average:", readLines("/proc/loadavg"), "\n")
