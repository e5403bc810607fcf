## A short run of the input fuzzer (make fuzz runs thousands of calls per
## function): malformed and extreme arguments must give a result or a clear
## R error, never a crash, a hang or an error from R's own internals.
fuzz_dir <- file.path("..", "fuzz")
if (file.exists(file.path(fuzz_dir, "fuzz-lib.R"))) source(file.path(fuzz_dir, "fuzz-lib.R"))

describe_failures <- function(res, cases)
  vapply(fuzz_failures(res, cases), function(x) sprintf(
    "[%d] %s: %s (%s) %s -- args: %s", x$index, x$fun, x$status, x$caller, x$msg,
    paste(utils::capture.output(utils::str(x$case$args, vec.len = 2)), collapse = " ")), "")

test_that("generated calls of every exported function, in child processes", {
  skip_if_not(exists("fuzz_cases"), "fuzz sources not at hand")
  cases <- fuzz_cases(20L, seed = 99L)
  for (warn in 1:2) {
    res <- fuzz_run(cases, warn = warn, batch = 200L, lib_dir = normalizePath(fuzz_dir))
    expect_false(anyNA(res$status))
    expect_identical(describe_failures(res, cases), character(0), label = paste("warn", warn))
    # A fair share of the calls gets through the checks to the computation.
    expect_gt(mean(res$status == "ok"), 0.3)
  }
})

test_that("generated calls in this process, with warnings as errors too", {
  skip_if_not(exists("fuzz_cases"), "fuzz sources not at hand")
  # Here a memory checker running the suite also sees the error paths.
  cases <- fuzz_cases(6L, seed = 7L)
  for (warn in 1:2) {
    old <- options(warn = warn)
    st <- vapply(cases, function(cs) {
      r <- fuzz_eval(cs, time_limit = 300)
      if (r$status == "unclear") paste(cs$fun, r$msg) else r$status
    }, "")
    options(old)
    expect_true(all(st %in% c("ok", "error")), label = paste(unique(st), collapse = "; "))
  }
})
