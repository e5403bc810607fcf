## Robust tests of nested models: the least-squares limit against anova.lm,
## the loss behind the deviance test, the checks on the models compared,
## equivariance, and the size of both tests (full runs: bench/anova.R).

anova_data <- function(n = 60, seed = 3) {
  set.seed(seed)
  d <- data.frame(x1 = rnorm(n), x2 = rnorm(n), x3 = rnorm(n))
  d$y <- 1 + d$x1 + 0.4 * d$x2 + rnorm(n)
  d
}

test_that("with psi close to the identity the tests become lm's F test", {
  d <- anova_data()
  ctl <- lmrob.config(tuning_psi = 1e5)
  g1 <- lmrob(y ~ x1 + x2 + x3, d, control = ctl); g0 <- lmrob(y ~ x1, d, control = ctl)
  l1 <- lm(y ~ x1 + x2 + x3, d); ref <- anova(lm(y ~ x1, d), l1); w <- anova(g0, g1)
  expect_s3_class(w, c("anova", "data.frame"))
  expect_equal(w$Res.Df, ref$Res.Df)
  expect_equal(c(w$F[2], w$`Pr(>F)`[2], w$Wald[2]), c(ref$F[2], ref$`Pr(>F)`[2], 2 * ref$F[2]),
               tolerance = 1e-6)
  ## Lambda = n (RSS0 - RSS1) / RSS1 = q F n / (n - p)
  dv <- anova(g0, g1, test = "Deviance")
  expect_equal(dv$Deviance[2], 2 * ref$F[2] * 60 / 56, tolerance = 1e-6)
  ## in sequence, the last term is tested in the full model, as anova.lm does
  s <- anova(g1)
  expect_equal(rownames(s), c("x1", "x2", "x3"))
  expect_equal(s$F[3], anova(l1)$`F value`[3], tolerance = 1e-6)
  sl <- summary(l1)$fstatistic; sw <- summary(g1)$wald
  expect_equal(unname(sw[["value"]] / sw[["numdf"]]), unname(sl[["value"]]), tolerance = 1e-6)
  expect_output(print(summary(g1)), "Robust Wald test")
})

test_that("the loss of the deviance test has derivative psi", {
  fams <- list(lqq = c(1.4734, 0.9823, 1.5), hampel = c(1.5, 3.5, 8), ggw = 3,
               ggw0 = c(0, 1.387, 1.5, 1.063, 4.5))
  u <- c(0.1, 0.7, 1.3, 2.2, 3.1, 4.5); h <- 1e-3
  for (f in names(fams)) {
    code <- kelvara:::.psi_code(sub("0$", "", f))
    rho <- kelvara:::.rho_function(code, fams[[f]])
    fd <- (rho(u + h) - rho(u - h)) / (2 * h)
    expect_equal(fd, psi_func(u, code, fams[[f]]), tolerance = 1e-5, info = f)
    expect_equal(rho(0), 0, info = f)
  }
})

test_that("anova refuses models that are not nested, not on the same data or psi", {
  d <- anova_data()
  f1 <- lmrob(y ~ x1 + x2, d); f0 <- lmrob(y ~ x1, d)
  expect_error(anova(f1, f0), "not nested")
  expect_error(anova(f0, lmrob(y ~ x1 + x2, transform(d, y = y + 1))), "same data")
  expect_error(anova(f0, lmrob(y ~ x1 + x2, d, tuning_psi = 4)), "same psi")
  expect_error(anova(f0, f1, test = "LRT"))
  ## nested in the span but not a subset of the columns: the Wald test is
  ## the one of the contrast b1 - b2
  fs <- lmrob(y ~ I(x1 + x2), d); w <- anova(fs, f1)$Wald[2]; l <- c(0, 1, -1)
  expect_equal(w, drop(crossprod(l, coef(f1)))^2 / drop(t(l) %*% vcov(f1) %*% l),
               tolerance = 1e-8)
  expect_gt(anova(fs, f1, test = "Deviance")$Deviance[2], 0)
  ## a term whose columns are aliased has no row, as in anova.lm
  fa <- suppressWarnings(lmrob(y ~ x1 + x2 + I(x1 + x2), d))
  expect_equal(rownames(anova(fa)), c("x1", "x2"))
  expect_equal(anova(fa)$Wald, anova(f1)$Wald, tolerance = 1e-8)
})

test_that("both statistics are unchanged by the units of y and the order of rows", {
  d <- anova_data(seed = 4); d$y[1:5] <- d$y[1:5] + 15
  stats_of <- function(d) {
    f1 <- lmrob(y ~ x1 + x2 + x3, d, seed = 1)
    f0 <- lmrob(y ~ x1, d, seed = 1)
    c(anova(f0, f1)$Wald[2], anova(f0, f1, test = "Deviance")$Deviance[2])
  }
  a <- stats_of(d)
  expect_gt(min(a), 0)
  expect_equal(stats_of(transform(d, y = 1000 * y - 7)), a, tolerance = 1e-5)
  expect_equal(stats_of(d[rev(seq_len(nrow(d))), ]), a, tolerance = 1e-5)
})

test_that("both tests keep their 5% size with 10% gross outliers (n = 100, q = 3)", {
  R <- 250; rej <- matrix(NA, R, 2)
  for (r in seq_len(R)) {
    set.seed(500 + r)
    d <- data.frame(x1 = rnorm(100), x2 = rnorm(100), x3 = rnorm(100))
    d$y <- 1 + rnorm(100) + 10 * (1:100 <= 10)
    f1 <- lmrob(y ~ x1 + x2 + x3, d, seed = r); f0 <- lmrob(y ~ 1, d, seed = r)
    rej[r, ] <- c(anova(f0, f1)$`Pr(>Chisq)`[2],
                  anova(f0, f1, test = "Deviance")$`Pr(>Chisq)`[2]) < 0.05
  }
  ## 250 samples: Monte Carlo SE of a rate of 0.05 is 0.014; window +- 3 SE.
  expect_true(all(colMeans(rej) > 0.009 & colMeans(rej) < 0.091))
})
