# Runs the whole testthat suite against the installed package and ends with
# the line "N passed, N failed" (counted by test blocks).  Exit status 1 on
# any failure or error.  TEST_FILTER narrows the run to matching files.
suppressPackageStartupMessages(library(testthat))
library(kelvara)
filter <- Sys.getenv("TEST_FILTER", "")
if (!nzchar(filter)) filter <- NULL
res <- testthat::test_dir("tests/testthat", filter = filter, reporter = "summary",
                          package = "kelvara", load_package = "installed",
                          stop_on_failure = FALSE, stop_on_warning = FALSE)
df <- as.data.frame(res)
bad <- df$failed > 0 | df$error
skipped <- df$skipped & !bad
n_failed <- sum(bad)
n_passed <- nrow(df) - n_failed - sum(skipped)
## Checks of internal routines by the native test program (see Makefile).
native <- file.path("tests", "native", "native_tests")
if (is.null(filter) && file.exists(native)) {
  out <- suppressWarnings(system2(native, stdout = TRUE, stderr = TRUE))
  writeLines(out)
  m <- regmatches(out, regexec("^native: ([0-9]+) passed, ([0-9]+) failed$", out))
  m <- Filter(length, m)
  if (length(m) != 1L) {
    n_failed <- n_failed + 1L
  } else {
    n_passed <- n_passed + as.integer(m[[1]][2])
    n_failed <- n_failed + as.integer(m[[1]][3])
  }
}
cat(sprintf("\n%d passed, %d failed, %d skipped\n", n_passed, n_failed, sum(skipped)))
quit(save = "no", status = if (n_failed > 0) 1 else 0)
