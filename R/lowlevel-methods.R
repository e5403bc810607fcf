## Methods of the matrix-level regression results: lmrob_S(), lmrob_MM() and
## lmrob_M_S() return lists of classes "lmrob_S", "lmrob_MM" and "lmrob_M_S".

.lowlevel_label <- c(lmrob_S = "S-estimate", lmrob_MM = "MM-estimate",
                     lmrob_M_S = "M-S estimate")

.print_lowlevel <- function(x, digits) {
  digits <- .check_digits(digits)
  cat("Regression ", .lowlevel_label[[class(x)[1L]]], " (n = ", length(x$residuals),
      ", ", x$control$psi, " psi)\n", sep = "")
  cat("\nCoefficients:\n")
  print.default(format(x$coefficients, digits = digits), print.gap = 2L, quote = FALSE)
  cat("\nScale:", format(x$scale, digits = digits),
      if (isTRUE(x$exact_fit)) "(exact fit)", "\n")
  cat("Converged:", if (is.na(x$converged)) "not assessed (no descent)" else x$converged,
      "\n")
  invisible(x)
}

print.lmrob_S <- function(x, digits = max(3L, getOption("digits") - 3L), ...)
  .print_lowlevel(x, digits)
print.lmrob_MM <- function(x, digits = max(3L, getOption("digits") - 3L), ...)
  .print_lowlevel(x, digits)
print.lmrob_M_S <- function(x, digits = max(3L, getOption("digits") - 3L), ...)
  .print_lowlevel(x, digits)

coef.lmrob_S <- function(object, ...) object$coefficients
coef.lmrob_MM <- function(object, ...) object$coefficients
coef.lmrob_M_S <- function(object, ...) object$coefficients

residuals.lmrob_S <- function(object, ...) object$residuals
residuals.lmrob_MM <- function(object, ...) object$residuals
residuals.lmrob_M_S <- function(object, ...) object$residuals

fitted.lmrob_S <- function(object, ...) object$fitted.values
fitted.lmrob_MM <- function(object, ...) object$fitted.values
fitted.lmrob_M_S <- function(object, ...) object$fitted.values
