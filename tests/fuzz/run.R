## make fuzz: FUZZ_N generated calls per function (default 2000), each run
## once with warnings collected and once under options(warn = 2).  Prints
## the per-function table and the failing calls; the failing cases are saved
## to FUZZ_FAILURES (default fuzz-failures.rds), all outcomes to FUZZ_RESULTS
## when set.  Exit status 1 on any crash, hang or unclear error.
suppressPackageStartupMessages(library(kelvara))
lib_dir <- dirname(normalizePath(sub("^--file=", "",
                                     grep("^--file=", commandArgs(), value = TRUE))))
source(file.path(lib_dir, "fuzz-lib.R"))
n <- as.integer(Sys.getenv("FUZZ_N", "2000"))
seed <- as.integer(Sys.getenv("FUZZ_SEED", "20261206"))
funs <- Sys.getenv("FUZZ_FUNS", "")
funs <- if (nzchar(funs)) strsplit(funs, ",")[[1L]] else fuzz_functions()
t0 <- proc.time()[["elapsed"]]
cases <- fuzz_cases(n, seed, funs)
res1 <- fuzz_run(cases, warn = 1L, lib_dir = lib_dir, verbose = TRUE)
res2 <- fuzz_run(cases, warn = 2L, lib_dir = lib_dir, verbose = TRUE)
tab <- fuzz_table(res1, res2)
if (nzchar(Sys.getenv("FUZZ_RESULTS")))
  saveRDS(list(warn1 = res1, warn2 = res2), Sys.getenv("FUZZ_RESULTS"))
options(width = 200)
print(tab, row.names = FALSE)
cat(sprintf("\n%d calls in each mode, %.0f s\n", length(cases), proc.time()[["elapsed"]] - t0))
fail <- c(fuzz_failures(res1, cases), fuzz_failures(res2, cases))
if (length(fail)) {
  cat("\nFailing calls:\n")
  for (f in fail)
    cat(sprintf("  [%d] %s: %s (%s) %s\n", f$index, f$fun, f$status, f$caller, f$msg))
  out <- Sys.getenv("FUZZ_FAILURES", "fuzz-failures.rds")
  saveRDS(fail, out)
  cat("(saved to ", out, ")\n", sep = "")
}
quit(save = "no", status = if (length(fail)) 1L else 0L)
