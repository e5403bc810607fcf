## Timing and peak memory of qn(), sn() and medcouple() on standard-normal
## samples of n = 10^3 .. 10^7 (override with BENCH_MAX_EXP).  Run from the
## package root after `make install`:
##   R_LIBS=.rlib Rscript bench/univariate.R
## Time: the best of a few runs (fewer for large n).  Memory: the peak of R's
## vector heap during one call, which holds the copies made for the call and
## the compiled routines' transient scratch, less the heap in use before it.
library(kelvara)
max_exp <- as.integer(Sys.getenv("BENCH_MAX_EXP", "7"))
funs <- list(qn = qn, sn = sn, medcouple = medcouple)

peak_mb <- function(f, x) {
  invisible(gc(reset = TRUE))
  before <- sum(gc()[, "used"] * c(56, 8)) / 2^20
  f(x)
  after <- gc()
  sum(after[, "max used"] * c(56, 8)) / 2^20 - before
}

set.seed(1)
rows <- list()
for (e in 3:max_exp) {
  n <- 10^e
  x <- rnorm(n)
  reps <- if (e <= 5) 5L else if (e == 6) 3L else 1L
  inner <- max(1L, 10^(5 - e))   # small n: time a loop of calls
  for (nm in names(funs)) {
    f <- funs[[nm]]
    t <- min(vapply(seq_len(reps), function(i)
      system.time(for (k in seq_len(inner)) f(x))[["elapsed"]], 0)) / inner
    rows[[length(rows) + 1]] <- data.frame(stat = nm, n = n, seconds = t,
                                           peak_mb = round(peak_mb(f, x), 1))
  }
}
res <- do.call(rbind, rows)
## Growth relative to n log n: seconds / (n log2 n), scaled to n = 10^3.
## The machine's load average is printed too: timings on a shared machine
## vary with it.
res$per_nlogn <- ave(res$seconds / (res$n * log2(res$n)), res$stat,
                     FUN = function(v) round(v / v[1], 2))
print(res, row.names = FALSE)
if (file.exists("/proc/loadavg")) cat("load average:", readLines("/proc/loadavg"), "\n")
## Qn against one sort of the same sample at n = 10^6 (user CPU time, which
## a loaded machine disturbs less than elapsed time; medians of 7).
cpu <- function(expr) {
  t0 <- proc.time()
  expr
  (proc.time() - t0)[["user.self"]]
}
x <- rnorm(1e6)
tt <- replicate(7, c(sort = cpu(sort(x)), qn = cpu(qn(x))))
cat(sprintf("n = 10^6: sort %.3f s, qn %.3f s, qn / sort = %.2f\n",
            median(tt["sort", ]), median(tt["qn", ]), median(tt["qn", ]) / median(tt["sort", ])))
dir.create("bench/results", showWarnings = FALSE)
write.csv(res, "bench/results/univariate.csv", row.names = FALSE)
