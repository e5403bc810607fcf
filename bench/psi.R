## Timing of the vectorised psi routines on 10^7 standard-normal residuals:
## CPU seconds (user + system, median of 3 runs) of each .C call, and of the
## same call with n = 0, which is the cost of copying x alone.
##   Rscript bench/psi.R      (with kelvara installed, e.g. R_LIBS=.rlib)
library(kelvara)
set.seed(1)
x <- rnorm(1e7)
n <- length(x)
families <- list(bisquare = list(1L, 4.685061), gaussweight = list(2L, 2.11),
                 optimal = list(3L, 1.060158),
                 hampel = list(4L, c(1.5, 3.5, 8) * 0.9016085),
                 ggw = list(5L, 1), lqq = list(6L, c(1.4735, 0.9823, 1.5)))
tm <- function(f) median(replicate(3, sum(system.time(f())[1:2])))
res <- t(vapply(families, function(f) {
  k <- as.double(f[[2]])
  c(psi = tm(function() .C("R_psifun", x, k, f[[1]], 0L, n, PACKAGE = "kelvara")),
    "psi'" = tm(function() .C("R_psifun", x, k, f[[1]], 1L, n, PACKAGE = "kelvara")),
    chi = tm(function() .C("R_chifun", x, k, f[[1]], 0L, n, PACKAGE = "kelvara")),
    wgt = tm(function() .C("R_wgtfun", x, k, f[[1]], n, PACKAGE = "kelvara")))
}, numeric(4)))
copy <- tm(function() .C("R_wgtfun", x, 1, 1L, 0L, PACKAGE = "kelvara"))
cat("CPU seconds for", n, "residuals (copying x alone:", copy, ")\n")
print(res)
