# lm's conventions for lts and lmrob fits, checked against lm on the same
# data.  With alpha = 1 (h = n) the LTS fit is least squares, so every
# result of lts must then equal lm's.

conv_data <- function(n = 40) {
  set.seed(2)
  d <- data.frame(x1 = rnorm(n), g = factor(sample(c("a", "b", "c"), n, TRUE)),
                  o = runif(n), w = runif(n, 0.5, 2))
  d$y <- 1 + d$x1 + as.integer(d$g) + d$o + rnorm(n)
  d$y[4] <- NA
  d$y[30:33] <- d$y[30:33] + 20
  rownames(d) <- paste0("r", seq_len(n))
  d
}

test_that("outlier lists name rows, with na.exclude, subset and row names", {
  d <- conv_data()
  f <- lts(y ~ x1 + g, data = d, na.action = na.exclude, seed = 1)
  expect_identical(names(which(f$outlier)), paste0("r", 30:33))
  expect_output(print(summary(f)), "r30 r31 r32 r33")
  s <- lts(y ~ x1 + g, data = d, subset = -(1:5), seed = 1)
  expect_identical(names(which(s$outlier)), paste0("r", 30:33))
  expect_identical(names(which(lts(as.matrix(d["x1"])[-4, , drop = FALSE], d$y[-4],
                                   seed = 1)$outlier)), paste0("r", 30:33))
  set.seed(3)
  X <- matrix(rnorm(600), 200, dimnames = list(101:300, NULL))
  X[1:3, ] <- X[1:3, ] + 10
  out <- capture.output(print(summary(mcd(X, seed = 1))))
  expect_match(out[grep("weight 0", out) + 1L], "^ +101 102 103( |$)")
})

test_that("lts equals lm with alpha = 1: offset, factors, contrasts, na.exclude", {
  d <- conv_data()
  same <- function(f, m, nd = d[c(1:8, 4), ]) {
    expect_equal(coef(f), coef(m))
    expect_equal(fitted(f), fitted(m))
    for (ty in c("working", "pearson", "response")) expect_equal(residuals(f, type = ty),
                                                                 residuals(m, type = ty))
    expect_equal(predict(f, nd), predict(m, nd))
    expect_equal(predict(f, type = "terms"), predict(m, type = "terms"))
    expect_equal(predict(f, nd, type = "terms", terms = "x1"),
                 predict(m, nd, type = "terms", terms = "x1"))
    expect_equal(model.frame(f), model.frame(m))
    expect_equal(model.matrix(f), model.matrix(m))
  }
  fm <- y ~ x1 + g + offset(o)
  same(lts(fm, data = d, na.action = na.exclude, alpha = 1),
       lm(fm, data = d, na.action = na.exclude))
  ## the offset argument, nothing kept with the fit: rebuilt from the call
  f <- lts(formula = y ~ x1 + g, data = d, offset = o, alpha = 1, model = FALSE, x = FALSE)
  expect_null(f$model)
  same(f, lm(y ~ x1 + g, data = d, offset = o))
  ## a character formula; x = TRUE named before the formula; contrasts kept
  ## with the fit whatever options() say at prediction time
  f <- lts(x = TRUE, "y ~ x1 + g", data = d, y = TRUE, alpha = 1,
           contrasts = list(g = "contr.sum"))
  m <- lm(y ~ x1 + g, data = d, contrasts = list(g = "contr.sum"))
  expect_equal(f$x, model.matrix(m))
  expect_equal(f$y, m$model$y, ignore_attr = TRUE)
  op <- options(contrasts = c("contr.helmert", "contr.poly"))
  on.exit(options(op))
  same(f, m)
  expect_equal(sigma(f), f$scale)
  expect_equal(sigma(f, "reweighted"), f$reweighted$scale)
  expect_error(predict(lts(d$x1[-4], d$y[-4]), type = "terms"), "formula")
})

test_that("lmrob keeps lm's conventions: weights, residual types, terms, frame", {
  d <- conv_data()
  fm <- y ~ x1 + g + offset(o)
  r <- lmrob(fm, data = d, weights = w, na.action = na.exclude, seed = 1)
  m <- lm(fm, data = d, weights = w, na.action = na.exclude)
  expect_equal(weights(r, "prior"), weights(m))
  expect_true(is.na(weights(r)[4]) && length(weights(r)) == nrow(d))
  expect_equal(residuals(r, type = "pearson"), residuals(r) * sqrt(weights(m)))
  expect_equal(residuals(r, type = "working"), d$y - predict(r, d), ignore_attr = TRUE)
  expect_equal(model.frame(r), model.frame(m))
  expect_equal(model.matrix(r), model.matrix(m))
  expect_identical(sigma(r), r$scale)
  m$coefficients <- coef(r)  # lm's terms for the robust coefficients
  expect_equal(predict(r, type = "terms"), predict(m, type = "terms"))
  expect_equal(predict(r, d[1:6, ], type = "terms"), predict(m, d[1:6, ], type = "terms"))
  ## offset and contrasts arguments; nothing kept, the same fit and predictions
  r2 <- lmrob(y ~ x1 + g, data = d, weights = w, offset = o, seed = 1, model = FALSE,
              x = FALSE, y = FALSE, contrasts = list(g = "contr.sum"))
  expect_null(r2$model)
  expect_null(r2[["x"]])
  expect_equal(fitted(r2), fitted(r)[-4])
  expect_equal(predict(r2, d), predict(r, d))
  expect_equal(model.matrix(r2),
               model.matrix(lm(y ~ x1 + g, data = d, contrasts = list(g = "contr.sum"))))
})
