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
cat(sprintf("\n%d passed, %d failed, %d skipped\n", n_passed, n_failed, sum(skipped)))
quit(save = "no", status = if (n_failed > 0) 1 else 0)
