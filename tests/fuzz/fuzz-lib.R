## Input fuzzing of the exported functions.
##
## fuzz_cases() generates calls: each starts from a well-formed call of one
## exported function and replaces some arguments by malformed or extreme
## values.  The argument lists come from the functions' formals: an argument
## with a constant default gets bad values by the kind of that default
## (count, number, flag, choice, NULL); the data arguments (x, y, formula,
## data) come from the small table of generators in `fuzz_gen`.  fuzz_run()
## evaluates the calls in child R processes, batch by batch with a time
## bound, so that a crash or a hang loses only its batch; the offending call
## is then run alone to confirm it.  Every call must end in a result or in an
## R error with a clear message.

## ---- outcome classes ----------------------------------------------------------

## Messages of R's own checks: reaching them means an argument was not
## validated before use.
fuzz_unclear_patterns <- c(
  "NA/NaN/Inf in foreign function call", "subscript out of bounds",
  "missing value where TRUE/FALSE needed", "non-numeric argument", "argument of length 0",
  "argument is of length zero", "invalid 'type'", "non-conformable",
  "incorrect number of dimensions", "\\$ operator is invalid",
  "invalid argument to unary operator", "arguments imply differing number", "replacement has",
  "undefined columns", "not meaningful for factors", "cannot coerce", "object of type",
  "invalid first argument", "negative length vectors", "invalid 'times' argument",
  "invalid 'length' argument", "vector size cannot be", "NAs are not allowed in subscripted",
  "invalid subscript type", "attempt to select", "dims \\[product", "length of 'dimnames'",
  "'x' must be atomic", "infinite or missing values in 'x'")
## Messages of the model-frame machinery that name the culprit themselves.
fuzz_clear_patterns <- c("^object '[^']+' not found$", "^factor .* has new levels?",
                         "^'data' must be a data.frame", "^variable lengths differ")

## The function named by an error's call: "" without a call (the package's
## own checks use call. = FALSE), "<kelvara>" for a function of the package
## (the compiled routines' errors carry the call around .C/.Fortran).  An
## error with any other call was raised by an R function reached unchecked.
fuzz_caller <- function(cl) {
  if (is.null(cl)) return("")
  f <- cl[[1L]]
  ns <- asNamespace("kelvara")
  if (is.function(f)) return(if (identical(environment(f), ns)) "<kelvara>" else "<function>")
  name <- paste(deparse(f), collapse = "")
  if (is.name(f) && exists(name, envir = ns, inherits = FALSE) &&
      identical(environment(get(name, envir = ns)), ns)) return("<kelvara>")
  name
}

fuzz_is_unclear <- function(msg, caller) {
  if (grepl("(converted from warning)", msg, fixed = TRUE)) return(FALSE)
  if (any(vapply(fuzz_clear_patterns, grepl, NA, x = msg))) return(FALSE)
  any(vapply(fuzz_unclear_patterns, grepl, NA, x = msg)) ||
    !(caller %in% c("", ".C", ".Fortran", "<kelvara>"))
}

## ---- bad values by kind -------------------------------------------------------

fuzz_pick <- function(pool) pool[[sample.int(length(pool), 1L)]]
fuzz_chance <- function(p) stats::runif(1L) < p
## In a "well-formed" case the data have the right types and sizes and only
## degenerate values a fit must cope with (ties, constant or collinear
## columns, extreme magnitudes, duplicated rows), and no argument is
## replaced: such calls reach the compiled routines.
fuzz_state <- new.env()
fuzz_state$well_formed <- FALSE
fuzz_wf <- function() fuzz_state$well_formed

fuzz_bad_scalars <- list(NA, NA_real_, NA_integer_, NaN, Inf, -Inf, -1, 0, -0, 0.5, 1e300,
                         -1e300, 1e-300, 2^31, .Machine$integer.max, 1e10, c(1, 2), numeric(0),
                         "a", "1", TRUE, FALSE, NULL, list(1), factor("a"), 1i, -2147483647,
                         matrix(1, 1, 1))
fuzz_bad_flags <- list(NA, c(TRUE, FALSE), logical(0), 1, 0, "TRUE", NULL, list(TRUE),
                       NA_integer_, factor("TRUE"))
fuzz_psi_names <- c("bisquare", "biweight", "gaussweight", "optimal", "hampel", "ggw", "lqq")
fuzz_bad_psi <- list("BISQUARE", "logistic", "", NA, NA_character_, 0, 7, 1.5, -1,
                     c("bisquare", "lqq"), character(0), NULL, TRUE, list("lqq"), 3L)
## Subset counts: beyond .Machine$integer.max they are refused; up to it they
## run for their number of draws, so 1e5 is the largest accepted count sent.
fuzz_nsamp_pool <- list(-1, NA, 1.5, "a", 1, 2, 1e5, .Machine$integer.max + 1, 2^31, 2^40,
                        1e10, -2^31, NULL, Inf, NaN)

## Malformed values for an argument with default `v`, by its name (psi,
## tuning constants, trace, subset counts) or else by the kind of `v`.
fuzz_pool <- function(name, v) {
  if (name == "psi") return(fuzz_bad_psi)
  if (name == "nsamp") return(fuzz_nsamp_pool)
  if (grepl("trace", name)) return(list(-1, NA, 1.5, "a", 1e10, 1L))
  if (startsWith(name, "tuning")) return(list(NA, -1, 0, c(3, 2, 1), "a", Inf, numeric(0)))
  if (is.null(v)) return(fuzz_bad_scalars)
  if (is.logical(v)) return(fuzz_bad_flags)
  if (is.character(v)) return(list("exact", NA, 1, c(v, "x"), character(0)))
  if (v > 0 && v < 1e-3) return(c(fuzz_bad_scalars, list(1e-15, 1, 10)))
  if (v > 0 && v < 1) return(c(fuzz_bad_scalars, list(1, 1e-9, 0.999999, 0.5 + 1e-12)))
  c(fuzz_bad_scalars, list(1L, 2L, 3L, 1e5, 1e7, 2^30, 2^30 + 0.5))
}

## Tuning constants: valid for the family, or malformed.
fuzz_cc <- function(psi) {
  valid <- switch(paste0(psi, collapse = ""), bisquare = , biweight = list(4.685, 1.548, 1e-8, 1e8),
                  gaussweight = list(2.11, 1.0), optimal = list(1.06, 0.4),
                  hampel = list(c(1.5, 3.5, 8), c(1, 1, 2), c(0.5, 0.5, 0.6)),
                  ggw = list(1, 2, 3, 4, 5, 6, c(0, 1.5, 1, 1.2, 2)),
                  lqq = list(c(1.5, 0.9, 1.5), c(0.4, 0, 1.2)), list(1))
  bad <- list(NA, -1, 0, c(3, 2, 1), c(1, 2), numeric(0), "a", NULL, Inf, 7, 0.5,
              c(0, 1, 1, 1, 0), c(0, 1e300, 1, 1, 1), c(1e300, 1e300, 1.5), c(1e-300, 0, 1.5))
  if (fuzz_wf() || fuzz_chance(0.6)) fuzz_pick(valid) else fuzz_pick(bad)
}

## ---- data ---------------------------------------------------------------------

fuzz_n <- function() fuzz_pick(if (fuzz_wf()) list(2L, 3L, 4L, 6L, 10L, 20L, 30L, 30L)
                               else list(0L, 1L, 2L, 3L, 4L, 6L, 10L, 20L, 20L, 30L, 30L))
## A numeric n x p matrix (a vector when p is NULL) with a degenerate pattern.
fuzz_matrix <- function(n, p = NULL, pattern = NULL) {
  x <- matrix(stats::rnorm(n * max(p, 1L)), n, max(p, 1L))
  if (is.null(pattern))
    pattern <- fuzz_pick(c(list("plain", "plain", "plain", "negzero", "huge", "tiny", "const",
                                "dup", "collinear", "zerocol", "integer", "ties", "mixed",
                                "outliers"), if (!fuzz_wf()) list("na", "nan", "inf")))
  if (length(x)) {
    i <- sample.int(length(x), 1L); j <- sample.int(ncol(x), 1L)
    switch(pattern, na = x[i] <- NA, nan = x[i] <- NaN, inf = x[i] <- fuzz_pick(list(Inf, -Inf)),
           negzero = x[] <- -0, huge = x <- x * 1e300, tiny = x <- x * 1e-300,
           const = x[, j] <- 3, dup = x[] <- rep(x[1L, ], each = n), ties = x[] <- round(x),
           collinear = if (ncol(x) > 1L) x[, 2L] <- 2 * x[, 1L], zerocol = x[, j] <- 0,
           integer = storage.mode(x) <- "integer", mixed = x[, j] <- x[, j] * 1e200,
           outliers = x[seq_len(i %% n + 1L), j] <- 1e6)
  }
  if (is.null(p)) x <- x[, 1L]
  if (identical(p, 0L)) x <- x[, 0L, drop = FALSE]
  x
}
fuzz_bad_data <- function(n) {
  fuzz_pick(list(NULL, "a", list(1, 2), letters[seq_len(max(n, 1L))], 1i,
                 factor(rep(c("a", "b"), length.out = n), levels = c("a", "b", "c")),
                 data.frame(a = rep("u", n)), array(0, c(n, 1L, 1L)), matrix(TRUE, n, 2L),
                 matrix(NA, n, 1L), function(x) x, quote(a), matrix("1", n, 1L), rep(NA, n),
                 as.Date("2020-01-01") + 0:2, c(-1e300, 1e300, 0)))
}
## A design (p columns) or a response (p NULL) for n observations: mostly
## numeric, sometimes of mismatched length or of a wrong kind.
fuzz_data <- function(n, p = NULL) {
  r <- stats::runif(1L)
  if (r < 0.78 || fuzz_wf()) return(fuzz_matrix(n, p))
  if (r < 0.86) return(fuzz_matrix(fuzz_n(), p))
  if (r < 0.9 && !is.null(p)) return(as.data.frame(fuzz_matrix(n, max(p, 1L))))
  fuzz_bad_data(n)
}
fuzz_p <- function() fuzz_pick(list(0L, 1L, 1L, 2L, 2L, 3L, 4L))

## ---- argument lists from the formals -------------------------------------------

## A call's arguments for `fun` (a name in the namespace; "lts.default"
## reaches a method): the constant defaults of its formals (one choice of a
## choice vector), `set` on top, then outside well-formed cases each formal
## replaced with probability `rate` by a bad value of its kind.  Work counts
## stay at most `cap`, so that a call is an input check, not a computation.
fuzz_args <- function(fun, set = list(), rate = 0.12, cap = 1000) {
  f <- formals(get(fun, envir = asNamespace("kelvara")))
  args <- list(); pools <- list()
  for (a in setdiff(names(f), "...")) {
    if (identical(f[[a]], quote(expr = ))) next
    d <- f[[a]]
    if (!(is.null(d) || is.atomic(d) || is.call(d) && identical(d[[1L]], as.name("c")))) next
    v <- eval(d, baseenv())
    pools[[a]] <- fuzz_pool(a, v)
    if (!is.null(v)) args[[a]] <- if (is.character(v)) fuzz_pick(as.list(v)) else v
  }
  args[names(set)] <- set
  if (fuzz_chance(0.5)) rate <- 0   # half the calls keep all settings valid
  for (a in names(pools))
    if (!fuzz_wf() && fuzz_chance(rate)) args[a] <- list(fuzz_pick(pools[[a]]))
  for (a in grep("resample|steps|samp|^max_it$|refine", names(args), value = TRUE))
    if (is.numeric(args[[a]]) && length(args[[a]]) == 1L && isTRUE(args[[a]] > cap))
      args[[a]] <- cap
  Filter(Negate(is.null), args)
}
fuzz_psi_set <- function(fun, ...) {
  psi <- fuzz_pick(as.list(fuzz_psi_names))
  set <- list(psi = psi, ...)
  if (!psi %in% c("bisquare", "biweight") || fuzz_chance(0.2))
    set$tuning_chi <- set$tuning_psi <- fuzz_cc(psi)
  fuzz_args(fun, set[intersect(names(set), names(formals(fun)))])
}
## An S/MM control: usually a valid one, else a damaged or a malformed one.
fuzz_control <- function(fun = "lmrob_control") {
  r <- stats::runif(1L)
  ok <- function() tryCatch(do.call(fun, fuzz_psi_set(fun, nsamp = fuzz_pick(list(1L, 5L, 20L)),
                                                       max_steps = 100L, n_groups = 2L)),
                            error = function(e) do.call(fun, list(nsamp = 20L)))
  if (r < 0.7 || fuzz_wf()) return(ok())
  if (r < 0.9) { ctl <- ok(); ctl[fuzz_pick(names(ctl))] <- list(fuzz_pick(fuzz_bad_scalars))
                 return(ctl) }
  fuzz_pick(list(NULL, "a", list(), list(foo = 1), list(nsamp = -1), 1, list(psi = "lqq")))
}
fuzz_frame <- function(n) {
  d <- data.frame(y = fuzz_matrix(n), z = fuzz_matrix(n), u = fuzz_matrix(n, NULL, "const"),
                  f = factor(sample(c("a", "b", "c"), n, TRUE), levels = c("a", "b", "c", "d")),
                  g = sample(c(TRUE, FALSE), n, TRUE))
  if (!fuzz_wf() && fuzz_chance(0.2)) fuzz_pick(list(as.list(d), d[0L, ], "a", NULL)) else d
}
fuzz_formulas <- list(y ~ z, y ~ z + u, y ~ z + f, y ~ f, y ~ 1, y ~ 0 + z, y ~ z + I(2 * z),
                      y ~ z * f, y ~ g + z, log(y) ~ z, y ~ w, cbind(y, z) ~ u, ~ z,
                      y ~ offset(z) + u)
fuzz_formula <- function() fuzz_pick(fuzz_formulas[if (fuzz_wf()) 1:10 else seq_along(fuzz_formulas)])

## ---- the per-function table: data generators and overrides -------------------

xy <- function(p = fuzz_p()) { n <- fuzz_n(); list(x = fuzz_data(n, p), y = fuzz_data(n)) }
fuzz_gen <- list(
  lmrob_control = function() fuzz_psi_set("lmrob_control", nsamp = fuzz_pick(list(1L, 5L, 20L))),
  lmrob_M_S_control = function() fuzz_psi_set("lmrob_M_S_control", max_steps = 100L),
  lmrob.config = function() fuzz_psi_set("lmrob.config", breakdown = fuzz_pick(list(0.5, 0.25))),
  psi_tuning = function() fuzz_psi_set("psi_tuning", efficiency = fuzz_pick(list(0.95, 0.5)),
                                       shape = if (fuzz_chance(0.2))
                                         fuzz_pick(list(c(1, 2, 3), c(-0.5, 1.5), NA, "a"))),
  lmrob_S = function() {
    a <- xy()
    if (fuzz_chance(0.5) && is.matrix(a$x) && nrow(a$x)) a$x <- cbind(1, a$x)
    if (fuzz_chance(0.02))  # the large-sample search
      a <- list(x = cbind(1, fuzz_matrix(2001L, 1L)), y = fuzz_matrix(2001L),
                control = lmrob_control(nsamp = 2L, n_groups = fuzz_pick(list(1L, 2L, 6L)),
                                        group_size = fuzz_pick(list(1L, 50L, 400L))))
    utils::modifyList(list(control = fuzz_control()), a)
  },
  lmrob_MM = function() {
    a <- xy(); pp <- NCOL(a$x)
    c(a, list(beta = if (fuzz_wf() || fuzz_chance(0.8)) stats::rnorm(pp) else
                fuzz_pick(list(NULL, NA, rep(Inf, pp), stats::rnorm(pp + 1L), "a")),
              scale = if (fuzz_wf() || fuzz_chance(0.7)) stats::runif(1L, 0.5, 2) else
                fuzz_pick(fuzz_bad_scalars), control = fuzz_control()))
  },
  mscale = function() fuzz_args("mscale", list(r = fuzz_data(fuzz_n()), control = fuzz_control(),
                                               p = fuzz_pick(list(0L, 1L, 2L))), rate = 0.2),
  lmrob_M_S = function() {
    n <- fuzz_n()
    f <- data.frame(f = factor(sample(letters[1:2], n, TRUE), levels = letters[1:4]))
    x1 <- if (fuzz_wf() || fuzz_chance(0.7)) stats::model.matrix(~f, f) else fuzz_data(n, 1L)
    a <- list(x1 = x1, x2 = fuzz_data(n, fuzz_pick(list(1L, 2L))), y = fuzz_data(n),
              control = fuzz_control("lmrob_M_S_control"))
    if (is.list(a$control) && identical(a$control$subsample, FALSE) || fuzz_chance(0.1))
      a$start <- fuzz_pick(list(NULL, "a", list(b1 = 0, b2 = 0, scale = 1),
                                list(b1 = rep(0, NCOL(x1)), b2 = rep(0, NCOL(a$x2)), scale = 1),
                                list(b1 = rep(0, NCOL(x1)), b2 = rep(1e300, NCOL(a$x2)),
                                     scale = -1)))
    a
  },
  l1_fit = function() fuzz_args("l1_fit.default", xy()),
  psi_func = function() fuzz_psi_args("psi_func"),
  chi_func = function() fuzz_psi_args("chi_func"),
  wgt_func = function() fuzz_psi_args("wgt_func"),
  qn = function() fuzz_args("qn", list(x = fuzz_data(fuzz_n())), rate = 0.1),
  sn = function() fuzz_args("sn", list(x = fuzz_data(fuzz_n())), rate = 0.1),
  medcouple = function() fuzz_args("medcouple", list(x = fuzz_data(fuzz_n()))),
  adjusted_fences = function() fuzz_args("adjusted_fences", list(x = fuzz_data(fuzz_n())), 0.2),
  whimed = function() {
    n <- fuzz_n(); w <- if (fuzz_chance(0.3)) sample(0:3, n, TRUE) else stats::runif(n)
    if (!fuzz_wf() && fuzz_chance(0.3))
      w <- fuzz_pick(list(NULL, -w, 0 * w, w[-1L], w + NA, w + Inf, w * 1e300, w * 1e-300, "a"))
    list(x = fuzz_data(n), w = w)
  },
  mcd = function() {
    n <- fuzz_n()
    a <- fuzz_args("mcd", list(x = fuzz_data(n, fuzz_pick(list(1L, 2L, 2L, 3L, 0L))),
                               alpha = fuzz_pick(list(0.5, 0.75, 1)),
                               nsamp = fuzz_pick(list(10, 100, 500))), cap = 1e5)
    if (n <= 10 && fuzz_chance(0.2)) a$nsamp <- 0
    a
  },
  lts = function() {
    n <- fuzz_n()
    fo <- fuzz_chance(0.2)
    a <- if (fo) list(fuzz_formula(), data = fuzz_frame(n))
         else list(x = fuzz_data(n, fuzz_p()), y = fuzz_data(n))
    a <- c(a, fuzz_args("lts.default", list(alpha = fuzz_pick(list(0.5, 0.75, 1)),
                                            nsamp = fuzz_pick(list(10, 100, 500))), cap = 1e5))
    if (fo) a$intercept <- NULL
    if (n <= 10 && fuzz_chance(0.2)) a$nsamp <- 0
    if (fuzz_chance(0.15)) a$h <- fuzz_pick(list(1, n %/% 2L + 1L, n, n + 1L, NA, 1.5, c(3, 4)))
    if (fuzz_chance(0.03)) a$bogus <- 1
    a
  },
  lmrob = function() {
    n <- if (fuzz_wf()) fuzz_pick(list(10L, 20L, 30L)) else fuzz_pick(list(0L, 2L, 5L, 10L, 30L))
    a <- list(formula = fuzz_formula(), data = fuzz_frame(n),
              control = tryCatch(do.call(lmrob.config, fuzz_gen$lmrob.config()),
                                 error = function(e) lmrob.config()))
    if (!fuzz_wf() && fuzz_chance(0.1)) a$control[["nsamp"]] <- fuzz_pick(list(10L, 50L))
    if (fuzz_wf()) return(a)
    b <- fuzz_args("lmrob", list(), rate = 0.08)
    if (fuzz_chance(0.2)) b$init <- fuzz_pick(list("M-S", "x", list(coefficients = 1, scale = 1),
                                                    list(coefficients = c(0, 0), scale = -1)))
    if (fuzz_chance(0.1)) b$weights <- fuzz_pick(list(stats::runif(n), -stats::runif(n),
                                                       rep(0, n), c(NA, rep(1, n)), "a"))
    c(a, b[setdiff(names(b), c("x", "y", "model"))])
  },
  ## Calls on fitted objects (see fuzz_wrappers).
  lmrob_methods = function() {
    list(fit = list("lmrob", fuzz_gen$lmrob()), method = fuzz_pick(as.list(fuzz_methods)),
         margs = fuzz_method_args())
  },
  lts_methods = function() list(fit = list("lts", c(xy(fuzz_pick(list(1L, 2L))), nsamp = 20)),
                                method = fuzz_pick(as.list(fuzz_methods[1:8])),
                                margs = fuzz_method_args()),
  mcd_methods = function() list(fit = list("mcd", list(x = fuzz_data(fuzz_pick(list(10L, 20L)), 2L),
                                                       nsamp = 20)),
                                method = fuzz_pick(list("print", "summary", "print_summary",
                                                        "plot", "outliers", "robust_distances")),
                                margs = fuzz_method_args()),
  adjusted_boxplot = function() {
    n <- fuzz_n()
    fuzz_args("adjusted_fences", list(x = fuzz_pick(list(fuzz_data(n), fuzz_matrix(n, 2L),
                                                         list(a = fuzz_data(n), b = fuzz_data(3L)))),
                                      plot = fuzz_pick(list(FALSE, TRUE)),
                                      horizontal = if (fuzz_chance(0.1)) fuzz_pick(fuzz_bad_flags),
                                      names = if (fuzz_chance(0.1)) fuzz_pick(list("a", 1:5, NA))),
              rate = 0.15)
  }
)
fuzz_psi_args <- function(fun) {
  a <- fuzz_psi_set(fun, x = fuzz_data(fuzz_n()))
  a$cc <- a$tuning_chi %||% fuzz_cc(a$psi)
  a$tuning_chi <- a$tuning_psi <- NULL
  if (!fuzz_wf() && fuzz_chance(0.03)) a$cc <- NULL   # cc missing
  a
}
`%||%` <- function(a, b) if (is.null(a)) b else a
fuzz_methods <- c("print", "coef", "residuals", "fitted", "predict", "summary", "print_summary",
                  "plot", "vcov", "weights", "nobs", "model.matrix", "df.residual", "confint",
                  "outliers", "robust_distances", "hatvalues", "rstandard", "tidy", "glance",
                  "augment")
fuzz_method_args <- function() {
  fuzz_pick(list(list(), list(digits = fuzz_pick(list(2, -1, NA, "a"))),
                 list(type = fuzz_pick(list("prior", "x", NA))),
                 list(level = fuzz_pick(list(0.9, 2, NA, "a"))),
                 list(parm = fuzz_pick(list(1, 99, "z", NA))),
                 list(which = fuzz_pick(list(1, 1:4, "dd", "qq", "lts", "reweighted", NA, 5))),
                 list(interval = fuzz_pick(list("confidence", "prediction", "x"))),
                 list(se.fit = fuzz_pick(list(TRUE, NA))), list(complete = FALSE),
                 list(id.n = fuzz_pick(list(-1, NA, 1e10))),
                 list(newdata = fuzz_pick(list(NULL, data.frame(z = 1:3, u = 1, f = "a", g = TRUE),
                                               data.frame(z = 1:3, u = 1, f = "q", g = TRUE),
                                               data.frame(q = 1), "a", fuzz_matrix(3L, 2L),
                                               fuzz_matrix(0L, 1L), matrix(NA_real_, 2L, 2L))))))
}

## Calls that need a fitted object first; plots go to a null device.
fuzz_on_fit <- function(fit, method, margs) {
  fit <- do.call(getExportedValue("kelvara", fit[[1L]]), fit[[2L]])
  grDevices::pdf(NULL)
  on.exit(grDevices::dev.off())
  if (method %in% c("tidy", "glance", "augment")) {
    if (!requireNamespace("generics", quietly = TRUE)) return(NULL)
    return(getExportedValue("generics", method)(fit))
  }
  if (method %in% c("hatvalues", "rstandard") && !inherits(fit, "lmrob")) method <- "outliers"
  if (method != "vcov") margs$complete <- NULL   # coef.default's own argument
  if (method == "plot") margs$type <- NULL       # a graphical parameter there
  if (method == "plot" && inherits(fit, "mcd")) margs$data <- fit$x %||% NULL
  if (method == "print_summary") return(do.call(print, c(list(summary(fit)), margs)))
  f <- if (exists(method, asNamespace("kelvara"))) get(method, asNamespace("kelvara")) else method
  do.call(f, c(list(fit), margs))
}
fuzz_wrappers <- list(lmrob_methods = fuzz_on_fit, lts_methods = fuzz_on_fit,
                      mcd_methods = fuzz_on_fit,
                      adjusted_boxplot = function(...) {
                        grDevices::pdf(NULL); on.exit(grDevices::dev.off())
                        kelvara::adjusted_boxplot(...)
                      })
fuzz_functions <- function() names(fuzz_gen)

## `n` calls of each function, reproducible from `seed`.
fuzz_cases <- function(n, seed = 1L, funs = fuzz_functions()) {
  old <- if (exists(".Random.seed", globalenv())) get(".Random.seed", globalenv())
  on.exit(if (!is.null(old)) assign(".Random.seed", old, globalenv()))
  set.seed(seed)
  cases <- list()
  for (f in funs) for (i in seq_len(n)) {
    fuzz_state$well_formed <- fuzz_chance(0.4) || grepl("_methods$", f)  # fits to call on
    cases[[length(cases) + 1L]] <- list(fun = f, args = fuzz_gen[[f]](), seed = sample.int(1e6, 1L))
  }
  fuzz_state$well_formed <- FALSE
  cases
}
## ---- evaluation ------------------------------------------------------------------

## Evaluates one case; returns list(status, msg, caller, n_warnings).
## status: "ok", "error", "unclear", "hang" (time bound reached).
fuzz_eval <- function(case, time_limit = 10) {
  set.seed(case$seed)
  fn <- if (!is.null(fuzz_wrappers[[case$fun]])) fuzz_wrappers[[case$fun]]
        else getExportedValue("kelvara", case$fun)
  warnings <- character()
  caller <- ""
  out <- tryCatch({
    setTimeLimit(elapsed = time_limit, transient = TRUE)
    on.exit(setTimeLimit(), add = TRUE)
    utils::capture.output(withCallingHandlers(
      do.call(fn, case$args, quote = TRUE),
      warning = function(w) {
        warnings <<- c(warnings, conditionMessage(w))
        if (getOption("warn") < 2) invokeRestart("muffleWarning")
      }))
    setTimeLimit()
    list(status = "ok", msg = if (length(warnings)) warnings[1L] else "")
  }, error = function(e) {
    setTimeLimit()
    msg <- conditionMessage(e)
    cl <- conditionCall(e)
    caller <<- fuzz_caller(cl)
    status <- if (grepl("elapsed time limit", msg)) "hang"
              else if (fuzz_is_unclear(msg, caller)) "unclear" else "error"
    list(status = status, msg = msg)
  })
  c(out, list(caller = caller, n_warnings = length(warnings)))
}

## The child side: evaluates cases[from..to], appending one line per call to
## `out` (index, status, seconds, warnings, caller, message), after a line
## "start <i>" that tells the parent which call a crash or hang interrupted.
fuzz_child <- function(cases_file, from, to, out, warn, time_limit) {
  cases <- readRDS(cases_file)
  options(warn = warn)
  con <- file(out, open = "a")
  on.exit(close(con))
  for (i in seq.int(from, to)) {
    writeLines(sprintf("start\t%d", i), con)
    flush(con)
    t0 <- proc.time()[["elapsed"]]
    r <- fuzz_eval(cases[[i]], time_limit)
    msg <- gsub("[\t\n\r]", " ", r$msg)
    writeLines(sprintf("done\t%d\t%s\t%.3f\t%d\t%s\t%s", i, r$status,
                       proc.time()[["elapsed"]] - t0, r$n_warnings,
                       gsub("[\t\n\r]", " ", r$caller), substr(msg, 1L, 300L)), con)
    flush(con)
  }
}

## Runs one child over cases[from..to]; returns list(status, lines).
fuzz_spawn <- function(cases_file, from, to, warn, time_limit, timeout, lib_dir) {
  out <- tempfile("fuzz-out-")
  err <- tempfile("fuzz-err-")
  child <- file.path(lib_dir, "child.R")
  status <- suppressWarnings(system2(
    file.path(R.home("bin"), "Rscript"),
    c("--vanilla", shQuote(child), shQuote(cases_file), from, to, shQuote(out), warn,
      time_limit),
    stdout = FALSE, stderr = err, timeout = timeout,
    env = paste0("R_LIBS=", shQuote(paste(.libPaths(), collapse = .Platform$path.sep)))))
  lines <- if (file.exists(out)) readLines(out) else character()
  list(status = status, lines = lines,
       stderr = if (file.exists(err)) readLines(err, warn = FALSE) else character())
}

## Evaluates every case in child processes of `batch` calls each.  A batch
## that crashes or times out is resumed after the call it was in, and that
## call is run alone to confirm the crash or hang.  Returns a data frame with
## one row per case.
fuzz_run <- function(cases, warn = 1L, batch = 250L, time_limit = 10,
                     lib_dir = fuzz_lib_dir(), verbose = FALSE) {
  cases_file <- tempfile("fuzz-cases-", fileext = ".rds")
  saveRDS(cases, cases_file)
  on.exit(unlink(cases_file))
  N <- length(cases)
  res <- data.frame(fun = vapply(cases, `[[`, "", "fun"), status = NA_character_,
                    seconds = NA_real_, n_warnings = NA_integer_, caller = NA_character_,
                    msg = NA_character_, stringsAsFactors = FALSE)
  record <- function(lines) {
    for (l in lines[startsWith(lines, "done\t")]) {
      f <- strsplit(l, "\t", fixed = TRUE)[[1L]]
      i <- as.integer(f[2L])
      res[i, c("status", "caller", "msg")] <<- c(f[3L], f[6L], if (length(f) >= 7L) f[7L] else "")
      res$seconds[i] <<- as.numeric(f[4L])
      res$n_warnings[i] <<- as.integer(f[5L])
    }
  }
  from <- 1L
  while (from <= N) {
    to <- min(N, from + batch - 1L)
    r <- fuzz_spawn(cases_file, from, to, warn, time_limit,
                    timeout = 30 + 2 * time_limit + 0.5 * (to - from + 1L), lib_dir)
    record(r$lines)
    done <- suppressWarnings(as.integer(sub("^done\t([0-9]+)\t.*", "\\1",
                                            r$lines[startsWith(r$lines, "done\t")])))
    last <- if (length(done)) max(done) else from - 1L
    if (last >= to) { from <- to + 1L; next }
    ## The batch ended early: the call after the last one done is the culprit,
    ## unless it completes when run alone.
    i <- last + 1L
    alone <- fuzz_spawn(cases_file, i, i, warn, time_limit,
                        timeout = 30 + 3 * time_limit, lib_dir)
    record(alone$lines)
    if (!any(startsWith(alone$lines, sprintf("done\t%d\t", i)))) {
      kind <- if (identical(alone$status, 124L)) "hang" else "crash"
      res$status[i] <- kind
      res$msg[i] <- paste(utils::tail(alone$stderr[nzchar(alone$stderr)], 3L),
                          collapse = " | ")
      res$caller[i] <- ""
      if (verbose) message(kind, " at case ", i, " (", res$fun[i], ")")
    }
    from <- i + 1L
  }
  res
}

fuzz_lib_dir <- function() {
  for (d in c("tests/fuzz", "../fuzz", "../../tests/fuzz", "fuzz"))
    if (file.exists(file.path(d, "child.R"))) return(normalizePath(d))
  stop("cannot find the fuzz directory")
}

## Per-function counts of a run (or of a warn = 1 and a warn = 2 run).
fuzz_table <- function(res, res_warn2 = NULL) {
  per_fun <- function(r, v) tapply(v %in% TRUE, factor(r$fun, unique(res$fun)), sum)
  t <- as.data.frame.matrix(table(factor(res$fun, unique(res$fun)),
                                  factor(res$status, c("ok", "error", "unclear", "crash", "hang"))))
  t$warned <- per_fun(res, res$n_warnings > 0L)
  if (!is.null(res_warn2)) {
    t$warn2_errors <- per_fun(res_warn2, grepl("(converted from warning)", res_warn2$msg,
                                               fixed = TRUE))
    t$warn2_bad <- per_fun(res_warn2, res_warn2$status %in% c("unclear", "crash", "hang"))
  }
  cbind(fun = rownames(t), t, row.names = NULL)
}

## The failing cases of a run: everything but results and clear errors.
fuzz_failures <- function(res, cases) {
  bad <- which(res$status %in% c("unclear", "crash", "hang") | is.na(res$status))
  lapply(bad, function(i) c(list(index = i), res[i, ], list(case = cases[[i]])))
}

