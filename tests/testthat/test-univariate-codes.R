test_that("the status tables of R agree with the codes the compiled routines return", {
  # L1: the median of three values is unique, of four it is not; a column
  # twice makes the optimum non-unique; a planted case loses precision.
  set.seed(8)
  x <- cbind(rnorm(30), rnorm(30))
  y <- rnorm(30)
  d <- l1_status2_case()
  fits <- list(optimal_unique = l1_fit(NULL, c(1, 2, 3)),
               optimal = l1_fit(cbind(x, x[, 2]), y),
               precision_lost = suppressWarnings(l1_fit(d$x, d$y, intercept = FALSE, tol = d$tol)))
  for (nm in names(fits)) {
    expect_identical(list(fits[[nm]]$status, .l1_status_name(fits[[nm]]$status)),
                     list(.l1_status_codes[[nm]], nm), label = nm)
  }
  # print() names each status by its code, whatever the text says.
  said <- vapply(fits, function(f) tail(capture.output(print(f)), 1), "")
  expect_identical(anyDuplicated(sub(" \\(rank.*", "", said)), 0L)
  expect_match(said[["precision_lost"]], "no solution")
  # The medcouple: stopped at the iteration limit, and converged.
  x9 <- c(1, 2, 3, 10, 20, 5, 7, 30, 2.5)
  expect_identical(suppressWarnings(mc_c(x9, maxit = 1L))$iter[2],
                   .mc_status_codes[["iteration_limit"]])
  expect_identical(mc_c(x9)$iter[2], .mc_status_codes[["converged"]])
})
