## Latency of a user interrupt (SIGINT from a background shell) on large
## fits: the seconds from the signal to the return of control to R, and a
## check that the next call works.  SCALE multiplies the sample sizes of the
## test fits (1: n = 1500 and 20000).
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
