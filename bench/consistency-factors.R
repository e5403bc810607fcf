## Determination of the finite-sample factors of lts() and mcd() (the table
## .small_sample_coef in R/consistency.R).
##
##   Rscript bench/consistency-factors.R simulate lts|mcd out.rds [small|large]
##   Rscript bench/consistency-factors.R fit lts|mcd raw|reweighted|cov in.rds ...
##
## "simulate" runs the determination (.lts_factor_sim / .mcd_factor_sim with
## raw = "estimated") on the grid below and records the factors; "fit" fits
## the formula of one stage to one or more such files and prints its
## coefficient rows.  In each cell the raw factor is estimated from the
## pooled samples, and the reweighted stage is redone with it, so one round
## determines every stage.  Each cell pools about 4000 cases (at least 40
## samples); with "small", the cells n = 20 to 40, where the factors change
## fastest, are run again with 12000 cases each; with "large", cells at
## n = 300 and 500 (60 samples) anchor the approach to 1.  The stored table
## was fitted to the three runs (seeds 1000, 5000 and 9000 + cell).
library(kelvara)
ns <- asNamespace("kelvara")
args <- commandArgs(TRUE)
what <- args[1L]
est <- args[2L]

small <- identical(args[4L], "small")
large <- identical(args[4L], "large")
grid <- expand.grid(n = if (small) c(20, 25, 30, 40) else if (large) c(300, 500)
                        else c(20, 25, 30, 40, 50, 70, 100, 150, 200),
                    p = 1:6, alpha = ns$.small_sample_alpha)

if (what == "simulate") {
  out <- args[3L]
  sim <- if (est == "lts") ns$.lts_factor_sim else ns$.mcd_factor_sim
  res <- vector("list", nrow(grid))
  for (i in seq_len(nrow(grid))) {
    g <- grid[i, ]
    nrep <- if (small) ceiling(12000 / g$n) else if (large) 60L else max(40L, ceiling(4000 / g$n))
    t0 <- proc.time()[["elapsed"]]
    r <- sim(g$n, g$p, g$alpha, nrep = nrep,
             seed = (if (small) 5000L else if (large) 9000L else 1000L) + i, raw = "estimated")
    ## the raw factor is relative to the stored one: record the total
    old <- ns$.small_sample_factor(paste0(est, "_raw"), g$n, g$p, g$alpha)
    res[[i]] <- data.frame(g, nrep = nrep, raw = r["raw", "factor"] * old,
                           raw_se = r["raw", "se"] * old,
                           rw = r["reweighted", "factor"], rw_se = r["reweighted", "se"],
                           cov = if ("cov" %in% rownames(r)) r["cov", "factor"] else NA,
                           cov_se = if ("cov" %in% rownames(r)) r["cov", "se"] else NA)
    cat(sprintf("%s n=%3d p=%d alpha=%.2f raw %.4f (%.4f) rw %.4f (%.4f) %.1fs\n", est,
                g$n, g$p, g$alpha, r["raw", 1], r["raw", 2], r["reweighted", 1],
                r["reweighted", 2], proc.time()[["elapsed"]] - t0))
    saveRDS(do.call(rbind, res[seq_len(i)]), out)
  }
} else if (what == "fit") {
  stage <- args[3L]
  col <- switch(stage, raw = "raw", reweighted = "rw", cov = "cov")
  d <- do.call(rbind, lapply(args[-(1:3)], readRDS))
  d$f <- d[[col]]
  d$se <- d[[paste0(col, "_se")]]
  rows <- lapply(ns$.small_sample_alpha, function(a) {
    s <- d[abs(d$alpha - a) < 1e-9, ]
    B <- ns$.small_sample_basis(s$n, s$p, a)
    ## Weighted least squares of log f on the basis, no intercept: f = 1
    ## in the limit.  Weights from the Monte Carlo error of log f.
    w <- 1 / pmax((s$se / s$f)^2, 1e-6)
    m <- stats::lm.wfit(B, log(s$f), w)
    z <- (log(s$f) - drop(B %*% m$coefficients)) / (s$se / s$f)
    cat(sprintf("alpha %.2f: max |z| %.2f, rms z %.2f, max rel. error %.3f\n", a,
                max(abs(z)), sqrt(mean(z^2)),
                max(abs(exp(drop(B %*% m$coefficients)) / s$f - 1))))
    m$coefficients
  })
  cf <- do.call(rbind, rows)
  cat(sprintf("%s_%s = matrix(c(%s), %dL, byrow = TRUE),\n", est, col,
              paste(formatC(t(cf), digits = 8, format = "g"), collapse = ", "), nrow(cf)))
}
