## Child process of the fuzzer: evaluates a range of generated calls.
## Arguments: cases file, first and last index, output file, warn level,
## time limit per call (seconds).
args <- commandArgs(trailingOnly = TRUE)
lib_dir <- dirname(normalizePath(sub("^--file=", "",
                                     grep("^--file=", commandArgs(), value = TRUE))))
suppressPackageStartupMessages(library(kelvara))
source(file.path(lib_dir, "fuzz-lib.R"))
fuzz_child(args[1L], as.integer(args[2L]), as.integer(args[3L]), args[4L],
           as.integer(args[5L]), as.numeric(args[6L]))
