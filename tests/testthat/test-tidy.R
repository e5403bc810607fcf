## tidy(), glance() and augment() through the generics package, against
## summary(), confint() and least squares on the kept cases.

test_that("lmrob: tidy columns are summary() and confint(); augment follows the fit", {
  skip_if_not_installed("generics")
  d <- stackloss
  d$Air2 <- 2 * d$Air.Flow            # aliased: dropped like summary() drops it
  d$stack.loss[7] <- NA
  fit <- suppressWarnings(lmrob(stack.loss ~ ., data = d, seed = 1, na.action = stats::na.exclude))
  td <- generics::tidy(fit, conf.int = TRUE, conf.level = 0.9)
  cf <- summary(fit)$coefficients
  expect_identical(td$term, rownames(cf))
  expect_equal(as.matrix(td[, c("estimate", "std.error", "statistic", "p.value")]),
               unname(cf), ignore_attr = TRUE)
  expect_equal(cbind(td$conf.low, td$conf.high), unname(confint(fit, level = 0.9)[rownames(cf), ]))
  expect_false("conf.low" %in% names(generics::tidy(fit)))
  g <- generics::glance(fit)
  expect_equal(c(g$sigma, g$r.squared, g$nobs, g$df.residual), c(fit$scale, fit$r.squared, 20, 16))
  # augment: the data of the call (with the excluded row padded) or the
  # model frame; .outlier marks vertical outliers and bad leverage points.
  a <- generics::augment(fit, data = d)
  expect_true(nrow(a) == 21L && is.na(a$.resid[7]))
  expect_equal(a$.fitted, unname(stats::fitted(fit)[rownames(d)]))
  expect_equal(a$.weight, unname(weights(fit)))  # padded under na.exclude
  expect_equal(a$.hat[-7], unname(hatvalues(fit))[-7])
  o <- outliers(fit)
  expect_setequal(rownames(a)[a$.outlier %in% TRUE], o$row[o$kind != "good leverage point"])
  m <- generics::augment(fit)
  expect_identical(nrow(m), 20L)
  expect_equal(m$.std.resid, unname(rstandard(fit)[-7]))
  expect_equal(generics::augment(fit, newdata = d[1:3, ])$.resid,
               d$stack.loss[1:3] - unname(predict(fit, d[1:3, ])))
  expect_error(generics::augment(fit, data = d[1:5, ]), "rows")
})

test_that("lts: the reweighted table is least squares on the kept cases, with its inference", {
  skip_if_not_installed("generics")
  l <- lts(stack.loss ~ ., data = stackloss, seed = 1)
  kept <- l$weights == 1
  ls <- stats::lm(stack.loss ~ ., data = stackloss, subset = kept)
  td <- generics::tidy(l, conf.int = TRUE)
  expect_equal(td$estimate, unname(coef(ls)))
  cf <- summary(l)$coefficients
  expect_equal(td$std.error, unname(cf[, "Std. Error"]))
  expect_equal(td$p.value, unname(cf[, "Pr(>|t|)"]))
  expect_equal(cbind(td$conf.low, td$conf.high), unname(confint(l)))
  raw <- generics::tidy(l, which = "lts")
  expect_equal(raw$estimate, unname(coef(l)))
  expect_true(all(is.na(raw$std.error)))
  a <- generics::augment(l, data = stackloss)
  expect_equal(a$.outlier, unname(l$outlier))
  expect_equal(a$.resid, unname(residuals(l, "reweighted")))
  expect_equal(generics::glance(l)$n.outliers, sum(!kept))
})

test_that("l1_fit and mcd: estimates, fit summaries and per-case columns", {
  skip_if_not_installed("generics")
  f <- l1_fit(stackloss[, 1:3], stackloss$stack.loss)
  td <- generics::tidy(f, conf.int = TRUE)
  expect_equal(td$estimate, unname(coef(f)))
  s <- tryCatch(summary(f)$coefficients, error = function(e) NULL)
  if (is.matrix(s)) expect_equal(td$std.error, unname(s[, 2]))
  else expect_true(all(is.na(td$std.error)))
  expect_equal(generics::glance(f)$sum.abs.resid, sum(abs(residuals(f))))
  a <- generics::augment(f, data = stackloss)
  expect_equal(a$.fitted + a$.resid, stackloss$stack.loss)
  m <- mcd(stackloss[, 1:3], seed = 1)
  tm <- generics::tidy(m)
  expect_identical(tm$term, colnames(stackloss)[1:3])
  expect_equal(tm$estimate, unname(m$center))
  expect_equal(tm$std.dev^2, unname(diag(m$cov)))
  am <- generics::augment(m, data = stackloss)
  expect_equal(am$.distance, unname(sqrt(m$mah)))
  expect_identical(list(rownames(am)[am$.outlier], generics::glance(m)$n.outliers),
                   list(outliers(m)$row, nrow(outliers(m))))
})
