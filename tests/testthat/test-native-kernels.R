test_that("the MCD and LTS kernels pass their stand-alone checks", {
  script <- file.path("..", "native", "run.sh")
  skip_if_not(file.exists(script), "kernel checks not available")
  skip_if(!nzchar(Sys.which("g++")), "no C++ compiler")
  out <- suppressWarnings(system2(script, stdout = TRUE, stderr = TRUE))
  expect_identical(sum(grepl("^ok: 0 failure", out)), 2L, info = paste(out, collapse = "\n"))
})
