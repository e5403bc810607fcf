## Builds tests/testthat/native/<name>.cpp together with the given module
## sources into a library of its own (once per test run) and loads it.  It
## reaches internal routines that no registered entry point exposes.  Returns
## NULL when the module's sources are not at hand (installed-package checks).
native_probe <- function(name, sources) {
  src_dir <- normalizePath(file.path("..", "..", "src"), mustWork = FALSE)
  probe <- file.path("native", paste0(name, ".cpp"))
  if (!dir.exists(src_dir) || !file.exists(probe)) return(NULL)
  dir <- file.path(tempdir(), paste0("kelvara-probe-", name))
  lib <- file.path(dir, paste0(name, .Platform$dynlib.ext))
  if (!file.exists(lib)) {
    dir.create(dir, showWarnings = FALSE)
    files <- c(file.path(src_dir, c(sources, "host.cpp")), probe)
    headers <- list.files(src_dir, pattern = "[.]h$", full.names = TRUE)
    file.copy(c(files, headers, file.path(src_dir, "Makevars")), dir, overwrite = TRUE)
    out <- withr_dir(dir, system2(file.path(R.home("bin"), "R"),
                                  c("CMD", "SHLIB", "-o", basename(lib), basename(files)),
                                  stdout = TRUE, stderr = TRUE))
    if (!file.exists(lib)) stop("building the test library failed:\n", paste(out, collapse = "\n"))
  }
  dyn.load(lib)[["name"]]
}

withr_dir <- function(dir, code) {
  old <- setwd(dir)
  on.exit(setwd(old))
  code
}
