## Sends SIGINT to this R process `after` seconds from now (from a
## background shell) while `expr` runs.  Returns the outcome ("interrupted",
## "completed" or the error message) and the latency: the seconds from the
## signal to the return of control.
interrupt_latency <- function(expr, after = 0.3) {
  t0 <- proc.time()[["elapsed"]]
  # The parentheses put the whole delayed signal in the background.
  system(sprintf("(sleep %g; kill -INT %d)", after, Sys.getpid()), wait = FALSE)
  r <- tryCatch({ force(expr); "completed" }, interrupt = function(e) "interrupted",
                error = function(e) conditionMessage(e))
  elapsed <- proc.time()[["elapsed"]] - t0
  if (r != "interrupted")  # let a late signal land here, not at top level
    tryCatch(Sys.sleep(after + 0.5), interrupt = function(e) NULL)
  list(result = r, latency = elapsed - after)
}
## Expects `expr` to be interrupted and to return within a second of the signal.
expect_interrupted <- function(expr, after = 0.3, label = "") {
  r <- interrupt_latency(expr, after)
  expect_identical(r$result, "interrupted", label = label)
  expect_lt(r$latency, 1, label = paste(label, "latency"))
}

## The long fits of the package, each of which would run for minutes unless
## interrupted: the S search (small and large samples), the MM iterations,
## the M-S subsampling and descent, MCD and LTS.
interrupt_fits <- function(scale = 1) {
  set.seed(5)
  n <- round(1500 * scale)
  x <- cbind(1, matrix(stats::rnorm(n * 3), n))
  y <- drop(x %*% c(1, 2, 3, 4)) + stats::rnorm(n)
  nb <- round(20000 * scale)
  xb <- cbind(1, matrix(stats::rnorm(nb * 3), nb))
  yb <- drop(xb %*% c(1, 2, 3, 4)) + stats::rt(nb, 2)
  x1 <- stats::model.matrix(~gl(4, 1, n))
  list(
    S = function() lmrob_S(x, y, lmrob_control(nsamp = 1e6)),
    S_large = function() lmrob_S(xb, yb, lmrob_control(nsamp = 1e6)),
    # Every draw is singular at this pivot tolerance: the restart loop.
    S_singular_restarts = function()
      lmrob_S(x, y, lmrob_control(solve_tol = 1e10, subsampling = "simple",
                                  max_singular = .Machine$integer.max)),
    MM = function() lmrob_MM(xb, yb, c(1, 2, 3, 4), 1,
                             lmrob_control(max_it = 1e8, rel_tol = 1e-300)),
    M_S_subsampling = function() lmrob_M_S(x1, x[, 2:3], y, control = list(nsamp = 1e6)),
    M_S_descent = function() lmrob_M_S(x1, x[, 2:3], y, control = list(
      subsample = FALSE, max_steps = 1e8, max_no_improve = 1e8, descent_tol = 1e-300),
      start = list(b1 = rep(0, 4), b2 = c(0, 0), scale = 1)),
    MCD = function() mcd(x[, 2:4], nsamp = 1e8),
    LTS = function() lts(x[, 2:4], y, nsamp = 1e8),
    ## one univariate LTS over 2e5 values: 1e10 additions in a single kernel
    LTS_location = function() lts(NULL, yb[rep_len(seq_len(nb), 2e5 * scale)]))
}
