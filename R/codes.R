## Integer codes shared with the compiled module.  The module defines the
## same values once (psi.h); tests check that the two agree by evaluating
## each family through its code.

## Psi families by name.  "biweight" is an alias of "bisquare".
.psi_codes <- c(bisquare = 1L, gaussweight = 2L, optimal = 3L, hampel = 4L,
                ggw = 5L, lqq = 6L)
.psi_aliases <- c(biweight = "bisquare")

## Code of a psi family given by name (or by its code).
.psi_code <- function(psi) {
  if (is.numeric(psi) && length(psi) == 1L && !is.na(psi) &&
      psi %in% .psi_codes)
    return(as.integer(psi))
  if (!is.character(psi) || length(psi) != 1L || is.na(psi))
    stop("'psi' must be one family name: ",
         paste(dQuote(names(.psi_codes), FALSE), collapse = ", "), call. = FALSE)
  nm <- tolower(psi)
  if (nm %in% names(.psi_aliases)) nm <- .psi_aliases[[nm]]
  code <- .psi_codes[nm]
  if (is.na(code))
    stop("unknown psi family ", dQuote(psi, FALSE), "; use one of ",
         paste(dQuote(names(.psi_codes), FALSE), collapse = ", "), call. = FALSE)
  unname(code)
}

## L1 fit statuses (l1_status in l1.h): the 'status' of an l1_fit.
.l1_status_codes <- c(optimal = 0L, optimal_unique = 1L, precision_lost = 2L)

## Medcouple search statuses (mc_status in univariate.h): the second element
## of the iteration record of mc_C.
.mc_status_codes <- c(iteration_limit = 0L, converged = 1L)

## Name of an L1 status code ("unknown" for any other value).
.l1_status_name <- function(code) {
  nm <- names(.l1_status_codes)[match(code, .l1_status_codes)]
  if (length(nm) != 1L || is.na(nm)) "unknown" else nm
}
