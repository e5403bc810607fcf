## Input fuzzing of the exported functions.
##
## fuzz_cases() generates calls: each starts from a well-formed call of one
## exported function and replaces some arguments by malformed or extreme
## values.  The argument lists come from the functions' formals: an argument
## with a constant default gets bad values by the kind of that default
## (count, number, flag, choice, NULL); the data arguments (x, y, formula,
## data) come from the short table of generators in `fuzz_gen`.  fuzz_run()
## evaluates the calls in child R processes, batch by batch with a time
## bound, so that a crash or a hang loses only its batch; the offending call
## is then run alone to confirm it.  Every call must end in a result or in an
## R error with a clear message.

## ---- outcome classes ----------------------------------------------------------

## Messages of R's own checks: reaching them means an argument was not
## validated before use.
fuzz_unclear_patterns <- c(
  "NA/NaN/Inf in foreign function call", "subscript out of bounds", "non-conformable",
  "missing value where TRUE/FALSE needed", "non-numeric argument", "argument of length 0",
  "argument is of length zero", "invalid 'type'", "incorrect number of dimensions",
  "\\$ operator is invalid", "invalid argument to unary operator", "replacement has",
  "arguments imply differing number", "undefined columns", "not meaningful for factors",
  "cannot coerce", "object of type", "invalid first argument", "negative length vectors",
  "invalid 'times' argument", "invalid 'length' argument", "vector size cannot be",
  "NAs are not allowed in subscripted", "invalid subscript type", "attempt to select",
  "dims \\[product", "length of 'dimnames'", "'x' must be atomic",
  "infinite or missing values in 'x'")
## Messages of the model-frame machinery that name the culprit themselves.
fuzz_clear_patterns <- c("^object '[^']+' not found$", "^factor .* has new levels?",
                         "^'data' must be a data.frame", "^variable lengths differ",
                         "^invalid type \\(.*\\) for variable '")

## The function named by an error's call: "" without a call (the package's
## own checks use call. = FALSE), "<kelvara>" for a function of the package
## (the compiled routines' errors carry the call around .C/.Fortran).  An
## error with any other call was raised by an R function reached unchecked.
fuzz_caller <- function(cl) {
  if (is.null(cl)) return("")
  f <- cl[[1L]]
  ns <- asNamespace("kelvara")
  if (is.name(f)) {
    g <- get0(as.character(f), ns, inherits = FALSE)
    if (!is.function(g)) return(as.character(f))
    f <- g
  }
  if (is.function(f)) return(if (identical(environment(f), ns)) "<kelvara>" else "<function>")
  paste(deparse(f), collapse = "")
}
fuzz_is_unclear <- function(msg, caller) {
  if (grepl("(converted from warning)", msg, fixed = TRUE) ||
      any(vapply(fuzz_clear_patterns, grepl, NA, x = msg))) return(FALSE)
  any(vapply(fuzz_unclear_patterns, grepl, NA, x = msg)) ||
    !(caller %in% c("", ".C", ".Fortran", "<kelvara>"))
}

## ---- bad values by kind -------------------------------------------------------

`%||%` <- function(a, b) if (is.null(a)) b else a
fuzz_pick <- function(pool) pool[[sample.int(length(pool), 1L)]]
fuzz_chance <- function(p) stats::runif(1L) < p
## In a "well-formed" case the data have the right types and sizes and only
## degenerate values a fit must cope with (ties, constant or collinear
## columns, extreme magnitudes, duplicated rows), and no argument is
## replaced: such calls reach the compiled routines.
fuzz_state <- new.env()
fuzz_wf <- function() isTRUE(fuzz_state$well_formed)
some <- function(p, v) if (!fuzz_wf() && fuzz_chance(p)) v   # a rare extra, NULL otherwise

fuzz_bad_scalars <- list(NA, NA_real_, NA_integer_, NaN, Inf, -Inf, -1, 0, -0, 0.5, 1e300,
                         -1e300, 1e-300, 2^31, .Machine$integer.max, 1e10, c(1, 2), numeric(0),
                         "a", "1", TRUE, FALSE, NULL, list(1), factor("a"), 1i, -2147483647,
                         matrix(1, 1, 1))
fuzz_bad_flags <- list(NA, c(TRUE, FALSE), logical(0), 1, 0, "TRUE", NULL, list(TRUE),
                       NA_integer_, factor("TRUE"))
fuzz_psi_names <- c("bisquare", "biweight", "gaussweight", "optimal", "hampel", "ggw", "lqq")
## Malformed values for an argument with default `v`, by its name (psi,
## tuning constants, trace, subset counts) or else by the kind of `v`.
## Subset counts beyond .Machine$integer.max are refused; up to it they run
## for their number of draws, so 1e5 is the largest accepted count sent.
fuzz_pool <- function(name, v) {
  if (name == "psi") return(list("BISQUARE", "logistic", "", NA, NA_character_, 0, 7, 1.5, -1,
                                 c("bisquare", "lqq"), character(0), NULL, TRUE, list("lqq"), 3L))
  if (name == "nsamp") return(list(-1, NA, 1.5, "a", 1, 2, 1e5, .Machine$integer.max + 1, 2^31,
                                   2^40, 1e10, -2^31, NULL, Inf, NaN))
  if (grepl("trace", name)) return(list(-1, NA, 1.5, "a", 1e10, 1L))
  if (startsWith(name, "tuning")) return(list(NA, -1, 0, c(3, 2, 1), "a", Inf, numeric(0)))
  if (is.null(v)) return(fuzz_bad_scalars)
  if (is.logical(v)) return(fuzz_bad_flags)
  if (is.character(v)) return(list("exact", NA, 1, c(v, "x"), character(0)))
  c(fuzz_bad_scalars, if (v > 0 && v < 1e-3) list(1e-15, 1, 10)
                      else if (v > 0 && v < 1) list(1, 1e-9, 0.999999, 0.5 + 1e-12)
                      else list(1L, 2L, 3L, 1e5, 1e7, 2^30, 2^30 + 0.5))
}
## Tuning constants: valid for the family, or malformed.
fuzz_cc <- function(psi) {
  valid <- switch(paste0(psi, collapse = ""), bisquare = , biweight = list(4.685, 1.548, 1e-8,
                  1e8), gaussweight = list(2.11, 1.0), optimal = list(1.06, 0.4),
                  hampel = list(c(1.5, 3.5, 8), c(1, 1, 2), c(0.5, 0.5, 0.6)),
                  ggw = list(1, 2, 3, 4, 5, 6, c(0, 1.5, 1, 1.2, 2)),
                  lqq = list(c(1.5, 0.9, 1.5), c(0.4, 0, 1.2)), list(1))
  fuzz_pick(if (fuzz_wf() || fuzz_chance(0.6)) valid else
    list(NA, -1, 0, c(3, 2, 1), c(1, 2), numeric(0), "a", NULL, Inf, 7, 0.5, c(0, 1, 1, 1, 0),
         c(0, 1e300, 1, 1, 1), c(1e300, 1e300, 1.5), c(1e-300, 0, 1.5)))
}

## ---- data ---------------------------------------------------------------------

fuzz_n <- function() fuzz_pick(c(if (!fuzz_wf()) list(0L, 1L, 20L), 2L, 3L, 4L, 6L, 10L, 20L,
                                 30L, 30L))
fuzz_p <- function() fuzz_pick(list(0L, 1L, 1L, 2L, 2L, 3L, 4L))
## A numeric n x p matrix (a vector when p is NULL) with a degenerate pattern.
fuzz_matrix <- function(n, p = NULL, pattern = NULL) {
  x <- matrix(stats::rnorm(n * max(p, 1L)), n, max(p, 1L))
  pattern <- pattern %||% fuzz_pick(c(list("plain", "plain", "plain", "negzero", "huge", "tiny",
    "const", "dup", "collinear", "zerocol", "integer", "ties", "mixed", "outliers"),
    if (!fuzz_wf()) list("na", "nan", "inf")))
  i <- sample.int(max(length(x), 1L), 1L); j <- sample.int(ncol(x), 1L)
  if (length(x))
    switch(pattern, na = x[i] <- NA, nan = x[i] <- NaN, inf = x[i] <- fuzz_pick(list(Inf, -Inf)),
           negzero = x[] <- -0, huge = x <- x * 1e300, tiny = x <- x * 1e-300,
           const = x[, j] <- 3, dup = x[] <- rep(x[1L, ], each = n), ties = x[] <- round(x),
           collinear = if (ncol(x) > 1L) x[, 2L] <- 2 * x[, 1L], zerocol = x[, j] <- 0,
           integer = storage.mode(x) <- "integer", mixed = x[, j] <- x[, j] * 1e200,
           outliers = x[seq_len(i %% n + 1L), j] <- 1e6)
  if (is.null(p)) x[, 1L] else x[, seq_len(p), drop = FALSE]
}
## A design (p columns) or a response (p NULL) for n observations: mostly
## numeric, sometimes of mismatched length or of a wrong kind.
fuzz_data <- function(n, p = NULL) {
  r <- stats::runif(1L)
  if (r < 0.78 || fuzz_wf()) return(fuzz_matrix(n, p))
  if (r < 0.86) return(fuzz_matrix(fuzz_n(), p))
  if (r < 0.9 && !is.null(p)) return(as.data.frame(fuzz_matrix(n, max(p, 1L))))
  fuzz_pick(list(NULL, "a", list(1, 2), letters[seq_len(max(n, 1L))], 1i,
                 factor(rep(c("a", "b"), length.out = n), levels = c("a", "b", "c")),
                 data.frame(a = rep("u", n)), array(0, c(n, 1L, 1L)), matrix(TRUE, n, 2L),
                 matrix(NA, n, 1L), function(x) x, quote(a), matrix("1", n, 1L), rep(NA, n),
                 as.Date("2020-01-01") + 0:2, c(-1e300, 1e300, 0)))
}
xy <- function(p = fuzz_p(), n = fuzz_n()) list(x = fuzz_data(n, p), y = fuzz_data(n))
fuzz_frame <- function(n) {
  d <- data.frame(y = fuzz_matrix(n), z = fuzz_matrix(n), u = fuzz_matrix(n, NULL, "const"),
                  f = factor(sample(c("a", "b", "c"), n, TRUE), levels = c("a", "b", "c", "d")),
                  g = sample(c(TRUE, FALSE), n, TRUE))
  some(0.2, fuzz_pick(list(as.list(d), d[0L, ], "a", NULL))) %||% d
}
fuzz_formulas <- list(y ~ z, y ~ z + u, y ~ z + f, y ~ f, y ~ 1, y ~ 0 + z, y ~ z + I(2 * z),
                      y ~ z * f, y ~ g + z, log(y) ~ z, y ~ w, cbind(y, z) ~ u, ~ z,
                      y ~ offset(z) + u)
fuzz_formula <- function() fuzz_pick(fuzz_formulas[seq_len(if (fuzz_wf()) 10L else 14L)])

## ---- argument lists from the formals -------------------------------------------

## A call's arguments for `fun` (a name in the namespace; "lts.default"
## reaches a method): the constant defaults of its formals (one choice of a
## choice vector), `set` on top, then in half of the calls that are not
## well-formed each formal replaced with probability `rate` by a bad value
## of its kind.  Work counts stay at most `cap`, so that a call is an input
## check, not a computation.
fuzz_args <- function(fun, set = list(), rate = 0.12, cap = 1000) {
  f <- formals(get(fun, envir = asNamespace("kelvara")))
  args <- pools <- list()
  for (a in setdiff(names(f), "...")) {
    if (identical(f[[a]], quote(expr = ))) next
    d <- f[[a]]
    if (!(is.null(d) || is.atomic(d) || is.call(d) && identical(d[[1L]], as.name("c")))) next
    v <- eval(d, baseenv())
    pools[[a]] <- fuzz_pool(a, v)
    args[a] <- list(if (is.character(v)) fuzz_pick(as.list(v)) else v)
  }
  args[names(set)] <- set
  if (!fuzz_wf() && fuzz_chance(0.5))
    for (a in names(pools)) if (fuzz_chance(rate)) args[a] <- list(fuzz_pick(pools[[a]]))
  for (a in grep("resample|steps|samp|^max_it$|refine", names(args), value = TRUE))
    if (is.numeric(args[[a]]) && length(args[[a]]) == 1L && isTRUE(args[[a]] > cap))
      args[[a]] <- cap
  Filter(Negate(is.null), args)
}
## Arguments of `fun` with a random family and, mostly, its tuning constants.
fuzz_psi_set <- function(fun, ...) {
  psi <- fuzz_pick(as.list(fuzz_psi_names))
  set <- list(psi = psi, ...)
  if (!psi %in% c("bisquare", "biweight") || fuzz_chance(0.2))
    set$tuning_chi <- set$tuning_psi <- fuzz_cc(psi)
  fuzz_args(fun, set[intersect(names(set), names(formals(fun)))])
}
## An S/MM control: usually a valid one, else a damaged or a malformed one.
fuzz_control <- function(fun = "lmrob_control") {
  ok <- function() tryCatch(do.call(fun, fuzz_psi_set(fun, nsamp = fuzz_pick(list(1L, 5L, 20L)),
                                                       max_steps = 100L, n_groups = 2L)),
                            error = function(e) do.call(fun, list(nsamp = 20L)))
  r <- if (fuzz_wf()) 0 else stats::runif(1L)
  if (r < 0.7) return(ok())
  if (r < 0.9) return(`[<-`(ok(), fuzz_pick(names(ok())), list(fuzz_pick(fuzz_bad_scalars))))
  fuzz_pick(list(NULL, "a", list(), list(foo = 1), list(nsamp = -1), 1, list(psi = "lqq")))
}

## ---- the per-function table: data generators and overrides -------------------

fuzz_gen <- list(
  lmrob_control = function() fuzz_psi_set("lmrob_control", nsamp = fuzz_pick(list(1L, 5L, 20L))),
  lmrob_M_S_control = function() fuzz_psi_set("lmrob_M_S_control", max_steps = 100L),
  lmrob.config = function() fuzz_psi_set("lmrob.config", breakdown = fuzz_pick(list(0.5, 0.25))),
  psi_tuning = function() fuzz_psi_set("psi_tuning", efficiency = fuzz_pick(list(0.95, 0.5)),
                                       shape = some(0.2, fuzz_pick(list(1:3, c(-0.5, 1.5))))),
  lmrob_S = function() {
    a <- c(xy(), control = list(fuzz_control()))
    if (fuzz_chance(0.5) && is.matrix(a$x) && nrow(a$x)) a$x <- cbind(1, a$x)
    if (fuzz_chance(0.02))  # the large-sample search
      a <- c(xy(1L, 2001L), list(control = lmrob_control(nsamp = 2L, n_groups = fuzz_pick(list(
        1L, 2L, 6L)), group_size = fuzz_pick(list(1L, 50L, 400L)))))
    a
  },
  lmrob_MM = function() {
    a <- xy()
    c(a, list(beta = some(0.2, fuzz_pick(list(NA, Inf, 1:9, "a"))) %||% stats::rnorm(NCOL(a$x)),
              scale = some(0.3, fuzz_pick(fuzz_bad_scalars)) %||% stats::runif(1L, 0.5, 2),
              control = fuzz_control()))
  },
  mscale = function() fuzz_args("mscale", list(r = fuzz_data(fuzz_n()), control = fuzz_control(),
                                               p = fuzz_pick(list(0L, 1L, 2L))), rate = 0.2),
  lmrob_M_S = function() {
    n <- fuzz_n()
    f <- data.frame(f = factor(sample(letters[1:2], n, TRUE), levels = letters[1:4]))
    a <- list(x1 = some(0.3, fuzz_data(n, 1L)) %||% stats::model.matrix(~f, f),
              x2 = fuzz_data(n, fuzz_pick(list(1L, 2L))), y = fuzz_data(n),
              control = fuzz_control("lmrob_M_S_control"))
    if (isFALSE(a$control$subsample) || fuzz_chance(0.1))
      a$start <- fuzz_pick(list(NULL, "a", list(b1 = 0, b2 = 0, scale = 1), list(b1 = rep(0, NCOL(
        a$x1)), b2 = rep(0, NCOL(a$x2)), scale = fuzz_pick(list(1, -1, 1e-300)))))
    a
  },
  l1_fit = function() fuzz_args("l1_fit.default", xy()),
  whimed = function() {
    n <- fuzz_n(); w <- if (fuzz_chance(0.3)) sample(0:3, n, TRUE) else stats::runif(n)
    list(x = fuzz_data(n), w = some(0.3, fuzz_pick(list(NULL, -w, 0 * w, w[-1L], w + NA, w + Inf,
                                                        w * 1e300, w * 1e-300, "a"))) %||% w)
  },
  mcd = function() {
    n <- fuzz_n()
    fuzz_args("mcd", list(x = fuzz_data(n, fuzz_pick(list(1L, 2L, 2L, 3L, 0L))), alpha = fuzz_pick(
      list(0.5, 0.75, 1)), nsamp = if (n <= 10 && fuzz_chance(0.2)) 0 else fuzz_pick(list(
        10, 100, 500))), cap = 1e5)
  },
  lts = function() {
    n <- fuzz_n(); fo <- fuzz_chance(0.2)
    a <- c(if (fo) list(fuzz_formula(), data = fuzz_frame(n)) else xy(n = n),
           fuzz_args("lts.default", list(alpha = fuzz_pick(list(0.5, 0.75, 1)), nsamp = if (
             n <= 10 && fuzz_chance(0.2)) 0 else fuzz_pick(list(10, 100, 500))), cap = 1e5),
           list(h = some(0.15, fuzz_pick(list(1, n %/% 2L + 1L, n, n + 1L, NA, 1.5, c(3, 4)))),
                bogus = some(0.03, 1)))
    if (fo) a$intercept <- NULL
    Filter(Negate(is.null), a)
  },
  lmrob = function() {
    n <- fuzz_pick(if (fuzz_wf()) list(10L, 20L, 30L) else list(0L, 2L, 5L, 10L, 30L))
    a <- list(formula = fuzz_formula(), data = fuzz_frame(n),
              control = tryCatch(do.call(lmrob.config, fuzz_gen$lmrob.config()),
                                 error = function(e) lmrob.config()))
    if (fuzz_wf()) return(a)
    b <- fuzz_args("lmrob", list(nsamp = some(0.1, fuzz_pick(list(10L, 50L))), init = some(
      0.2, fuzz_pick(list("M-S", "x", list(coefficients = 1, scale = 1), list(coefficients = c(
        0, 0), scale = -1)))), weights = some(0.1, fuzz_pick(list(stats::runif(n), -stats::runif(
          n), rep(0, n), c(NA, rep(1, n)), "a")))), rate = 0.08)
    c(a, b[setdiff(names(b), c("x", "y", "model"))])
  },
  ## Calls on fitted objects (see fuzz_on_fit).
  lmrob_methods = function() list(fit = list("lmrob", fuzz_gen$lmrob()), method = fuzz_pick(
    as.list(fuzz_methods)), margs = fuzz_method_args()),
  lts_methods = function() list(fit = list("lts", c(xy(fuzz_pick(list(1L, 2L)), 20L), nsamp = 20)),
                                method = fuzz_pick(as.list(fuzz_methods[1:8])),
                                margs = fuzz_method_args()),
  mcd_methods = function() list(fit = list("mcd", list(x = fuzz_data(fuzz_pick(list(10L, 20L)), 2L),
                                                       nsamp = 20)),
                                method = fuzz_pick(as.list(fuzz_methods[c(1, 6:8, 15:16)])),
                                margs = fuzz_method_args()),
  adjusted_boxplot = function() {
    n <- fuzz_n()
    fuzz_args("adjusted_fences", list(x = fuzz_pick(list(fuzz_data(n), fuzz_matrix(n, 2L), list(
      a = fuzz_data(n), b = fuzz_data(3L)))), plot = fuzz_pick(list(FALSE, TRUE)),
      horizontal = some(0.1, fuzz_pick(fuzz_bad_flags)), names = some(0.1, fuzz_pick(list(
        "a", 1:5, NA)))), rate = 0.15)
  })
## The univariate statistics: x from the data generator, the rest from the formals.
for (f in c("qn", "sn", "medcouple", "adjusted_fences"))
  fuzz_gen[[f]] <- local({ f <- f; function() fuzz_args(f, list(x = fuzz_data(fuzz_n()))) })
## The psi family functions: one family, its tuning constants as cc (rarely missing).
for (f in c("psi_func", "chi_func", "wgt_func")) fuzz_gen[[f]] <- local({ f <- f; function() {
  a <- fuzz_psi_set(f, x = fuzz_data(fuzz_n()))
  a$cc <- if (is.null(some(0.03, TRUE))) a$tuning_chi %||% fuzz_cc(a$psi)
  a[setdiff(names(a), c("tuning_chi", "tuning_psi"))]
} })
fuzz_methods <- c("print", "coef", "residuals", "fitted", "predict", "summary", "print_summary",
                  "plot", "vcov", "weights", "nobs", "model.matrix", "df.residual", "confint",
                  "outliers", "robust_distances", "hatvalues", "rstandard", "tidy", "glance",
                  "augment")
fuzz_method_args <- function() {
  nd <- list(NULL, data.frame(z = 1:3, u = 1, f = "a", g = TRUE), data.frame(z = 1, u = 1, f = "q",
             g = TRUE), data.frame(q = 1), "a", fuzz_matrix(3L, 2L), matrix(NA_real_, 2L, 2L))
  a <- list(digits = list(2, -1, NA, "a"), type = list("prior", "x", NA), id.n = list(-1, NA, 1e10),
            level = list(0.9, 2, NA, "a"), parm = list(1, 99, "z", NA), newdata = nd,
            which = list(1, 1:4, "dd", "qq", "lts", "reweighted", NA, 5), complete = list(FALSE),
            interval = list("confidence", "prediction", "x"), se.fit = list(TRUE, NA))
  nm <- sample(names(a), sample(0:2, 1L))
  stats::setNames(lapply(a[nm], fuzz_pick), nm)
}
## Calls that need a fitted object first; plots go to a null device.
fuzz_on_fit <- function(fit, method, margs) {
  fit <- do.call(getExportedValue("kelvara", fit[[1L]]), fit[[2L]])
  grDevices::pdf(NULL); on.exit(grDevices::dev.off())
  if (method %in% c("tidy", "glance", "augment"))
    return(if (requireNamespace("generics", quietly = TRUE))
      getExportedValue("generics", method)(fit))
  if (method %in% c("hatvalues", "rstandard") && !inherits(fit, "lmrob")) method <- "outliers"
  if (method != "vcov") margs$complete <- NULL   # coef.default's own argument
  if (method == "plot") margs$type <- NULL       # a graphical parameter there
  if (method == "print_summary") return(do.call(print, c(list(summary(fit)), margs)))
  do.call(get0(method, asNamespace("kelvara"), ifnotfound = method), c(list(fit), margs))
}
fuzz_wrappers <- list(lmrob_methods = fuzz_on_fit, lts_methods = fuzz_on_fit,
                      mcd_methods = fuzz_on_fit, adjusted_boxplot = function(...) {
                        grDevices::pdf(NULL); on.exit(grDevices::dev.off())
                        kelvara::adjusted_boxplot(...)
                      })
fuzz_functions <- function() names(fuzz_gen)

## `n` calls of each function, reproducible from `seed`.
fuzz_cases <- function(n, seed = 1L, funs = fuzz_functions()) {
  old <- get0(".Random.seed", globalenv())
  on.exit({ if (!is.null(old)) assign(".Random.seed", old, globalenv())
            fuzz_state$well_formed <- FALSE })
  set.seed(seed)
  unlist(lapply(funs, function(f) lapply(seq_len(n), function(i) {
    fuzz_state$well_formed <- fuzz_chance(0.4) || grepl("_methods$", f)  # fits to call on
    list(fun = f, args = fuzz_gen[[f]](), seed = sample.int(1e6, 1L))
  })), recursive = FALSE)
}

## ---- evaluation ------------------------------------------------------------------

## Evaluates one case; returns list(status, msg, caller, n_warnings).
## status: "ok", "error", "unclear", "hang" (time bound reached).
fuzz_eval <- function(case, time_limit = 10) {
  set.seed(case$seed)
  warnings <- character(); caller <- ""
  out <- tryCatch({
    setTimeLimit(elapsed = time_limit, transient = TRUE)
    on.exit(setTimeLimit(), add = TRUE)
    utils::capture.output(withCallingHandlers(do.call(
      fuzz_wrappers[[case$fun]] %||% getExportedValue("kelvara", case$fun), case$args,
      quote = TRUE), warning = function(w) {
        warnings <<- c(warnings, conditionMessage(w))
        if (getOption("warn") < 2) invokeRestart("muffleWarning")
      }))
    list(status = "ok", msg = c(warnings, "")[1L])
  }, error = function(e) {
    setTimeLimit()
    msg <- conditionMessage(e)
    caller <<- fuzz_caller(conditionCall(e))
    list(status = if (grepl("elapsed time limit", msg)) "hang"
                  else if (fuzz_is_unclear(msg, caller)) "unclear" else "error", msg = msg)
  })
  c(out, list(caller = caller, n_warnings = length(warnings)))
}

## The child side: evaluates cases[from..to], appending to `out` a line
## "start <i>" (which call a crash or hang interrupted) and then one line per
## call: index, status, seconds, warnings, caller, message.
fuzz_child <- function(cases_file, from, to, out, warn, time_limit) {
  cases <- readRDS(cases_file)
  options(warn = warn)
  con <- file(out, open = "a"); on.exit(close(con))
  clean <- function(s) gsub("[\t\n\r]", " ", s)
  for (i in seq.int(from, to)) {
    writeLines(sprintf("start\t%d", i), con); flush(con)
    t0 <- proc.time()[["elapsed"]]
    r <- fuzz_eval(cases[[i]], time_limit)
    writeLines(sprintf("done\t%d\t%s\t%.3f\t%d\t%s\t%s", i, r$status, proc.time()[["elapsed"]] -
                         t0, r$n_warnings, clean(r$caller), substr(clean(r$msg), 1L, 300L)), con)
    flush(con)
  }
}

## Runs one child over cases[from..to]: its exit status, lines and stderr.
fuzz_spawn <- function(cases_file, from, to, warn, time_limit, timeout, lib_dir) {
  out <- tempfile("fuzz-out-"); err <- tempfile("fuzz-err-")
  status <- suppressWarnings(system2(file.path(R.home("bin"), "Rscript"), c(
    "--vanilla", shQuote(file.path(lib_dir, "child.R")), shQuote(cases_file), from, to,
    shQuote(out), warn, time_limit), stdout = FALSE, stderr = err, timeout = timeout,
    env = paste0("R_LIBS=", shQuote(paste(.libPaths(), collapse = .Platform$path.sep)))))
  rd <- function(f) if (file.exists(f)) readLines(f, warn = FALSE) else character()
  list(status = status, lines = rd(out), stderr = rd(err))
}

## Evaluates every case in child processes of `batch` calls each.  A batch
## that crashes or times out is resumed after the call it was in, and that
## call is run alone to confirm the crash or hang.  One row per case.
fuzz_run <- function(cases, warn = 1L, batch = 250L, time_limit = 10,
                     lib_dir = fuzz_lib_dir(), verbose = FALSE) {
  cases_file <- tempfile("fuzz-cases-", fileext = ".rds")
  saveRDS(cases, cases_file)
  on.exit(unlink(cases_file))
  res <- data.frame(fun = vapply(cases, `[[`, "", "fun"), status = NA_character_,
                    seconds = NA_real_, n_warnings = NA_integer_, caller = NA_character_,
                    msg = NA_character_, stringsAsFactors = FALSE)
  ## Records the finished calls of a child; returns the last one's index.
  record <- function(lines) {
    f <- strsplit(grep("^done\t", lines, value = TRUE), "\t", fixed = TRUE)
    for (x in f) res[as.integer(x[2L]), -1L] <<- list(
      x[3L], as.numeric(x[4L]), as.integer(x[5L]), x[6L], c(x[7L], "")[1L + is.na(x[7L])])
    max(0L, vapply(f, function(x) as.integer(x[2L]), 1L))
  }
  from <- 1L
  while (from <= length(cases)) {
    to <- min(length(cases), from + batch - 1L)
    last <- max(from - 1L, record(fuzz_spawn(cases_file, from, to, warn, time_limit, 30 + 2 *
                                               time_limit + 0.5 * (to - from + 1L), lib_dir)$lines))
    if (last >= to) { from <- to + 1L; next }
    ## The batch ended early: the next call is the culprit unless it
    ## completes when run alone.
    i <- last + 1L
    alone <- fuzz_spawn(cases_file, i, i, warn, time_limit, 30 + 3 * time_limit, lib_dir)
    if (record(alone$lines) < i) {
      kind <- if (identical(alone$status, 124L)) "hang" else "crash"
      res[i, c("status", "caller", "msg")] <- c(kind, "", paste(utils::tail(
        alone$stderr[nzchar(alone$stderr)], 3L), collapse = " | "))
      if (verbose) message(kind, " at case ", i, " (", res$fun[i], ")")
    }
    from <- i + 1L
  }
  res
}
fuzz_lib_dir <- function() {
  d <- Filter(function(d) file.exists(file.path(d, "child.R")),
              c("tests/fuzz", "../fuzz", "../../tests/fuzz", "fuzz"))
  if (length(d)) normalizePath(d[[1L]]) else stop("cannot find the fuzz directory")
}

## Per-function counts of a run (or of a warn = 1 and a warn = 2 run).
fuzz_table <- function(res, res_warn2 = NULL) {
  per_fun <- function(v) tapply(v %in% TRUE, factor(res$fun, unique(res$fun)), sum)
  t <- as.data.frame.matrix(table(factor(res$fun, unique(res$fun)), factor(
    res$status, c("ok", "error", "unclear", "crash", "hang"))))
  t$warned <- per_fun(res$n_warnings > 0L)
  if (!is.null(res_warn2)) {
    t$warn2_errors <- per_fun(grepl("(converted from warning)", res_warn2$msg, fixed = TRUE))
    t$warn2_bad <- per_fun(res_warn2$status %in% c("unclear", "crash", "hang"))
  }
  cbind(fun = rownames(t), t, row.names = NULL)
}
## The failing cases of a run: everything but results and clear errors.
fuzz_failures <- function(res, cases) {
  lapply(which(res$status %in% c("unclear", "crash", "hang") | is.na(res$status)),
         function(i) c(list(index = i), res[i, ], list(case = cases[[i]])))
}
