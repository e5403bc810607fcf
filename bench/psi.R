## Throughput of the vectorised psi, chi and weight evaluation: 1e7
## standard-normal residuals per call.  Target: under 0.15 s per call for
## every family except the general GGW case, which integrates for each value.
## Run: make install && R_LIBS=.rlib Rscript bench/psi.R
library(kelvara)
set.seed(1)
n <- 1e7
x <- rnorm(n)
families <- list(
  bisquare = list(code = 1L, k = 4.685061),
  gaussweight = list(code = 2L, k = 2.11),
  optimal = list(code = 3L, k = 1.060158),
  hampel = list(code = 4L, k = c(1.5, 3.5, 8) * 0.9016085),
  ggw = list(code = 5L, k = 1),
  lqq = list(code = 6L, k = c(1.4735, 0.9823, 1.5)))
time_call <- function(name, ...) {
  t <- system.time(.C(name, ..., PACKAGE = "kelvara"))[["elapsed"]]
  sprintf("%.3f", t)
}
res <- t(vapply(families, function(f) c(
  psi = time_call("R_psifun", x, f$k, f$code, 0L, length(x)),
  dpsi = time_call("R_psifun", x, f$k, f$code, 1L, length(x)),
  chi = time_call("R_chifun", x, f$k, f$code, 0L, length(x)),
  wgt = time_call("R_wgtfun", x, f$k, f$code, length(x))), character(4)))
cat("seconds per call on", format(n, big.mark = ","), "residuals\n")
print(noquote(res))
## The general GGW case integrates psi for each value; time it on 1e4.
m <- 1e4
k0 <- c(0, 0.648, 1, 1.694, 5.309858)
cat(sprintf("ggw general case, chi on %d values: %s s\n", m,
            time_call("R_chifun", x[seq_len(m)], k0, 5L, 0L, m)))
