## Latency of a user interrupt (SIGINT from a background shell) on large
## fits: the seconds from the signal to the return of control to R, and a
## check that the next call works.  SCALE multiplies the sample sizes of the
## test fits (1: n = 1500 and 20000).
## The univariate statistics and the M-scale at n = 10^7 and the L1 fit at
## 10^6 x 20 follow (set UNIVARIATE=0 to skip them), each signalled at
## several delays; then the large lts, mcd and l1_fit fits (LARGE=0 skips
## them, LARGE_CALLS=mcd,lts selects), signalled over their whole run.
## Run: make install && R_LIBS=.rlib SCALE=10 Rscript bench/interrupt.R
library(kelvara)
source("tests/testthat/helper-interrupt.R")
scale <- as.numeric(Sys.getenv("SCALE", "10"))
after <- as.numeric(Sys.getenv("AFTER", "2"))
fits <- interrupt_fits(scale)
out <- do.call(rbind, lapply(names(fits), function(nm) {
  r <- interrupt_latency(fits[[nm]](), after = after)
  data.frame(fit = nm, result = r$result, latency_s = round(r$latency, 3))
}))
print(out, row.names = FALSE)
set.seed(1)
x <- matrix(rnorm(300), 100)
cat("next calls work:", !is.null(lmrob_S(cbind(1, x), rnorm(100))$scale) &&
      !is.null(mcd(x)$cov) && !is.null(lts(x, rnorm(100))$scale), "\n")

if (Sys.getenv("UNIVARIATE", "1") != "0") {
  set.seed(2)
  x <- rnorm(1e7)
  X <- matrix(rnorm(1e6 * 20), ncol = 20)
  y <- drop(X %*% rnorm(20)) + rt(1e6, 2)
  calls <- list(qn = function() qn(x), medcouple = function() medcouple(x),
                sn = function() sn(x), mscale = function() mscale(x),
                l1_fit = function() l1_fit(X, y))
  uni <- do.call(rbind, lapply(names(calls), function(nm) {
    lat <- vapply(c(0.1, 0.3, 0.6, 1), function(a) {
      r <- interrupt_latency(calls[[nm]](), after = a)
      if (r$result == "interrupted") r$latency else NA_real_
    }, 0)
    data.frame(call = nm, signals = length(lat), interrupted = sum(!is.na(lat)),
               max_latency_s = round(max(lat, na.rm = TRUE), 3))
  }))
  print(uni, row.names = FALSE)
  if (file.exists("/proc/loadavg")) cat("load average:", readLines("/proc/loadavg"), "\n")
}

## The R-level work around the compiled searches (rank checks, refits,
## distances, covariances, copies) at the large sizes: each call is timed
## once, then signalled on a grid of delays over its whole run (STEP seconds
## apart; over its first and last LONG_EDGE seconds only when it runs longer
## than LONG seconds).  The largest latency over the grid is reported.
if (Sys.getenv("LARGE", "1") != "0") {
  step <- as.numeric(Sys.getenv("STEP", "0.2"))
  set.seed(3)
  X3 <- matrix(rnorm(3e6), ncol = 3)
  y3 <- drop(X3 %*% c(1, 2, 3)) + rt(1e6, 2)
  if (!exists("X")) {
    X <- matrix(rnorm(1e6 * 20), ncol = 20)
    y <- drop(X %*% rnorm(20)) + rt(1e6, 2)
  }
  large <- list(lts_1e6x3 = function() lts(X3, y3),
                mcd_1e6x20 = function() mcd(X),
                l1_fit_1e6x20 = function() l1_fit(X, y))
  sel <- Sys.getenv("LARGE_CALLS", "")
  if (nzchar(sel)) large <- large[sub("_.*", "", names(large)) %in% strsplit(sel, ",")[[1L]]]
  grid <- function(total) {
    if (total <= as.numeric(Sys.getenv("LONG", "8")))
      return(seq(0.05, total, by = step))
    edge <- as.numeric(Sys.getenv("LONG_EDGE", "2"))
    c(seq(0.05, edge, by = step), seq(total - edge, total, by = step))
  }
  big <- do.call(rbind, lapply(names(large), function(nm) {
    total <- system.time(large[[nm]]())[["elapsed"]]
    lat <- vapply(grid(total), function(a) {
      r <- interrupt_latency(large[[nm]](), after = a)
      if (nzchar(Sys.getenv("VERBOSE")))
        cat(nm, "signal at", a, "s:", r$result, round(r$latency, 3), "\n")
      if (r$result == "interrupted") r$latency else NA_real_
    }, 0)
    data.frame(call = nm, run_s = round(total, 2), signals = length(lat),
               interrupted = sum(!is.na(lat)),
               max_latency_s = round(max(lat, na.rm = TRUE), 3))
  }))
  print(big, row.names = FALSE)
  if (file.exists("/proc/loadavg")) cat("load average:", readLines("/proc/loadavg"), "\n")
}
