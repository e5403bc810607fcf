test_that("the thread count follows the option and refuses unusable values", {
  old <- options(kelvara.threads = NULL)
  on.exit(options(old))
  def <- kelvara_threads()
  expect_true(def >= 1L)
  if (isTRUE(attr(def, "openmp"))) {
    options(kelvara.threads = 3)
    expect_equal(as.integer(kelvara_threads()), 3L)
    expect_equal(as.integer(kelvara:::.with_threads(1, kelvara_threads())), 1L)
    expect_equal(getOption("kelvara.threads"), 3)
  }
  for (bad in list(0, 1.5, NA, "2", c(1, 2), 257))
    expect_error(kelvara:::.check_threads(bad), "'threads' must be")
})

test_that("a call whose threads start late goes on on one thread with the same results", {
  # kelvara.late_start = 0 counts every parallel section as started late, so
  # each call below switches to one thread after its second section.
  skip_if_not(isTRUE(attr(kelvara_threads(), "openmp")))
  set.seed(31)
  n <- 30000
  x <- matrix(stats::rnorm(3 * n), n)
  y <- drop(x %*% c(1, -1, 2)) + stats::rnorm(n)
  y[1:3000] <- y[1:3000] + 25
  d <- data.frame(y = y, x)
  run <- function(threads, late = NULL) {
    old <- options(kelvara.threads = threads, kelvara.late_start = late)
    on.exit(options(old))
    set.seed(4)
    list(lmrob = coef(lmrob(y ~ ., data = d)), mcd = mcd(x)[c("center", "cov", "best")],
         lts = lts(x, y)[c("coefficients", "best", "search_crit")], seed = .Random.seed)
  }
  one <- run(1)
  expect_identical(run(2, late = 0), one)
  expect_identical(run(2), one)
})
