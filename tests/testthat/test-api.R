test_that("each old argument name warns once and gives what the new name gives", {
  same <- function(old, new) {
    w <- character()
    got <- withCallingHandlers(old, warning = function(w_) {
      w <<- c(w, conditionMessage(w_))
      invokeRestart("muffleWarning")
    })
    expect_identical(got, new)
    w
  }
  expect_identical(same(lmrob_control(n_resample = 7), lmrob_control(nsamp = 7)),
                   "'n_resample' is deprecated; use 'nsamp'")
  expect_length(same(lmrob_M_S_control(n_resample = 7, trace_level = 2, subsample_tol = 1e-5,
                                       nonsingular = FALSE),
                     lmrob_M_S_control(nsamp = 7, trace = 2, solve_tol = 1e-5,
                                       subsampling = "simple")), 4L)
  expect_length(same(lmrob.config(ms_resample = 9, n_resample = 8, nonsingular = FALSE),
                     lmrob.config(ms_nsamp = 9, nsamp = 8, subsampling = "simple")), 3L)
  x <- c(1:9, 30, 50)
  expect_identical(same(medcouple(x, maxit = 5), medcouple(x, max_it = 5)),
                   "'maxit' is deprecated; use 'max_it'")
  ## through the '...' of lmrob() and as names of a hand-made control list
  d <- data.frame(x = 1:30, y = c(1:27 + sin(1:27), 80, 90, 100))
  expect_length(same(coef(lmrob(y ~ x, d, control = lmrob.config(seed = 1), n_resample = 50)),
                     coef(lmrob(y ~ x, d, control = lmrob.config(seed = 1), nsamp = 50))), 1L)
  expect_length(same({set.seed(1); lmrob_M_S(NULL, d$x, d$y, list(n_resample = 20,
                                                                   trace_level = 0))},
                     {set.seed(1); lmrob_M_S(NULL, d$x, d$y, list(nsamp = 20, trace = 0))}),
                2L)
  expect_error(suppressWarnings(lmrob_control(nsamp = 5, n_resample = 5)), "only")
  expect_error(lmrob_control(nsamp_typo = 5), "unused argument")
})

test_that("old dotted result fields are read under their new names, with a warning", {
  old <- function(expr, pattern) {
    expect_warning(v <- expr, pattern)
    v
  }
  set.seed(2)
  m <- mcd(matrix(rnorm(60), 30), seed = 1)
  for (f in c("center", "cov", "det", "consistency", "mah"))
    expect_identical(old(do.call("$", list(m, paste0("raw.", f))),
                         sprintf("'raw.%s' is deprecated; use 'raw_%s'", f, f)),
                     m[[paste0("raw_", f)]])
  d <- data.frame(x = 1:30, y = 2 * (1:30))
  e <- suppressWarnings(lmrob(y ~ x, d, control = lmrob.config(seed = 1)))
  expect_true(old(e$exact.fit, "use 'exact_fit'"))
  s <- summary(lmrob(stack.loss ~ ., stackloss, control = lmrob.config(seed = 1)))
  expect_identical(old(s$n.rejected, "n_rejected"), s$n_rejected)
  l <- summary(l1_fit(stack.loss ~ ., stackloss))
  expect_identical(old(l$sum.abs, "sum_abs"), l$sum_abs)
  expect_identical(old(lmrob.config()$ms_resample, "ms_nsamp"), 500L)
  expect_silent(m$cov)  # partial and exact names of fields that were not renamed
  expect_identical(m$mah_cl, m$mah_classical)
})

test_that("the matrix-level estimators take an lmrob.config and agree with lmrob()", {
  set.seed(3); n <- 60
  x <- rnorm(n); y <- 1 + 2 * x + rnorm(n) + 15 * (1:n <= 8)
  ctrl <- lmrob.config(seed = 4, nsamp = 100)
  fit <- lmrob(y ~ x, control = ctrl)
  X <- cbind("(Intercept)" = 1, x = x)
  set.seed(9)
  s <- lmrob_S(X, y, ctrl)  # under the seed of ctrl: the stream is left as it was
  expect_identical(runif(1), {set.seed(9); runif(1)})
  ## lmrob() runs the same S and MM bodies on the same (already standard) data
  expect_identical(fit$init[c("coefficients", "scale")],
                   list(coefficients = unname(s$coefficients), scale = s$scale))
  m <- lmrob_MM(X, y, s$coefficients, s$scale, ctrl)
  expect_identical(unname(coef(fit)), unname(m$coefficients))
  expect_equal(unname(fit$rweights), m$weights, tolerance = 1e-12)
  a <- lmrob_M_S(rep(1, n), x, y, ctrl)
  set.seed(4)
  b <- lmrob_M_S(rep(1, n), x, y, list(nsamp = ctrl$ms_nsamp, tuning_chi = ctrl$tuning_chi,
                                       bb = ctrl$bb, max_singular = ctrl$max_singular))
  expect_identical(a$coefficients, b$coefficients)
  expect_error(lmrob_S(X, y, list(nsamp = 10, breakdown = 0.5)), "unknown control setting")
  ctrl$nsamp <- -1  # a configuration changed by hand is checked again
  expect_error(lmrob(y ~ x, control = ctrl), "'nsamp' must be a whole number")
})
