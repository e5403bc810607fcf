## Threads of the compiled searches.  The compiled code reads the option
## kelvara.threads when a call begins; a 'threads' argument sets it for the
## duration of one call.  Results do not depend on the number of threads.

## The largest thread count the compiled code accepts.
.max_threads <- 256L

.check_threads <- function(threads) {
  if (is.null(threads)) return(NULL)
  if (!is.numeric(threads) || is.object(threads) || length(threads) != 1L ||
      is.na(threads) || threads != round(threads) || threads < 1 || threads > .max_threads)
    stop(sprintf("'threads' must be a whole number from 1 to %d (or NULL for the option kelvara.threads)",
                 .max_threads), call. = FALSE)
  as.integer(threads)
}

## Evaluates expr with the option kelvara.threads set to 'threads' (NULL:
## leaves the option as it is).
.with_threads <- function(threads, expr) {
  threads <- .check_threads(threads)
  if (!is.null(threads)) {
    old <- options(kelvara.threads = threads)
    on.exit(options(old), add = TRUE)
  }
  expr
}

kelvara_threads <- function() {
  opt <- getOption("kelvara.threads")
  if (!is.null(opt)) .check_threads(opt)
  z <- .C("kv_threads", used = integer(1L), openmp = integer(1L), PACKAGE = "kelvara")
  structure(z$used, openmp = z$openmp == 1L)
}
