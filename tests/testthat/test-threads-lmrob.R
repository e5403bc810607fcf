## The S and M-S candidate searches run on several threads; every result,
## the random stream after the fit and the trace must not depend on how many.

## The fit, the printed output and .Random.seed after it, under k threads.
fit_with_threads <- function(k, seed, expr) {
  old <- options(kelvara.threads = k)
  on.exit(options(old))
  set.seed(seed)
  out <- capture.output(value <- eval.parent(substitute(expr)))
  list(value = value, out = out, seed = .Random.seed)
}

test_that("lmrob's S and M-S starts give identical fits and draws for 1, 2 and 16 threads", {
  set.seed(1)
  small <- data.frame(x1 = rnorm(300), x2 = rnorm(300))
  small$y <- 1 + small$x1 - small$x2 + rnorm(300) + 15 * (1:300 <= 30)
  large <- data.frame(x = rnorm(2100))  # above 2000: the grouped search
  large$y <- 2 * large$x + rnorm(2100) - 20 * (1:2100 <= 200)
  # above 8 chunks of rows: final S refinements and MM steps split by rows
  big <- data.frame(x = rnorm(40000), z = rnorm(40000))
  big$y <- 2 * big$x - big$z + rnorm(40000) - 20 * (1:40000 <= 4000)
  small$g <- factor(rep(letters[1:3], 100))
  fits <- list(
    small = function() lmrob(y ~ x1 + x2, small),
    large = function() lmrob(y ~ x, large, nsamp = 100L),
    big = function() lmrob(y ~ x + z, big, nsamp = 50L),
    ms = function() lmrob(y ~ ., small, init = "M-S"))
  for (nm in names(fits)) {
    runs <- lapply(c(1L, 2L, 16L), function(k) fit_with_threads(k, 7, {
      f <- fits[[nm]]()
      list(coef(f), f$scale, residuals(f), f$init)
    }))
    expect_identical(runs[2:3], runs[c(1, 1)], info = nm)
  }
  ## The threads argument sets the option for the fit only.
  old <- options(kelvara.threads = 1L)
  on.exit(options(old))
  set.seed(7); f2 <- lmrob(y ~ x1 + x2, small, control = lmrob.config(threads = 2))
  expect_identical(getOption("kelvara.threads"), 1L)
  set.seed(7); expect_identical(coef(f2), coef(lmrob(y ~ x1 + x2, small)))
  expect_error(lmrob.config(threads = 0), "'threads' must be")
})

s_entry <- function(x, y, trace, n_best = 2L, nonsingular = 1L, max_singular = 200L) {
  .C("R_lmrob_S", x = as.double(x), y = as.double(y), n = nrow(x), p = ncol(x),
     n_resample = 40L, scale = 0, beta = double(ncol(x)), k = 1.54764, ipsi = 1L,
     b = 0.5, n_best = n_best, n_groups = 3L, group_size = 200L, refine_steps = 2L,
     max_refine = 200L, max_it_scale = 200L, refine_tol = 1e-7, tol = 1e-7,
     converged = FALSE, trace_level = as.integer(trace), max_singular = max_singular,
     nonsingular = nonsingular, PACKAGE = "kelvara")
}

test_that("R_lmrob_S traces and draws identically for 1, 2 and 16 threads", {
  set.seed(2)
  for (n in c(150L, 2500L, 40000L)) {
    x <- cbind(1, rnorm(n), rnorm(n))
    y <- drop(x %*% c(1, 2, -1)) + rnorm(n)
    y[1:(n %/% 10)] <- 30
    runs <- lapply(c(1L, 2L, 16L), function(k) fit_with_threads(k, 3, s_entry(x, y, 2L, 3L)))
    expect_true(length(runs[[1]]$out) > 3)
    expect_identical(runs[2:3], runs[c(1, 1)])
  }
})

test_that("the S search stops drawing at the candidate that fits more than half the data", {
  ## 70 of 100 cases lie exactly on a plane: the first draw from them ends the
  ## search.  Each draw of a subsample takes n uniforms (a random order of the
  ## cases), so the random stream must have advanced by n times the number of
  ## candidates the trace reports, however many threads evaluate them.
  set.seed(4)
  x <- cbind(1, rnorm(100), rnorm(100))
  y <- drop(x %*% c(1, 2, 3)) + c(rnorm(30, 0, 5), numeric(70))
  for (k in c(1L, 2L)) {
    r <- fit_with_threads(k, 5, s_entry(x, y, 2L))
    drawn <- sum(grepl("^sample\\[", r$out))
    expect_true(any(grepl("too many exact zeroes", r$out)))
    expect_lt(drawn, 40L)
    expect_equal(r$value$scale, 0)
    expect_equal(r$value$beta, c(1, 2, 3), tolerance = 1e-8)
    set.seed(5); runif(100 * drawn)
    expect_identical(r$seed, .Random.seed)
  }
})

test_that("an S search that draws ahead of its refinements ends where the traced one does", {
  ## Without a trace the next batch is drawn (and the one before merged)
  ## while the threads refine; the traced search draws, refines and merges
  ## batch by batch.  Fits, status and random stream must agree when an exact
  ## fit in a later batch ends the search (candidate 26 of 40 here), when a
  ## draw in a later batch fails (after 31 candidates; in the second of three
  ## groups of the large-sample search), and otherwise.
  set.seed(1)
  x <- cbind(1, matrix(rnorm(400), 100))
  y <- drop(x %*% (1:5)) + c(rnorm(45, 0, 5), numeric(55))
  xs <- cbind(1, (1:300) <= 8)  # most pairs of rows are singular
  ys <- rnorm(300)
  xl <- cbind(1, (1:2500) <= 60)
  cases <- list(exact = list(3, x, y, 1L, 200L), failed = list(6, xs, ys, 0L, 40L),
                plain = list(6, x[, 1:3], y + rnorm(100), 1L, 200L),
                groups = list(2, xl, rnorm(2500), 0L, 80L))
  for (nm in names(cases)) {
    a <- cases[[nm]]
    run <- function(k, tr) fit_with_threads(k, a[[1]], suppressWarnings(
      s_entry(a[[2]], a[[3]], tr, nonsingular = a[[4]], max_singular = a[[5]])))
    runs <- lapply(c(1L, 2L, 16L), function(k) run(k, 0L)[c("value", "seed")])
    traced <- run(1L, 2L)
    traced$value$trace_level <- 0L
    expect_identical(runs, rep(list(traced[c("value", "seed")]), 3), info = nm)
    expect_identical(sign(runs[[1]]$value$scale),
                     c(exact = 0, failed = -1, plain = 1, groups = -1)[[nm]], info = nm)
  }
})

test_that("final S refinements side by side give what one at a time gives", {
  ## From 32768 rows the best candidates are refined up to four at a time,
  ## their passes in shared parallel regions, each stopping after its own
  ## number of steps; a trace of the steps refines them one at a time.
  set.seed(9)
  n <- 40000L
  x <- cbind(1, rnorm(n), rnorm(n))
  y <- drop(x %*% c(1, 2, -1)) + rnorm(n) + 25 * (1:n <= 5000)
  for (nb in c(3L, 6L)) {
    one <- fit_with_threads(1L, 4, s_entry(x, y, 3L, nb))
    one$value$trace_level <- 0L
    for (k in c(1L, 2L))
      expect_identical(fit_with_threads(k, 4, s_entry(x, y, 0L, nb))[c("value", "seed")],
                       one[c("value", "seed")], info = paste(nb, k))
  }
})

test_that("the MM loss is the mean chi of the residuals, added in index order", {
  ## The last pass over the rows makes the chi terms beside the residuals;
  ## added one by one in index order they give the loss to the bit (odd n,
  ## more than two chunks of rows).
  set.seed(11)
  n <- 9001L
  X <- cbind(1, rnorm(n))
  y <- drop(X %*% c(1, 2)) + rnorm(n) + 20 * (1:n <= 900)
  for (fam in list(list("bisquare", 1L, 4.685), list("hampel", 4L, c(1.35, 3.15, 7.2)))) {
    for (k in 1:2) {
      z <- fit_with_threads(k, 1, .C("kv_lmrob_MM", X, y, n, 2L, c(1.1, 1.9), 1.2,
        coefficients = double(2), residuals = double(n), max_it = 50L, fam[[3]], fam[[2]],
        loss = 0, 1e-7, converged = FALSE, 0L, 0L, 0L, PACKAGE = "kelvara"))$value
      chi <- chi_func(z$residuals / 1.2, fam[[1]], fam[[3]])
      s <- 0
      for (v in chi) s <- s + v
      expect_true(z$converged && z$max_it > 2L)
      expect_identical(z$loss, s / n)
    }
  }
})

test_that("an M-S search ended by a collapsed scale takes back the draws made ahead of it", {
  # Most cases lie exactly on a plane; the candidate through two of them ends
  # the search.  The random stream must then stand where a search of only
  # that many candidates leaves it, although the batch drew further.
  set.seed(8)
  x1 <- model.matrix(~ factor(sample(letters[1:5], 60, TRUE)))
  x2 <- cbind(rnorm(60), runif(60, -1, 1), rnorm(60))
  y <- drop(x1 %*% c(1, 2, -1, 0.5, 3) + x2 %*% c(2, -1, 0.5)) + 100 * (1:60 <= 13)
  ms <- function(nsamp) {
    set.seed(8)
    out <- capture.output(type = "message", capture.output(try(silent = TRUE,
      .C("R_lmrob_M_S", x1, x2, y, double(60), 60L, 5L, 3L, as.integer(nsamp), 0,
         double(5), double(3), 1.54764, 1L, 0.5, 20L, 1000L, 1e-7, 1e-7, FALSE, 2L,
         FALSE, TRUE, TRUE, 200L, 1L, PACKAGE = "kelvara"))) -> steps)
    list(seed = .Random.seed, steps = steps)
  }
  full <- ms(20)
  last <- max(as.integer(sub("^Step ([0-9]+):.*", "\\1", grep("^Step", full$steps, value = TRUE))))
  expect_lt(last + 1L, 16L)  # the search ended inside its first batch
  expect_identical(full$seed, ms(last + 1L)$seed)
})
