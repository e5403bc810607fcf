## Cost of standardising the data (units and origin) before each compiled
## fit: every fit at n = 10^6 is timed with the standardisation step and
## with it replaced by a no-op, in one process, on data in awkward units
## (so that the step really transforms them).  Prints the time ratio.
## (mcd scales its data per column itself; its only added step is one pass
## that looks for values too far out to square.)
##   Rscript bench/standardise.R [n] [reps]
suppressPackageStartupMessages(library(kelvara))
args <- commandArgs(TRUE)
n <- if (length(args) >= 1L) as.numeric(args[1L]) else 1e6
reps <- if (length(args) >= 2L) as.integer(args[2L]) else 3L
ns <- asNamespace("kelvara")
with_std <- get(".standardise", ns)
without_std <- function(x, y = NULL, intercept = NULL) {
  p <- ncol(x)
  list(x = x, y = y, tr = list(x_loc = numeric(p), x_unit = rep(1, p), y_loc = 0,
                               y_unit = 1, icpt = 0L, icpt_value = 1, has_icpt = FALSE,
                               identity = TRUE))
}
use <- function(f) {
  unlockBinding(".standardise", ns)
  assign(".standardise", f, envir = ns)
  lockBinding(".standardise", ns)
}

set.seed(1)
p <- 3
x <- matrix(rnorm(n * p), n, p) * 1e6 + 1e9
y <- drop(x %*% c(1, -1, 2)) + rnorm(n) * 1e6
y[seq_len(n / 10)] <- y[seq_len(n / 10)] + 1e8
fits <- list(
  lmrob_S = function() lmrob_S(cbind(1, x), y, lmrob_control(n_resample = 50)),
  lts = function() lts(x, y, nsamp = 50, seed = 1),
  l1_fit = function() l1_fit(x, y))
time_of <- function(f) {
  median(vapply(seq_len(reps), function(i) {
    set.seed(2)
    system.time(suppressWarnings(f()))[["elapsed"]]
  }, 0))
}
cat(sprintf("n = %g, %d repetitions (median elapsed seconds)\n", n, reps))
for (nm in names(fits)) {
  use(without_std)
  t0 <- time_of(fits[[nm]])
  use(with_std)
  t1 <- time_of(fits[[nm]])
  cat(sprintf("%-8s without %7.2f s  with %7.2f s  ratio %.3f\n", nm, t0, t1, t1 / t0))
}
