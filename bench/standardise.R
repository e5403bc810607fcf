## Cost of standardising the data (units and origin) before each compiled
## fit: every fit at n = 10^6 is timed with the standardisation step and
## with it replaced by a no-op, in one process, on data in awkward units
## (so that the step really transforms them; the no-op run gets the data
## standardised beforehand, so that both runs do the same compiled work).
## Prints the time ratio.
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
## "without": the data standardised beforehand and the step a no-op, so that
## the compiled routines see the same numbers in both runs.
st <- with_std(cbind(1, x), y)
xs <- st$x[, -1]
ys <- st$y
fits <- list(
  lmrob_S = function(x, y) lmrob_S(cbind(1, x), y, lmrob_control(nsamp = 50)),
  lts = function(x, y) lts(x, y, nsamp = 50, seed = 1),
  l1_fit = function(x, y) l1_fit(x, y))
## CPU time (user + system) of the process: on a shared machine elapsed time
## measures the load more than the work.
cpu_of <- function(expr) {
  set.seed(2)
  t <- system.time(suppressWarnings(expr))
  t[["user.self"]] + t[["sys.self"]]
}
cat(sprintf("n = %g, %d repetitions, alternating (median CPU seconds)\n", n, reps))
cat(sprintf("the step alone (.standardise of the design with intercept and y): %.3f s\n",
            median(replicate(reps, cpu_of(with_std(cbind(1, x), y))))))
for (nm in names(fits)) {
  t <- replicate(reps, {
    use(without_std)
    t0 <- cpu_of(fits[[nm]](xs, ys))
    use(with_std)
    c(t0, cpu_of(fits[[nm]](x, y)))
  })
  t0 <- median(t[1, ])
  t1 <- median(t[2, ])
  cat(sprintf("%-8s without %7.2f s  with %7.2f s  ratio %.3f\n", nm, t0, t1, t1 / t0))
}
