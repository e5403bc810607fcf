## Input fuzzing of the exported functions.
##
## fuzz_cases() generates calls: each starts from a well-formed call of one
## exported function and replaces some arguments by malformed or extreme
## values (wrong types, lengths 0/1/2 and mismatched, NA, NaN, Inf, -0, huge
## and tiny magnitudes, constant columns, duplicated rows, p >= n, singular
## designs, factors with empty levels, coverage at and beyond its bounds,
## absurd control values).  fuzz_run() evaluates them in child R processes,
## batch by batch with a time bound, so that a crash or a hang loses only
## its batch; the offending call is then run alone to confirm it.  Every
## call must end in a result or in an R error with a clear message.

## ---- outcome classes ----------------------------------------------------------

## Messages of R's own checks: reaching them means an argument was not
## validated before use.
fuzz_unclear_patterns <- c(
  "NA/NaN/Inf in foreign function call", "subscript out of bounds",
  "missing value where TRUE/FALSE needed", "non-numeric argument",
  "argument of length 0", "argument is of length zero", "invalid 'type'",
  "non-conformable", "incorrect number of dimensions", "\\$ operator is invalid",
  "invalid argument to unary operator", "arguments imply differing number",
  "replacement has", "undefined columns", "not meaningful for factors",
  "cannot coerce", "object of type", "invalid first argument",
  "negative length vectors", "invalid 'times' argument", "invalid 'length' argument",
  "vector size cannot be", "NAs are not allowed in subscripted",
  "invalid subscript type", "attempt to select", "dims \\[product",
  "length of 'dimnames'", "'x' must be atomic", "infinite or missing values in 'x'")

## Errors raised by the package's own checks carry no call (call. = FALSE);
## those of the compiled routines come from .C/.Fortran.  An error with any
## other call was raised by some R function the input reached unchecked.
fuzz_clear_callers <- c("", ".C", ".Fortran", "<kelvara>")

## The function named by an error's call: "" without a call, "<kelvara>" for
## any function of the package (the compiled routines' errors carry the call
## of the R function around .C/.Fortran).
fuzz_caller <- function(cl) {
  if (is.null(cl)) return("")
  f <- cl[[1L]]
  ns <- asNamespace("kelvara")
  if (is.function(f))
    return(if (identical(environment(f), ns)) "<kelvara>" else "<function>")
  name <- paste(deparse(f), collapse = "")
  if (is.name(f) && exists(name, envir = ns, inherits = FALSE) &&
      identical(environment(get(name, envir = ns)), ns)) return("<kelvara>")
  name
}

## Messages of the model-frame machinery that name the culprit themselves.
fuzz_clear_patterns <- c("^object '[^']+' not found$", "^factor .* has new levels?",
                         "^'data' must be a data.frame", "^variable lengths differ")

fuzz_is_unclear <- function(msg, caller) {
  if (grepl("(converted from warning)", msg, fixed = TRUE)) return(FALSE)
  if (any(vapply(fuzz_clear_patterns, grepl, NA, x = msg))) return(FALSE)
  any(vapply(fuzz_unclear_patterns, grepl, NA, x = msg)) ||
    !(caller %in% fuzz_clear_callers)
}

## ---- value pools -------------------------------------------------------------

fuzz_bad_scalars <- list(NA, NA_real_, NA_integer_, NaN, Inf, -Inf, -1, 0, -0, 0.5,
                         1e300, -1e300, 1e-300, 2^31, .Machine$integer.max, 1e10,
                         c(1, 2), numeric(0), "a", "1", TRUE, FALSE, NULL, list(1),
                         factor("a"), 1i, -2147483647, matrix(1, 1, 1))
fuzz_bad_flags <- list(NA, c(TRUE, FALSE), logical(0), 1, 0, "TRUE", NULL, list(TRUE),
                       NA_integer_, factor("TRUE"))
fuzz_psi_names <- c("bisquare", "biweight", "gaussweight", "optimal", "hampel", "ggw",
                    "lqq")
fuzz_bad_psi <- list("BISQUARE", "logistic", "", NA, NA_character_, 0, 7, 1.5, -1,
                     c("bisquare", "lqq"), character(0), NULL, TRUE, list("lqq"), 3L)

fuzz_pick <- function(pool) pool[[sample.int(length(pool), 1L)]]
fuzz_chance <- function(p) stats::runif(1L) < p

## In a "well-formed" case the data have the right types and sizes and only
## degenerate values that a fit must cope with (ties, constant or collinear
## columns, extreme magnitudes, duplicated rows), and no argument is
## replaced: such calls reach the compiled routines.
fuzz_state <- new.env()
fuzz_state$well_formed <- FALSE
fuzz_wf <- function() fuzz_state$well_formed

## Tuning constants: valid for the family, or malformed.
fuzz_cc <- function(psi) {
  valid <- switch(psi,
    bisquare = , biweight = list(4.685, 1.548, 1e-8, 1e8),
    gaussweight = list(2.11, 1.0),
    optimal = list(1.06, 0.4),
    hampel = list(c(1.5, 3.5, 8), c(1, 1, 2), c(0.5, 0.5, 0.6)),
    ggw = list(1, 2, 3, 4, 5, 6, c(0, 1.5, 1, 1.2, 2)),
    lqq = list(c(1.5, 0.9, 1.5), c(0.4, 0, 1.2)),
    list(1))
  bad <- list(NA, -1, 0, c(3, 2, 1), c(1, 2), numeric(0), "a", NULL, Inf, 7, 0.5,
              c(0, 1, 1, 1, 0), c(0, 1e300, 1, 1, 1), c(1e300, 1e300, 1.5),
              c(1e-300, 0, 1.5))
  if (fuzz_wf() || fuzz_chance(0.6)) fuzz_pick(valid) else fuzz_pick(bad)
}

## ---- data -----------------------------------------------------------------------

## A numeric matrix of n rows and p columns, with one of the degenerate
## patterns.
fuzz_matrix <- function(n, p, pattern = NULL) {
  x <- matrix(stats::rnorm(n * p), n, p)
  if (is.null(pattern))
    pattern <- fuzz_pick(c(list("plain", "plain", "plain", "negzero", "huge", "tiny",
                                "const", "dup", "collinear", "zerocol", "integer",
                                "ties", "mixed"),
                           if (!fuzz_wf()) list("na", "nan", "inf")))
  if (n * p == 0L) return(x)
  i <- sample.int(n * p, 1L)
  j <- sample.int(p, 1L)
  switch(pattern,
         na = x[i] <- NA, nan = x[i] <- NaN, inf = x[i] <- fuzz_pick(list(Inf, -Inf)),
         negzero = x[] <- -0, huge = x <- x * 1e300, tiny = x <- x * 1e-300,
         const = x[, j] <- 3, dup = x[] <- rep(x[1L, ], each = n),
         collinear = if (p > 1L) x[, p] <- 2 * x[, 1L],
         zerocol = x[, j] <- 0,
         integer = storage.mode(x) <- "integer",
         ties = x[] <- round(x),
         mixed = x[, j] <- x[, j] * 1e200)
  x
}

fuzz_vector <- function(n, pattern = NULL) {
  if (is.null(pattern))
    pattern <- fuzz_pick(c(list("plain", "plain", "plain", "negzero", "huge", "tiny",
                                "const", "ties", "outliers", "integer"),
                           if (!fuzz_wf()) list("na", "nan", "inf")))
  y <- stats::rnorm(n)
  if (n == 0L) return(y)
  i <- sample.int(n, 1L)
  switch(pattern,
         na = y[i] <- NA, nan = y[i] <- NaN, inf = y[i] <- fuzz_pick(list(Inf, -Inf)),
         negzero = y[] <- -0, huge = y <- y * 1e300, tiny = y <- y * 1e-300,
         const = y[] <- 2, ties = y <- round(y), outliers = y[seq_len(i)] <- 1e6,
         integer = y <- as.integer(round(10 * y)))
  y
}

fuzz_n <- function() {
  if (fuzz_wf()) fuzz_pick(list(2L, 3L, 4L, 6L, 10L, 20L, 30L, 30L))
  else fuzz_pick(list(0L, 1L, 2L, 3L, 4L, 6L, 10L, 20L, 20L, 30L, 30L))
}
fuzz_p <- function() fuzz_pick(list(0L, 1L, 1L, 2L, 2L, 3L, 4L))

## Malformed designs beyond numeric matrices.
fuzz_bad_design <- function(n) {
  fuzz_pick(list(NULL, "a", list(1, 2), letters[seq_len(max(n, 1L))],
                 factor(rep(c("a", "b"), length.out = n), levels = c("a", "b", "c")),
                 data.frame(a = rep("u", n)), array(0, c(n, 1L, 1L)),
                 matrix(1i, n, 1L), matrix(TRUE, n, 2L), matrix(NA, n, 1L),
                 function(x) x, quote(a), matrix("1", n, 1L)))
}

## A design for n observations: mostly numeric with a degenerate pattern,
## sometimes of a wrong shape or type.
fuzz_design <- function(n, p = fuzz_p()) {
  r <- stats::runif(1L)
  if (r < 0.75 || fuzz_wf()) return(fuzz_matrix(n, p))
  if (r < 0.85) return(fuzz_matrix(fuzz_n(), p))  # mismatched rows
  if (r < 0.9) return(as.data.frame(fuzz_matrix(n, max(p, 1L))))
  fuzz_bad_design(n)
}

fuzz_response <- function(n) {
  r <- stats::runif(1L)
  if (r < 0.8 || fuzz_wf()) return(fuzz_vector(n))
  if (r < 0.88) return(fuzz_vector(fuzz_n()))
  fuzz_pick(list(NULL, "a", as.character(seq_len(n)), factor(seq_len(n)),
                 matrix(stats::rnorm(2 * n), n, 2L), list(1), rep(NA, n), 1i,
                 matrix(stats::rnorm(n), n, 1L)))
}

## ---- per-function generators --------------------------------------------------
## Each returns the argument list of one call.

## Replaces each entry of `args` by a bad value with probability `rate`,
## using `pools` (argument name -> list of bad values); at least one entry is
## replaced when `force`.
fuzz_mutate <- function(args, pools, rate = 0.25, force = FALSE) {
  if (fuzz_wf()) return(args)
  nm <- names(pools)
  hit <- stats::runif(length(nm)) < rate
  if (force && !any(hit)) hit[sample.int(length(nm), 1L)] <- TRUE
  for (a in nm[hit]) {
    v <- fuzz_pick(pools[[a]])
    if (is.null(v)) args[a] <- list(NULL) else args[[a]] <- v
  }
  args
}

fuzz_count_pool <- c(fuzz_bad_scalars, list(1L, 2L, 3L))
## Size settings at and beyond the bounds that the R layer enforces (the
## scalars above add 2^31, .Machine$integer.max, 1e10, 1e300).
fuzz_size_pool <- c(fuzz_count_pool, list(1e5, 1e7, 2^30, 2^30 + 0.5))
fuzz_tol_pool <- c(fuzz_bad_scalars, list(1e-15, 1, 10))
## Subset counts of lts and mcd: malformed, and beyond the bound
## (.Machine$integer.max), which is refused.  Counts up to the bound are
## accepted and run for their number of draws (about 4e4 a second at the
## sizes generated here): 1e5 is the largest accepted count sent.
fuzz_nsamp_pool <- list(-1, NA, 1.5, "a", 1, 2, 1e5, .Machine$integer.max + 1,
                        2^31, 2^40, 1e10, -2^31, NULL, Inf, NaN)

## ---- argument lists from the functions' formals ------------------------------

## A function of the package by name ("lts.default" reaches a method).
fuzz_fun <- function(name) get(name, envir = asNamespace("kelvara"))

## The arguments of `fun` that have a constant default, with that default;
## a vector of choices gives one of them.  Arguments without a default or
## with a computed one are left to the generator.  `null`: also list those
## whose default is NULL (as NULL).
fuzz_defaults <- function(fun, null = FALSE) {
  f <- formals(fuzz_fun(fun))
  out <- list()
  for (a in setdiff(names(f), "...")) {
    if (identical(f[[a]], quote(expr = ))) next
    d <- f[[a]]
    if (is.null(d)) { if (null) out[a] <- list(NULL); next }
    if (!is.atomic(d) && !(is.call(d) && identical(d[[1L]], as.name("c")))) next
    v <- tryCatch(eval(d, baseenv()), error = function(e) NULL)
    if (is.null(v) || !length(v) || !is.atomic(v)) next
    out[[a]] <- if (is.character(v) && length(v) > 1L) fuzz_pick(as.list(v)) else v
  }
  out
}

## Malformed values for an argument, chosen by its name (psi, tuning
## constants) or else by the kind of its default: flags, choices,
## tolerances, fractions, counts.
fuzz_pool <- function(name, v) {
  if (name == "psi") return(fuzz_bad_psi)
  if (grepl("trace", name)) return(list(-1, NA, 1.5, "a", 1e10, 1L))
  if (startsWith(name, "tuning")) return(list(NA, -1, 0, c(3, 2, 1), "a", Inf, numeric(0)))
  if (is.null(v)) return(fuzz_bad_scalars)
  if (is.logical(v)) return(fuzz_bad_flags)
  if (is.character(v)) return(list("exact", NA, 1, c(v, "x"), character(0)))
  if (v > 0 && v < 1e-3) return(fuzz_tol_pool)
  if (v > 0 && v < 1) return(c(fuzz_bad_scalars, list(1, 1e-9, 0.999999, 0.5 + 1e-12)))
  fuzz_size_pool
}

## A call's arguments from the formals of `fun`: the defaults, `set` on top,
## then (outside well-formed cases) some replaced from their pools.  Work
## counts (names with "resample", "steps", "samp", "refine", or max_it) stay at most `cap`, so
## that a call is an input check and not a long computation.
fuzz_formals_args <- function(fun, set = list(), rate = 0.15, cap = 1000) {
  d <- fuzz_defaults(fun, null = TRUE)
  args <- utils::modifyList(Filter(Negate(is.null), d), set)
  pools <- Map(fuzz_pool, names(d), d)
  args <- fuzz_mutate(args, pools, rate = rate)
  for (a in grep("resample|steps|samp|^max_it$|refine", names(args), value = TRUE))
    if (is.numeric(args[[a]]) && length(args[[a]]) == 1L && !is.na(args[[a]]) &&
        args[[a]] > cap) args[[a]] <- cap
  args
}

## Well-formed settings of the S/MM fit, smaller than the defaults where
## those cost time on every call.
fuzz_lmrob_control_args <- function() {
  psi <- fuzz_pick(as.list(fuzz_psi_names))
  set <- list(psi = psi, nsamp = fuzz_pick(list(1L, 5L, 20L, 50L)), trace = 0L)
  if (psi != "bisquare" && psi != "biweight" || fuzz_chance(0.2))
    set$tuning_chi <- set$tuning_psi <- fuzz_cc(psi)
  fuzz_formals_args("lmrob_control", set, rate = if (fuzz_chance(0.5)) 0.15 else 0)
}

fuzz_control_value <- function() {
  r <- stats::runif(1L)
  if (r < 0.7 || fuzz_wf()) {
    a <- fuzz_lmrob_control_args()
    ctl <- tryCatch(do.call(lmrob_control, a), error = function(e) NULL)
    if (!is.null(ctl)) return(ctl)
    return(lmrob_control(nsamp = 20L))
  }
  if (r < 0.9) {
    ctl <- lmrob_control(nsamp = 20L)
    a <- fuzz_pick(names(ctl))
    ctl[a] <- list(fuzz_pick(fuzz_bad_scalars))
    return(ctl)
  }
  fuzz_pick(list(NULL, "a", list(), list(foo = 1), list(nsamp = -1), 1,
                 list(psi = "lqq"), list(psi_code = 99L)))
}

fuzz_gen <- list(
  lmrob_control = function() fuzz_lmrob_control_args(),

  lmrob_S = function() {
    n <- fuzz_n(); p <- fuzz_p()
    x <- fuzz_design(n, p)
    if (fuzz_chance(0.5) && is.matrix(x) && nrow(x) > 0L) x <- cbind(1, x)
    args <- list(x = x, y = fuzz_response(n), control = fuzz_control_value())
    if (fuzz_chance(0.02)) {  # the large-sample search
      n <- 2001L
      args$x <- cbind(1, fuzz_matrix(n, 1L))
      args$y <- fuzz_vector(n)
      args$control <- lmrob_control(nsamp = fuzz_pick(list(2L, 5L)),
                                    n_groups = fuzz_pick(list(1L, 2L, 5L, 6L)),
                                    group_size = fuzz_pick(list(1L, 2L, 50L, 400L)))
    }
    args
  },

  lmrob_MM = function() {
    n <- fuzz_n(); p <- fuzz_p()
    x <- fuzz_design(n, p)
    pp <- if (is.matrix(x)) ncol(x) else 1L
    beta <- if (fuzz_wf() || fuzz_chance(0.8)) stats::rnorm(pp) else
      fuzz_pick(list(NULL, NA, rep(NA, pp), rep(Inf, pp), stats::rnorm(pp + 1L),
                     numeric(0), "a", rep(1e300, pp)))
    list(x = x, y = fuzz_response(n), beta = beta,
         scale = if (fuzz_wf() || fuzz_chance(0.7)) stats::runif(1L, 0.5, 2) else
           fuzz_pick(fuzz_bad_scalars),
         control = fuzz_control_value())
  },

  mscale = function() {
    n <- fuzz_n()
    args <- list(r = fuzz_response(n), p = fuzz_pick(list(0L, 1L, 2L)),
                 control = fuzz_control_value())
    if (fuzz_chance(0.3)) args$scale0 <- fuzz_pick(c(list(1, 0.1), fuzz_bad_scalars))
    fuzz_mutate(args, list(p = fuzz_count_pool), rate = 0.2)
  },

  lmrob_M_S_control = function() {
    psi <- fuzz_pick(as.list(fuzz_psi_names))
    fuzz_formals_args("lmrob_M_S_control",
                      list(psi = psi, tuning_chi = fuzz_cc(psi),
                           nsamp = fuzz_pick(list(1L, 5L, 20L)), max_steps = 100L),
                      cap = 50)
  },

  lmrob_M_S = function() {
    n <- fuzz_n()
    k <- fuzz_pick(list(1L, 2L, 3L))
    f <- factor(sample(letters[seq_len(k)], max(n, 0L), TRUE), levels = letters[1:4])
    x1 <- if (fuzz_wf() || fuzz_chance(0.7)) {
      m <- stats::model.matrix(~f, data.frame(f = f)[seq_len(n), , drop = FALSE])
      if (fuzz_chance(0.3)) m <- m[, 1L, drop = FALSE]
      m
    } else fuzz_pick(list(NULL, fuzz_design(n, 1L), fuzz_bad_design(n), matrix(0, n, 0L)))
    x2 <- if (fuzz_wf())
      fuzz_matrix(n, fuzz_pick(list(1L, 2L)),
                  fuzz_pick(list("plain", "plain", "plain", "huge", "tiny", "ties", "integer")))
    else if (fuzz_chance(0.8)) fuzz_matrix(n, fuzz_pick(list(1L, 2L))) else
      fuzz_pick(list(NULL, fuzz_design(n), fuzz_bad_design(n)))
    ctl <- if (fuzz_wf() || fuzz_chance(0.8)) {
      a <- fuzz_gen$lmrob_M_S_control()
      if (is.numeric(a$nsamp) && length(a$nsamp) == 1L &&
          !is.na(a$nsamp) && a$nsamp > 50) a$nsamp <- 50L
      if (is.numeric(a$max_steps) && length(a$max_steps) == 1L &&
          !is.na(a$max_steps) && a$max_steps > 1000) a$max_steps <- 1000L
      a
    } else fuzz_pick(list(NULL, "a", list(foo = 1), list(nsamp = -1)))
    args <- list(x1 = x1, x2 = x2, y = fuzz_response(n), control = ctl)
    if (is.list(ctl) && identical(ctl$subsample, FALSE) || fuzz_chance(0.1))
      args$start <- fuzz_pick(list(
        NULL, "a", list(b1 = 0, b2 = 0, scale = 1),
        list(b1 = rep(0, NCOL(x1)), b2 = rep(0, NCOL(x2)), scale = 1),
        list(b1 = rep(NA, NCOL(x1)), b2 = rep(0, NCOL(x2)), scale = 1),
        list(b1 = rep(0, NCOL(x1)), b2 = rep(0, NCOL(x2)), scale = -1),
        list(b1 = rep(0, NCOL(x1)), b2 = rep(1e300, NCOL(x2)), scale = 1e-300)))
    args
  },

  l1_fit = function() {
    n <- fuzz_n()
    c(list(x = fuzz_design(n), y = fuzz_response(n)),
      fuzz_formals_args("l1_fit.default", list(intercept = fuzz_pick(list(TRUE, FALSE)))))
  },

  psi_func = function() fuzz_psi_args(-1:1),
  chi_func = function() fuzz_psi_args(0:2),
  wgt_func = function() fuzz_psi_args(NULL),

  qn = function() fuzz_univariate_args(),
  sn = function() fuzz_univariate_args(),
  medcouple = function() {
    args <- fuzz_univariate_args()
    args$finite.corr <- NULL
    a <- fuzz_formals_args("medcouple", list(trace = 0L))
    a[names(args)] <- args
    a
  },
  whimed = function() {
    n <- fuzz_n()
    w <- if (fuzz_chance(0.3)) sample(0:3, n, TRUE) else stats::runif(n)
    args <- list(x = fuzz_vector(n), w = w)
    fuzz_mutate(args, list(
      x = list(NULL, "a", numeric(0), c(1, NA), factor(1:2), 1i, stats::rnorm(n + 1L)),
      w = list(NULL, -w, rep(0, n), rep(NA, n), rep(Inf, n), w[-1L], rep(1e300, n),
               rep(1e-300, n), rep(.Machine$integer.max, n), "a", rep(NaN, n))),
      rate = 0.2)
  },

  mcd = function() {
    n <- fuzz_n(); p <- fuzz_pick(list(1L, 1L, 2L, 3L, 0L))
    x <- if (fuzz_wf() || fuzz_chance(0.85)) fuzz_matrix(n, p) else fuzz_bad_design(n)
    args <- fuzz_formals_args("mcd", list(x = x, alpha = fuzz_pick(list(0.5, 0.75, 1)),
                                          nsamp = fuzz_pick(list(10, 100, 500))),
                              cap = Inf)
    if (n <= 10 && fuzz_chance(0.2)) args$nsamp <- 0
    fuzz_mutate(args, list(nsamp = fuzz_nsamp_pool), rate = 0.15)
  },

  mcd_methods = function() {
    n <- fuzz_pick(list(10L, 20L)); p <- fuzz_pick(list(1L, 2L))
    list(fit_args = list(x = fuzz_matrix(n, p, fuzz_pick(list("plain", "const", "dup",
                                                                "ties"))),
                         nsamp = 20),
         method = fuzz_pick(list("print", "summary", "print_summary")),
         margs = fuzz_pick(list(list(), list(digits = 2), list(digits = -1),
                                list(digits = NA), list(digits = "a"))))
  },

  lts = function() {
    n <- fuzz_n()
    if (fuzz_chance(0.2)) {
      f <- factor(sample(c("a", "b"), n, TRUE), levels = c("a", "b", "c"))
      d <- data.frame(y = fuzz_vector(n), z = fuzz_vector(n), f = f)
      fo <- fuzz_pick(list(y ~ z, y ~ f, y ~ z + f, y ~ 1, y ~ 0 + z, y ~ z + I(2 * z),
                           y ~ w))
      args <- list(fo, data = d)
    } else {
      args <- list(x = fuzz_design(n, fuzz_pick(list(0L, 1L, 1L, 2L, 3L))),
                   y = fuzz_response(n))
    }
    args <- c(args, fuzz_formals_args("lts.default",
                                      list(alpha = fuzz_pick(list(0.5, 0.75, 1)),
                                           intercept = fuzz_pick(list(TRUE, FALSE)),
                                           nsamp = fuzz_pick(list(10, 100, 500))),
                                      rate = 0.1, cap = Inf))
    if (n <= 10 && fuzz_chance(0.2)) args$nsamp <- 0
    if (fuzz_chance(0.15))
      args$h <- fuzz_pick(list(1, n %/% 2L, n %/% 2L + 1L, n - 1L, n, n + 1L, NA, -1,
                               1.5, "a", c(3, 4)))
    if (fuzz_chance(0.05)) args$trace <- fuzz_pick(list(-1, NA, "a", 1e10))
    if (fuzz_chance(0.1)) args$seed <- fuzz_pick(list(1, NA, "a", 1e300, c(1, 2)))
    if (fuzz_chance(0.03)) args$bogus <- 1
    fuzz_mutate(args, list(nsamp = fuzz_nsamp_pool), rate = 0.1)
  },

  lts_methods = function() {
    n <- fuzz_pick(list(10L, 20L))
    formula <- fuzz_chance(0.4)
    fit_args <- if (formula) {
      list(y ~ z + f,
           data = data.frame(y = stats::rnorm(n), z = stats::rnorm(n),
                             f = factor(rep(c("a", "b"), length.out = n))))
    } else list(x = fuzz_matrix(n, fuzz_pick(list(1L, 2L)), "plain"), y = stats::rnorm(n))
    fit_args$nsamp <- 20
    which <- fuzz_pick(list("lts", "reweighted", "bogus", NA, 1, c("lts", "x")))
    nd <- fuzz_pick(list(
      NULL, fuzz_matrix(3L, 1L), fuzz_matrix(3L, 2L), fuzz_matrix(0L, 2L), "a",
      data.frame(z = 1:3, f = c("a", "b", "a")), data.frame(z = 1:3, f = c("a", "q", "a")),
      data.frame(z = c(NA, 1, 2), f = "a"), data.frame(q = 1), list(z = 1, f = "a"),
      matrix(NA_real_, 2L, 2L)))
    list(fit_args = fit_args,
         method = fuzz_pick(list("print", "coef", "residuals", "fitted", "predict",
                                 "summary", "print_summary")),
         margs = if (fuzz_chance(0.5)) list(which = which) else list(),
         newdata = nd)
  }
)

## The formula front end and its control list.
fuzz_config_args <- function() {
  psi <- fuzz_pick(as.list(fuzz_psi_names))
  set <- list(psi = psi, breakdown = fuzz_pick(list(0.5, 0.25)),
              efficiency = fuzz_pick(list(0.95, 0.85)), seed = fuzz_pick(list(NULL, 1)))
  if (fuzz_chance(0.15)) set$tuning_chi <- set$tuning_psi <- fuzz_cc(psi)
  args <- fuzz_formals_args("lmrob.config", Filter(Negate(is.null), set), rate = 0.08)
  # settings passed on to the S/MM constructor through `...`, and a stray one
  if (!fuzz_wf() && fuzz_chance(0.1)) {
    extra <- fuzz_defaults("lmrob_control")
    a <- fuzz_pick(as.list(c(setdiff(names(extra), c("psi", "trace")), "bogus")))
    args[[a]] <- fuzz_pick(fuzz_pool(a, extra[[a]]))
  }
  if (!fuzz_wf() && fuzz_chance(0.5)) args$nsamp <- fuzz_pick(list(10L, 50L))
  args
}

fuzz_lmrob_data <- function(n) {
  d <- data.frame(y = fuzz_vector(n), z = fuzz_vector(n),
                  u = if (fuzz_chance(0.5)) fuzz_vector(n) else rep(1, n),
                  f = factor(sample(c("a", "b", "c"), n, TRUE), levels = c("a", "b", "c", "d")),
                  g = sample(c(TRUE, FALSE), n, TRUE))
  if (!fuzz_wf() && fuzz_chance(0.2))
    d <- fuzz_pick(list(as.list(d), d[0L, ], "a", NULL, matrix(1, n, 3L)))
  d
}

fuzz_lmrob_formulas <- list(y ~ z, y ~ z + u, y ~ z + f, y ~ f, y ~ 1, y ~ 0 + z,
                            y ~ z + I(2 * z), y ~ z * f, y ~ g + z, log(y) ~ z,
                            y ~ w, cbind(y, z) ~ u, ~ z, y ~ offset(z) + u)

fuzz_lmrob_args <- function() {
  n <- fuzz_pick(list(0L, 2L, 5L, 10L, 20L, 30L, 30L))
  if (fuzz_wf()) n <- fuzz_pick(list(10L, 20L, 30L))
  args <- list(formula = fuzz_pick(fuzz_lmrob_formulas), data = fuzz_lmrob_data(n))
  if (fuzz_wf()) args$formula <- fuzz_pick(fuzz_lmrob_formulas[1:10])
  cfg <- tryCatch(do.call(lmrob.config, fuzz_config_args()), error = function(e) NULL)
  if (!is.null(cfg)) args$control <- cfg
  if (fuzz_wf()) return(args)
  if (fuzz_chance(0.2)) args$method <- fuzz_pick(list("S", "MM", "LTS", NA, 1))
  if (fuzz_chance(0.3))
    args$init <- fuzz_pick(list("S", "M-S", "x", list(coefficients = 1, scale = 1),
                                list(coefficients = c(0, 0), scale = -1), list()))
  if (fuzz_chance(0.1))
    args$weights <- fuzz_pick(list(rep(1, n), stats::runif(n), -stats::runif(n),
                                   rep(0, n), c(NA, rep(1, max(n - 1L, 0L))), "a"))
  if (fuzz_chance(0.05)) args$psi <- fuzz_pick(c(as.list(fuzz_psi_names), fuzz_bad_psi))
  if (fuzz_chance(0.05)) args$nsamp <- fuzz_pick(fuzz_count_pool)
  args
}

fuzz_gen$lmrob.config <- function() fuzz_config_args()
fuzz_gen$psi_tuning <- function() {
  psi <- fuzz_pick(as.list(fuzz_psi_names))
  args <- if (fuzz_chance(0.5))
    list(psi = psi, efficiency = fuzz_pick(list(0.95, 0.85, 0.5)), breakdown = NULL)
  else list(psi = psi, efficiency = NULL, breakdown = fuzz_pick(list(0.5, 0.25, 0.1)))
  if (fuzz_chance(0.2))
    args$shape <- fuzz_pick(list(NULL, c(1, 2, 3), c(-0.5, 1.5), c(3, 2, 1), c(0, 1), NA,
                                 "a", c(-1e300, 1e300), c(1e-300, 1e-300, 1)))
  fuzz_formals_args("psi_tuning", Filter(Negate(is.null), args), rate = 0.1)
}
fuzz_gen$lmrob <- function() fuzz_lmrob_args()
fuzz_gen$lmrob_methods <- function() {
  fuzz_state$well_formed <- TRUE
  fit_args <- fuzz_lmrob_args()
  fuzz_state$well_formed <- FALSE
  n <- 3L
  nd <- fuzz_pick(list(NULL, data.frame(z = 1:3, u = 1, f = "a", g = TRUE),
                       data.frame(z = 1:3, u = 1, f = "q", g = TRUE), data.frame(q = 1),
                       "a", matrix(1, 2, 2), data.frame(z = c(NA, 1, 2), u = 1, f = "a",
                                                        g = FALSE)))
  list(fit_args = fit_args,
       method = fuzz_pick(list("print", "summary", "print_summary", "vcov", "weights",
                               "nobs", "model.matrix", "df.residual", "confint", "predict",
                               "plot", "coef", "residuals", "fitted")),
       margs = fuzz_pick(list(list(), list(digits = 2), list(digits = -1),
                              list(type = fuzz_pick(list("prior", "x", NA))),
                              list(level = fuzz_pick(list(0.9, 2, NA, "a"))),
                              list(parm = fuzz_pick(list(1, 99, "z", "nope", NA))),
                              list(interval = fuzz_pick(list("confidence", "prediction",
                                                             "x", NA))),
                              list(se.fit = fuzz_pick(list(TRUE, NA, "a"))),
                              list(which = fuzz_pick(list(1, 1:4, 5, "a", NA))),
                              list(complete = fuzz_pick(list(TRUE, FALSE, NA))))),
       newdata = nd)
}
fuzz_gen$plot_methods <- function() {
  n <- fuzz_pick(list(10L, 20L))
  list(what = fuzz_pick(list("mcd", "lts")), x = fuzz_matrix(n, fuzz_pick(list(1L, 2L)),
                                                           fuzz_pick(list("plain", "plain",
                                                                          "plain", "ties",
                                                                          "const", "dup"))),
       y = stats::rnorm(n),
       margs = fuzz_pick(list(list(), list(which = "dd"), list(which = "index"),
                              list(which = "qq"), list(which = "x"), list(which = NA),
                              list(which = c("dd", "index")), list(data = "a"),
                              list(data = matrix(1, 2, 2)), list(id.n = -1),
                              list(id.n = NA), list(id.n = 1e10))))
}

fuzz_psi_args <- function(derivs) {
  psi <- fuzz_pick(as.list(fuzz_psi_names))
  n <- fuzz_n()
  args <- list(x = fuzz_vector(n), psi = psi, cc = fuzz_cc(psi))
  if (!is.null(derivs)) args$deriv <- fuzz_pick(as.list(derivs))
  pools <- list(psi = fuzz_bad_psi,
                x = list(NULL, "a", c(-Inf, -1e300, -0, 0, 1e-300, 1e300, Inf, NA, NaN),
                         matrix(stats::rnorm(4), 2L), 1:3, factor(1:2), 1i, TRUE,
                         list(1), structure(1:2, class = "foo")),
                cc = list(NULL))
  if (!is.null(derivs)) pools$deriv <- list(-2, 3, NA, 0.5, "a", c(0, 1), NULL, 1e300)
  a <- fuzz_mutate(args, pools, rate = 0.15)
  if (!fuzz_wf() && fuzz_chance(0.03)) a$cc <- NULL   # cc missing
  a
}

fuzz_univariate_args <- function() {
  n <- fuzz_n()
  x <- if (!fuzz_wf() && fuzz_chance(0.15)) fuzz_pick(list(NULL, "a", factor(1:3), 1i, list(1, 2),
                                             matrix(1:4, 2), as.Date("2020-01-01") + 0:2,
                                             c(a = 1, b = 2), c(NA, NA), c(1, 1, 1, NA),
                                             rep(1e300, 5), c(-1e300, 1e300, 0)))
       else fuzz_vector(n)
  args <- list(x = x, finite.corr = TRUE, na.rm = fuzz_pick(list(FALSE, TRUE)))
  fuzz_mutate(args, list(finite.corr = fuzz_bad_flags, na.rm = fuzz_bad_flags),
              rate = 0.1)
}

## Calls that need a fitted object first; plots go to a null device.
fuzz_wrappers <- list(
  lmrob_methods = function(fit_args, method, margs, newdata) {
    fit <- do.call(kelvara::lmrob, fit_args)
    if (method == "predict" && !is.null(newdata)) margs$newdata <- newdata
    if (method != "vcov") margs$complete <- NULL  # coef.default's own argument
    if (method == "plot") {
      margs$type <- NULL  # a graphical parameter there
      grDevices::pdf(NULL)
      on.exit(grDevices::dev.off())
    }
    switch(method,
           print_summary = do.call(print, c(list(summary(fit)), margs)),
           do.call(method, c(list(fit), margs)))
  },
  plot_methods = function(what, x, y, margs) {
    fit <- if (what == "mcd") kelvara::mcd(x, nsamp = 20) else kelvara::lts(x, y, nsamp = 20)
    grDevices::pdf(NULL)
    on.exit(grDevices::dev.off())
    if (what == "mcd" && is.null(margs$data)) margs$data <- x
    if (what == "lts") margs$data <- NULL  # only the MCD plot takes data
    do.call(plot, c(list(fit), margs))
  },
  mcd_methods = function(fit_args, method, margs) {
    fit <- do.call(kelvara::mcd, fit_args)
    switch(method,
           print = do.call(print, c(list(fit), margs)),
           summary = do.call(summary, c(list(fit), margs)),
           print_summary = do.call(print, c(list(summary(fit)), margs)))
  },
  lts_methods = function(fit_args, method, margs, newdata) {
    fit <- do.call(kelvara::lts, fit_args)
    if (method == "predict") margs$newdata <- newdata
    if (method == "print_summary") return(print(summary(fit), digits = 3))
    do.call(method, c(list(fit), margs))
  })

fuzz_functions <- function() names(fuzz_gen)

## `n` calls of each function, reproducible from `seed`.
fuzz_cases <- function(n, seed = 1L, funs = fuzz_functions()) {
  old <- if (exists(".Random.seed", globalenv())) get(".Random.seed", globalenv())
  on.exit(if (!is.null(old)) assign(".Random.seed", old, globalenv()))
  set.seed(seed)
  cases <- list()
  for (f in funs) {
    for (i in seq_len(n)) {
      fuzz_state$well_formed <- fuzz_chance(0.4)
      cases[[length(cases) + 1L]] <- list(fun = f, args = fuzz_gen[[f]](),
                                          seed = sample.int(1e6, 1L))
    }
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

## ---- skewness-adjusted boxplot, regression diagnostics, tidy output -------------

fuzz_gen$adjusted_fences <- function() {
  x <- if (!fuzz_wf() && fuzz_chance(0.2))
    fuzz_pick(list(NULL, "a", factor(1:3), 1i, list(1, 2), matrix(1:4, 2), c(NA, NA),
                   as.Date("2020-01-01") + 0:2, rep(1e300, 5), c(-1e300, 1e300, 0)))
  else fuzz_vector(fuzz_n())
  c(list(x = x), fuzz_formals_args("adjusted_fences",
                                   list(range = fuzz_pick(list(1.5, 0, 3)),
                                        na.rm = fuzz_pick(list(TRUE, FALSE))), rate = 0.2))
}

fuzz_gen$adjusted_boxplot <- function() {
  n <- fuzz_n()
  x <- if (fuzz_wf()) fuzz_pick(list(fuzz_vector(n), fuzz_matrix(n, 2L),
                                     list(a = fuzz_vector(n), b = fuzz_vector(fuzz_n()))))
       else fuzz_pick(list(fuzz_vector(n), list(a = fuzz_vector(n), b = fuzz_vector(fuzz_n())),
                           fuzz_matrix(n, 2L), data.frame(a = fuzz_vector(n)), NULL, "a",
                           list(), list(a = "x"), factor(1:3)))
  args <- list(x = x, range = 1.5, plot = fuzz_pick(list(FALSE, TRUE)))
  fuzz_mutate(args, list(range = fuzz_bad_scalars, plot = fuzz_bad_flags,
                         names = list(NULL, "a", c("a", "b"), 1:5, NA),
                         horizontal = fuzz_bad_flags, notch = fuzz_bad_flags,
                         at = list(NA, 1:3, "a", c(1, Inf))), rate = 0.15)
}

## outliers(), robust_distances(), hatvalues(), rstandard() and the tidy
## methods (when generics is installed) on fits of degenerate data.
fuzz_gen$diagnostics <- function() {
  n <- fuzz_pick(list(5L, 10L, 20L, 30L))
  list(x = fuzz_matrix(n, fuzz_pick(list(1L, 2L, 3L))), y = fuzz_vector(n),
       what = fuzz_pick(list("lmrob", "lts", "mcd")),
       method = fuzz_pick(list("outliers", "robust_distances", "hatvalues", "rstandard",
                               "print", "tidy", "glance", "augment")))
}

fuzz_wrappers$adjusted_boxplot <- function(...) {
  grDevices::pdf(NULL)
  on.exit(grDevices::dev.off())
  kelvara::adjusted_boxplot(...)
}

fuzz_wrappers$diagnostics <- function(x, y, what, method) {
  fit <- switch(what,
                lmrob = kelvara::lmrob(y ~ ., data = data.frame(y = y, x), seed = 1),
                lts = kelvara::lts(x, y, nsamp = 20, seed = 1),
                mcd = kelvara::mcd(x, nsamp = 20, seed = 1))
  if (what != "lmrob" && method %in% c("hatvalues", "rstandard")) method <- "outliers"
  if (method %in% c("tidy", "glance", "augment")) {
    if (!requireNamespace("generics", quietly = TRUE)) method <- "outliers"
    else return(getExportedValue("generics", method)(fit))
  }
  switch(method, print = print(kelvara::outliers(fit)),
         hatvalues = stats::hatvalues(fit), rstandard = stats::rstandard(fit),
         do.call(getExportedValue("kelvara", method), list(fit)))
}
