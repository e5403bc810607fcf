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

## Outcomes of the MCD and LTS searches; the compiled module defines the same
## values (the enums mcd_status in mcd.h and lts_status in lts.h), and the
## tests provoke each outcome to check that the two agree.
.mcd_codes <- c(ok = 0L, singular_data = 1L, exact_fit = 2L)
.lts_codes <- c(ok = 0L, zero_scale = 1L, no_subset = 2L)
