## Full-size checks of the robust tests of nested models (the test suite runs
## a short version):
##   Rscript bench/anova.R size    rejection at 5 % under the null, n = 100,
##                                 p = 4, q = 1 and 3, normal errors and 10 %
##                                 gross outliers in y
##   Rscript bench/anova.R power   rejection under a fixed alternative with
##                                 10 % outliers: Wald, deviance, and lm's F
## Each figure is a rejection rate with its Monte Carlo standard error.
##
## Results (2 cores, shared; 2026-12-06):
##   size, 3000 samples per cell (rate at 5 %, MC SE 0.004-0.005):
##     q = 1, normal        Wald 0.054  Deviance 0.059  F 0.048
##     q = 1, 10% outliers  Wald 0.055  Deviance 0.060  F 0.044
##     q = 3, normal        Wald 0.062  Deviance 0.067  F 0.052
##     q = 3, 10% outliers  Wald 0.058  Deviance 0.066  F 0.055
##   (both tests are somewhat liberal at n = 100 with q = 3, inside the
##   window [0.03, 0.07])
##   power, 500 samples, 10% outliers (MC SE 0.016-0.019):
##     q = 1, b = (0, 0, 0.3)        Wald 0.806  Deviance 0.818  F 0.142
##     q = 3, b = (0.2, 0.2, 0.2)    Wald 0.770  Deviance 0.780  F 0.140
library(kelvara)
what <- commandArgs(TRUE)[1L]
R <- as.integer(commandArgs(TRUE)[2L])
if (is.na(R)) R <- 1000L
se_prop <- function(x) sqrt(mean(x) * (1 - mean(x)) / length(x))

## One sample: n = 100, intercept and three N(0, 1) regressors; 'b' the
## slopes; with 'cont', 10 % of the responses are moved by +10 (and N(0, 1)
## noise): gross outliers in y.
one <- function(b, q, cont, seed) {
  set.seed(seed)
  n <- 100
  d <- data.frame(x1 = rnorm(n), x2 = rnorm(n), x3 = rnorm(n))
  d$y <- drop(1 + as.matrix(d) %*% b) + rnorm(n)
  if (cont) {
    i <- sample.int(n, n / 10)
    d$y[i] <- d$y[i] + 10 + rnorm(n / 10)
  }
  small <- if (q == 1) y ~ x1 + x2 else y ~ 1
  f1 <- lmrob(y ~ x1 + x2 + x3, d, seed = seed)
  f0 <- lmrob(small, d, seed = seed)
  c(Wald = anova(f0, f1)[2L, "Pr(>Chisq)"],
    Deviance = anova(f0, f1, test = "Deviance")[2L, "Pr(>Chisq)"],
    F = anova(lm(small, d), lm(y ~ x1 + x2 + x3, d))[2L, "Pr(>F)"])
}

report <- function(label, P) {
  rej <- P < 0.05
  cat(sprintf("%-28s %s\n", label,
              paste(sprintf("%s %.3f (%.3f)", colnames(rej), colMeans(rej),
                            apply(rej, 2L, se_prop)), collapse = "  ")))
}

if (what == "size") {
  for (q in c(1, 3)) for (cont in c(FALSE, TRUE)) {
    P <- t(vapply(seq_len(R), function(r) one(c(0, 0, 0), q, cont, 1e5 * q + r), numeric(3)))
    report(sprintf("q = %d, %s", q, if (cont) "10% outliers" else "normal"), P)
  }
}
if (what == "power") {
  for (q in c(1, 3)) {
    b <- if (q == 1) c(0, 0, 0.3) else c(0.2, 0.2, 0.2)
    P <- t(vapply(seq_len(R), function(r) one(b, q, TRUE, 2e5 * q + r), numeric(3)))
    report(sprintf("q = %d, 10%% outliers, b = (%s)", q, paste(b, collapse = ", ")), P)
  }
}
