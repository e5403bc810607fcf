## The model frame of a fit is model.frame()'s, whether or not rows are
## missing (a complete frame is not copied row by row).

test_that("lmrob's model frame is identical to model.frame() with na.omit", {
  set.seed(3)
  n <- 60
  df <- data.frame(y = rnorm(n), a = rnorm(n), w = runif(n), off = rnorm(n),
                   f = factor(sample(letters[1:3], n, TRUE), levels = letters[1:4]),
                   o = factor(sample(1:3, n, TRUE), ordered = TRUE),
                   ch = sample(c("u", "v"), n, TRUE), lg = sample(c(TRUE, FALSE), n, TRUE))
  df$m <- matrix(rnorm(2 * n), n)
  dfr <- df
  rownames(dfr) <- paste0("r", seq_len(n))
  dfna <- df
  dfna$a[3] <- NA
  dfna$f[7] <- NA
  tsv <- ts(df$a)  # (copying the rows drops its class)
  fo <- y ~ a + f + o + ch + lg + m
  calls <- list(
    quote(lmrob(formula = fo, data = df)), quote(lmrob(formula = fo, data = dfr)),
    quote(lmrob(formula = fo, data = dfna)), quote(lmrob(formula = fo, data = df, subset = a > 0)),
    quote(lmrob(formula = fo, data = df, subset = 1:30)),
    quote(lmrob(formula = fo, data = dfr, subset = f != "b", na.action = na.omit)),
    quote(lmrob(formula = y ~ a + offset(off) + poly(a, 2), data = df, weights = w)),
    quote(lmrob(formula = fo, data = df, weights = w, offset = off)),
    quote(lmrob(formula = y ~ tsv, data = df)), quote(lmrob(formula = df$y ~ df$a)),
    as.call(list(quote(lmrob), formula = fo, data = df)),
    quote(lmrob(formula = fo, data = dfna, na.action = NULL)))
  for (cl in calls) {
    ref <- cl
    ref[[1L]] <- quote(stats::model.frame)
    ref$drop.unused.levels <- TRUE
    expect_identical(kelvara:::.model_frame(cl, environment())$mf, eval(ref), label = deparse(cl))
  }
  expect_identical(attr(kelvara:::.model_frame(calls[[3]], environment())$mf, "na.action"),
                   structure(c(`3` = 3L, `7` = 7L), class = "omit"))
  attr(dfna, "na.action") <- "na.fail"
  expect_error(kelvara:::.model_frame(calls[[3]], environment()), "missing values")
})
