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

## Outcomes of the regression fits.  The internal routines kv_lmrob_S and
## kv_lmrob_M_S write a status vector instead of printing or warning; the
## module defines its codes once (lmrob.h) and kv_constants reports them, so
## that a test checks these tables against it.  What a fit means for the user
## is decided from the codes alone, by one switch each in lmrob_S() and
## .ms_outcome(); every message text lives in .fit_text.
.fit_codes <- c(ok = 0L, exact_fit = 1L, no_subsample = 2L, l1_failed = 3L,
                few_x2_rows = 4L, no_candidate = 5L)
.descent_ends <- c(not_run = 0L, settled = 1L, no_improve = 2L, step_limit = 3L,
                   failed = 4L)
## Status of one subsample draw (R_subsample, and the detail of no_subsample).
.subsample_status <- c(ok = 0L, no_replacement = 1L, too_many_singular = 2L)
## Positions in the status vector.  detail: the subsampling status of a failed
## draw, the L1 status of a failed L1 fit, or the number of usable cases.
.status_slots <- c(code = 1L, detail = 2L, scale_unconverged = 3L,
                   result_scale_unconverged = 4L, refine_unconverged = 5L,
                   descent = 6L, singular = 7L, orth_failed = 8L)

## Constants of the compiled code, read from it once per session.
.native_constants <- local({
  cache <- NULL
  function() {
    if (is.null(cache)) {
      z <- .C("kv_constants", codes = integer(23L), 23L, values = double(5L), 5L,
              PACKAGE = "kelvara")
      cache <<- list(codes = z$codes,
                     values = stats::setNames(z$values,
                                              c("large_n_threshold", "exact_fit_tol",
                                                "ms_min_scale", "l1_scale_divisor",
                                                "unset_scale")))
    }
    cache
  }
})
.native_value <- function(name) .native_constants()$values[[name]]

## The status vector of a kv_ routine as a named list, with the outcome's name.
.fit_status <- function(status) {
  st <- as.list(stats::setNames(status, names(.status_slots)))
  st$outcome <- names(.fit_codes)[match(st$code, .fit_codes)]
  st$descent_end <- names(.descent_ends)[match(st$descent, .descent_ends)]
  st
}

## Message texts of the outcomes (sprintf formats).  Behaviour never depends
## on them.
.fit_text <- list2env(list(
  scale_unconverged = "find_scale() did not converge in 'maxit.scale' (= %d) iterations",
  refine_unconverged = "S refinements did not converge (to tol=%g) in %d iterations",
  no_replacement = "subsample: could not find non-singular subsample.",
  too_many_singular = paste0("Too many singular resamples. Aborting subsample().\n",
                             " See parameter subsampling in help of lmrob.config()."),
  s_failed = paste0("S-estimation failed: no non-singular subsample could be drawn ",
                    "(every draw was singular); try subsampling = \"nonsingular\" or a ",
                    "larger 'max_singular'"),
  exact_fit = "exact fit: %d of %d observations lie on the fitted hyperplane; the %s is 0",
  ms_stopped = "m_s_subsample() stopped prematurely.",
  no_candidate = paste0("%s failed: no candidate fit has an M-scale below %g, the ",
                        "largest the search represents; rescale the response"),
  ms_few_rows = paste0("M-S subsampling: only %d cases have a nonzero row of x2, ",
                       "fewer than its %d columns"),
  ms_search_l1 = "M-S subsampling: the L1 fit on x1 lost precision (KODE=%d)",
  ms_descent_l1 = "m_s_descent(): Problem in rllarsbi (rilars). KODE=%d. Exiting.",
  ms_orth_failed = paste0("M-S estimate: L1 fit on x1 failed in the orthogonalisation ",
                          "(KODE=%d); continuing without it"),
  ms_step_limit = "M-S estimate: maximum number of refinement steps reached."))

## The warning of a failed subsample draw, by its subsampling status.
.subsample_warning <- function(detail) {
  switch(names(.subsample_status)[match(detail, .subsample_status)],
         no_replacement = warning(.fit_text$no_replacement, call. = FALSE),
         too_many_singular = warning(.fit_text$too_many_singular, call. = FALSE))
  invisible()
}
## Outcomes of the MCD and LTS searches; the compiled module defines the same
## values (the enums mcd_status in mcd.h and lts_status in lts.h), and the
## tests provoke each outcome to check that the two agree.
.mcd_codes <- c(ok = 0L, singular_data = 1L, exact_fit = 2L)
.lts_codes <- c(ok = 0L, zero_scale = 1L, no_subset = 2L)
## L1 fit statuses (l1_status in l1.h): the 'status' of an l1_fit.
.l1_status_codes <- c(optimal = 0L, optimal_unique = 1L, precision_lost = 2L)
## An outcome of l1_fit() itself: the optimality check of the result failed.
.l1_not_optimal <- 3L

## Medcouple search statuses (mc_status in univariate.h): the second element
## of the iteration record of mc_C.
.mc_status_codes <- c(iteration_limit = 0L, converged = 1L)

## Name of an L1 status code ("unknown" for any other value).
.l1_status_name <- function(code) {
  tab <- c(.l1_status_codes, not_optimal = .l1_not_optimal)
  nm <- names(tab)[match(code, tab)]
  if (length(nm) != 1L || is.na(nm)) "unknown" else nm
}
