test_that("the shared scalar checks accept exactly the valid values and name the argument", {
  chk <- function(f, ...) tryCatch(f(...), error = conditionMessage)
  flag <- kelvara:::.check_flag
  expect_identical(flag(TRUE, "a"), TRUE)
  for (bad in list(NA, 1, "TRUE", c(TRUE, FALSE), logical(0), NULL))
    expect_identical(chk(flag, bad, "a"), "'a' must be TRUE or FALSE")
  count <- kelvara:::.check_count
  expect_identical(c(count(3, "k"), count(0, "k", 0L), count(.Machine$integer.max, "k")),
                   c(3L, 0L, .Machine$integer.max))
  for (bad in list(0, -1, 1.5, NA, NaN, Inf, 2^31, "1", TRUE, c(1, 2), numeric(0), factor(2)))
    expect_identical(chk(count, bad, "k"), "'k' must be a whole number >= 1")
  pos <- kelvara:::.check_positive
  expect_identical(c(pos(2L, "s"), pos(0, "s", zero_ok = TRUE)), c(2, 0))
  for (bad in list(0, -0, -1, NA, Inf, 1i, "1", c(1, 2)))
    expect_identical(chk(pos, bad, "s"), "'s' must be a positive finite number")
  expect_identical(chk(pos, -1e-300, "s", zero_ok = TRUE),
                   "'s' must be a non-negative finite number")
  within <- kelvara:::.check_number_in
  expect_identical(within(0.5, "alpha", 0.5, 1), 0.5)
  expect_identical(chk(within, 0.5 - 1e-12, "alpha", 0.5, 1),
                   "'alpha' must be a number in [0.5, 1]")
  expect_identical(chk(within, 1, "bb", 0, 1, c(TRUE, TRUE)), "'bb' must be a number in (0, 1)")
  choice <- kelvara:::.check_choice
  expect_identical(vapply(list(c("a1", "b"), "b", "a"), choice, "", c("a1", "b"), "w"),
                   c("a1", "b", "a1"))
  for (bad in list("c", NA, "", 1, c("a1", "x"), character(0), NULL))
    expect_identical(chk(choice, bad, c("a1", "b"), "w"), "'w' must be one of \"a1\", \"b\"")
})

test_that("the finiteness check of long data finds one bad value anywhere", {
  chk <- function(v) tryCatch(kelvara:::.check_finite(v, "x"), error = conditionMessage)
  set.seed(4)
  v <- stats::rnorm(200001)  # (checked by the compiled pass, in blocks)
  expect_identical(chk(v), v)
  for (bad in list(NA, NaN, Inf, -Inf)) for (at in c(1, 65536, 65537, 200001)) {
    w <- v
    w[at] <- bad
    expect_identical(chk(w), "'x' contains NA, NaN or infinite values")
  }
  # a deferred vector (a sequence) and a matrix; huge finite values overflow no check
  expect_identical(chk(as.double(seq_len(1e5))), as.double(seq_len(1e5)))
  expect_identical(chk(matrix(1e308, 7e4, 2)), matrix(1e308, 7e4, 2))
  expect_identical(chk(c(1:70000, NA)), "'x' contains NA, NaN or infinite values")
})

test_that("faults found by the fuzzer give clear errors", {
  set.seed(3)
  x <- cbind(1, stats::rnorm(20))
  y <- stats::rnorm(20)
  # A design that is no vector at all reached matrix() unchecked.
  expect_error(lmrob_S(NULL, y), "'x' must be a numeric matrix", fixed = TRUE)
  expect_error(lmrob_MM(function(z) z, y, 0, 1), "'x' must be a numeric matrix", fixed = TRUE)
  # Choices are checked by name (match.arg only spoke of 'arg').
  expect_error(lmrob_control(subsampling = "exact"), "'subsampling' must be one of")
  fit <- lts(x[, 2], y, nsamp = 20)
  expect_error(coef(fit, which = "raw"), "'which' must be one of \"lts\", \"reweighted\"")
  expect_identical(coef(fit, "reweighted"), fit$reweighted$coefficients)
  # A trace level beyond the integers became NA in the compiled call.
  expect_error(lts(x[, 2], y, trace = 1e10), "'trace' must be a whole number >= 0")
  # A factor that takes one value in the data (after unused levels are dropped).
  d <- data.frame(y = y, z = x[, 2], f = factor(rep("a", 20), levels = c("a", "b")))
  expect_error(lts(y ~ z + f, d), "factor 'f' takes fewer than two values")
  # Formula fits predict from data frames only.
  d$f <- factor(rep(c("a", "b"), 10))
  ff <- lts(y ~ z + f, d, nsamp = 20)
  expect_error(predict(ff, matrix(1, 2, 2)), "'newdata' must be a data frame")
  expect_equal(predict(ff, d[1:3, ]), fitted(ff)[1:3])  # named by rows, as lm
  # Print methods refused invalid digits only inside print.default.
  m <- mcd(x[, 2], nsamp = 20)
  for (f in list(function(d) print(m, digits = d), function(d) print(summary(m), digits = d)))
    expect_error(utils::capture.output(f(23)), "'digits' must be a whole number from 1 to 22")
  # MCD of data whose covariance under- or overflows: a clear error instead of
  # a failing Cholesky factorisation inside the reweighting.
  for (s in c(1e-300, 1e300)) {
    z <- matrix(stats::rnorm(40), 20) * s
    expect_error(mcd(z), "whose covariance cannot be represented in double precision")
    expect_error(mcd(z, alpha = 1), "rescale 'x'")
  }
  z <- matrix(stats::rnorm(40), 20)
  expect_equal(mcd(z * 1e-150, seed = 1)$cov, mcd(z, seed = 1)$cov * 1e-300)
  expect_error(mcd(z, seed = 1e300), "'seed' must be NULL or one number within the integer range")
})

test_that("faults of the formula front end found by the fuzzer give clear errors or results", {
  set.seed(11)
  d <- data.frame(y = stats::rnorm(30), z = stats::rnorm(30), f = factor(rep(c("a", "b", "c"), 10)))
  # A factor with one value in the data reached contrasts<- unchecked.
  d1 <- transform(d, f = factor(rep("a", 30), levels = c("a", "b")))
  expect_error(lmrob(y ~ z + f, d1), "factor 'f' takes fewer than two values")
  # Settings of the M-S start are named as the user gave them.
  expect_error(lmrob.config(ms_tol = -1), "'ms_tol' must be a positive finite number")
  # A ggw shape that no ggw psi function meets: a clear error, not uniroot's.
  expect_error(psi_tuning("ggw", breakdown = 0.25, shape = c(-1e300, 1e300)),
               "'shape' for \"ggw\" cannot be met")
  # A response beyond the square root of the largest double: the fit runs
  # in standard units, so R^2 and the coefficients are those of y itself.
  fit <- lmrob(y ~ z, transform(d, y = y * 1e300), seed = 1)
  fit0 <- lmrob(y ~ z, d, seed = 1)
  expect_equal(fit$r.squared, fit0$r.squared, tolerance = 1e-10)
  expect_equal(coef(fit) / 1e300, coef(fit0), tolerance = 1e-10)
  fit <- lmrob(y ~ z + f, d)
  expect_error(confint(fit, level = "a"), "'level' must be a number in (0, 1)", fixed = TRUE)
  expect_error(predict(fit, d, se.fit = NA), "'se.fit' must be TRUE or FALSE")
  expect_error(weights(fit, type = "x"), "'type' must be one of \"robustness\", \"prior\"")
  expect_identical(weights(fit, "rob"), fit$rweights)
  # Plot choices and label counts are checked by name.
  grDevices::pdf(NULL)
  on.exit(grDevices::dev.off())
  m <- mcd(d[, 1:2], nsamp = 20)
  expect_error(plot(m, which = "x", data = d[, 1:2]),
               "'which' must be one or more of \"dd\", \"index\"")
  expect_error(plot(fit, which = 1, id.n = -1), "'id.n' must be a whole number >= 0")
  expect_identical(plot(m, which = c("index", "dd"), data = d[, 1:2]), m)
})
