## The psi-family entry points called directly, as the module sees them
## (family code 1 is the bisquare).
psifun <- function(x, k, ipsi = 1L, deriv = 0L, n = length(x))
  .C("R_psifun", x = as.double(x), as.double(k), as.integer(ipsi),
     as.integer(deriv), as.integer(n), NAOK = TRUE, PACKAGE = "kelvara")$x
chifun <- function(x, k, ipsi = 1L, deriv = 0L, n = length(x))
  .C("R_chifun", x = as.double(x), as.double(k), as.integer(ipsi),
     as.integer(deriv), as.integer(n), NAOK = TRUE, PACKAGE = "kelvara")$x
wgtfun <- function(x, k, ipsi = 1L, n = length(x))
  .C("R_wgtfun", x = as.double(x), as.double(k), as.integer(ipsi),
     as.integer(n), NAOK = TRUE, PACKAGE = "kelvara")$x

## The MM iteration written plainly: weights from the residuals at the fixed
## scale, a weighted least-squares fit, until the L1 change is small.
irwls_ref <- function(x, y, beta, scale, psi = "bisquare", k = 4.685061, tol = 1e-12,
                      steps = 500) {
  for (i in seq_len(steps)) {
    w <- wgt_func(drop(y - x %*% beta) / scale, psi, k)
    new <- stats::lm.wfit(x, y, w)$coefficients
    done <- sum(abs(new - beta)) <= tol * max(tol, sum(abs(new)))
    beta <- new
    if (done) break
  }
  unname(beta)
}

## The M-scale by its definition: the root s of mean-chi(r / s) = b with
## divisor n - p, bracketed and solved by uniroot.
mscale_by_root <- function(r, p = 0, k = 1.54764, b = 0.5, code = 1L) {
  f <- function(s) sum(chifun(r / s, k, code)) / (length(r) - p) - b
  lo <- 1e-8 * max(abs(r)); hi <- 1e3 * max(abs(r))
  uniroot(f, c(lo, hi), tol = 1e-14 * hi)$root
}

## Linear data with Gaussian errors; the first share of the cases is
## contaminated (gross outliers in y, and leverage points when 'leverage').
lmrob_data <- function(n, beta, share = 0, leverage = FALSE, sd = 1) {
  p <- length(beta)
  x <- cbind(1, matrix(rnorm(n * (p - 1)), n))
  y <- drop(x %*% beta) + sd * rnorm(n)
  m <- round(share * n)
  if (m > 0) {
    i <- seq_len(m)
    if (leverage) x[i, -1] <- x[i, -1] + 10
    y[i] <- drop(x[i, , drop = FALSE] %*% beta) + (if (leverage) -100 else 50) + rnorm(m)
  }
  list(x = x, y = y)
}

## Evaluates expr and returns its value with the messages of its warnings.
collect_warnings <- function(expr) {
  msgs <- character()
  value <- withCallingHandlers(expr, warning = function(w) {
    msgs <<- c(msgs, conditionMessage(w))
    invokeRestart("muffleWarning")
  })
  list(value = value, warnings = msgs)
}
