## Robust tests of nested regression models for lmrob fits: the Wald test
## from the covariance of the larger fit and a deviance-type test from the
## rho function of its psi.

## What the tests read from a fit: the kept (non-aliased) design columns,
## the response (less the offset) and both with the square roots of the
## prior weights on the rows of positive weight.
.anova_parts <- function(fit, cov_type = NULL) {
  if (!inherits(fit, "lmrob")) stop("every model must be an lmrob fit", call. = FALSE)
  if (isTRUE(fit$exact_fit) || !isTRUE(fit$scale > 0))
    stop("a fit with scale 0 (an exact fit) has no tests of nested models", call. = FALSE)
  x <- model.matrix.lmrob(fit)
  y <- fit$y
  if (is.null(y)) y <- stats::model.response(model.frame.lmrob(fit), "numeric")
  y <- as.double(y)
  if (!is.null(fit$offset)) y <- y - fit$offset
  w <- fit$weights
  use <- if (is.null(w)) rep(TRUE, length(y)) else w > 0
  sw <- if (is.null(w)) rep(1, length(y)) else sqrt(w)
  keep <- !fit$aliased
  list(fit = fit, x = x[use, keep, drop = FALSE] * sw[use], y = y[use] * sw[use],
       y_raw = as.double(y), w = w, beta = fit$coefficients[keep],
       cov = .fit_cov(fit, cov_type),
       scale = fit$scale, df = fit$df.residual, p = sum(keep))
}

## The larger fit b against the smaller a: same data, same psi, nested.
.anova_check_pair <- function(a, b) {
  if (length(a$y_raw) != length(b$y_raw) || !identical(a$y_raw, b$y_raw) ||
      !identical(a$w, b$w))
    stop("the models were not fitted to the same data (the responses, rows or prior ",
         "weights differ)", call. = FALSE)
  if (!identical(a$fit$psi, b$fit$psi) ||
      !isTRUE(all.equal(a$fit$tuning, b$fit$tuning, tolerance = 1e-10)))
    stop(sprintf("the models do not use the same psi (%s with constants %s against %s with constants %s)",
                 a$fit$psi, paste(format(a$fit$tuning), collapse = ", "),
                 b$fit$psi, paste(format(b$fit$tuning), collapse = ", ")), call. = FALSE)
  if (a$p >= b$p)
    stop("the models are not nested: each model must have more coefficients than the one before",
         call. = FALSE)
  if (a$p == 0L) return(invisible(TRUE))
  ## Nested: every column of the smaller design lies in the span of the larger.
  qb <- qr(b$x)
  res <- qr.resid(qb, a$x)
  if (any(sqrt(colSums(res^2)) > 1e-7 * pmax(1, sqrt(colSums(a$x^2)))))
    stop("the models are not nested: the smaller design is not contained in the larger one",
         call. = FALSE)
  invisible(TRUE)
}

## The hypothesis L beta = 0 that the smaller model imposes on the larger:
## X1 beta lies in the span of X0 iff (I - P0) X1 beta = 0.  The rows of L
## are the q leading right singular vectors of (I - P0) X1; when X0 keeps a
## subset of the columns of X1 they span the dropped coordinates, and the
## Wald statistic is the one of those coefficients.
.anova_constraint <- function(x0, x1) {
  if (ncol(x0) == 0L) return(diag(ncol(x1)))
  m <- qr.resid(qr(x0), x1)
  q <- ncol(x1) - qr(x0)$rank
  v <- svd(m, nu = 0L, nv = q)$v
  t(v[, seq_len(q), drop = FALSE])
}

## rho with rho' = psi and rho(0) = 0: the normalised chi times the factor
## that makes its slope psi (read at a point where psi is positive).  The
## chi of ggw is not an exact antiderivative of its psi: the built-in cases
## tabulate a chi whose slope is psi / rho(inf) while the compiled
## normalising constant N is a fixed value (off by a factor from 0.979 to
## 1.082 for cases 2, 3, 5 and 6), and the general case integrates psi only
## to about 1e-4; both are documented normalisations of the compiled
## functions (see psi_func), so for ggw psi is integrated numerically.
.rho_function <- function(code, k) {
  if (code == .psi_code("ggw"))
    return(function(u) .rho_by_quadrature(u, code, k))
  br <- .psi_breaks(code, k)
  u0 <- 0.5 * min(1, br[br > 0])
  fac <- psi_func(u0, code, k) / chi_func(u0, code, k, deriv = 1)
  function(u) fac * chi_func(u, code, k)
}

## The integral of psi from 0 to |u|, piecewise between the sorted |u|.
.rho_by_quadrature <- function(u, code, k) {
  a <- abs(u)
  o <- order(a)
  pts <- c(0, a[o])
  piece <- vapply(seq_along(o), function(i) {
    if (pts[i + 1L] == pts[i]) return(0)
    stats::integrate(function(t) psi_func(t, code, k), pts[i], pts[i + 1L],
                     rel.tol = 1e-10, abs.tol = 1e-13)$value
  }, 0)
  out <- numeric(length(u))
  out[o] <- cumsum(piece)
  out
}

## One test of the smaller fit a against the larger fit b.
.anova_pair <- function(a, b, test) {
  .anova_check_pair(a, b)
  q <- b$p - a$p
  n <- length(b$y)
  if (test == "Wald") {
    L <- .anova_constraint(a$x, b$x)
    lb <- drop(L %*% b$beta)
    v <- L %*% b$cov %*% t(L)
    stat <- tryCatch(drop(crossprod(lb, solve(v, lb))), error = function(e) NA_real_)
    return(c(df = q, stat = stat, p = stats::pchisq(stat, q, lower.tail = FALSE),
             F = stat / q, pF = stats::pf(stat / q, q, b$df, lower.tail = FALSE)))
  }
  code <- .psi_code(b$fit$psi)
  k <- b$fit$tuning
  s <- b$scale
  ## The smaller model refitted by the M-step at the larger fit's scale,
  ## started from the larger fit projected onto the smaller design (its
  ## coefficients with the dropped ones set to 0 when the columns are a subset).
  u1 <- drop(b$y - b$x %*% b$beta) / s
  u0 <- if (a$p == 0L) b$y / s else {
    start <- qr.coef(qr(a$x), drop(b$x %*% b$beta))
    start[is.na(start)] <- 0
    ctrl <- .native_control(b$fit$control)
    ctrl$tuning_psi <- k
    lmrob_MM(a$x, b$y, start, s, ctrl)$residuals / s
  }
  rho <- .rho_function(code, k)
  xi <- mean(psi_func(u1, code, k, deriv = 1)) / mean(psi_func(u1, code, k)^2)
  stat <- 2 * sum(rho(u0) - rho(u1)) * xi
  c(df = q, stat = stat, p = stats::pchisq(stat, q, lower.tail = FALSE))
}

## Sub-fits of one lmrob fit with its terms added in sequence (the intercept
## first when there is one), each fitted as the whole model was.
.anova_sequence <- function(fit) {
  x <- model.matrix.lmrob(fit)
  asgn <- fit$assign
  if (is.null(asgn)) stop("the fit has no term structure (refit it with a formula)",
                          call. = FALSE)
  labs <- attr(fit$terms, "term.labels")
  y <- fit$y
  if (is.null(y)) y <- stats::model.response(model.frame.lmrob(fit), "numeric")
  steps <- sort(unique(asgn))
  if (!(0L %in% steps)) steps <- c(NA, steps)
  fits <- list()
  for (i in seq_along(steps)[-length(steps)]) {
    if (is.na(steps[i])) {
      fits[[i]] <- "none"
      next
    }
    cols <- which(asgn <= steps[i])
    xi <- x[, cols, drop = FALSE]
    f <- suppressWarnings(.lmrob_fit(xi, y, weights = fit$weights, offset = fit$offset,
                                     method = fit$method,
                                     init = if (fit$init$method == "M-S") "M-S" else "S",
                                     control = fit$control,
                                     intercept = isTRUE(fit$intercept)))
    f$assign <- asgn[cols]
    fits[[i]] <- f
  }
  fits[[length(steps)]] <- fit
  names(fits) <- c(if (is.na(steps[1L])) "(none)" else "(Intercept)",
                   labs[steps[-1L]])
  fits
}

anova.lmrob <- function(object, ..., test = c("Wald", "Deviance"), cov_type = NULL) {
  test <- .check_choice(test, c("Wald", "Deviance"), "test")
  more <- list(...)
  if (length(more) && !all(vapply(more, inherits, NA, "lmrob")))
    stop("every model must be an lmrob fit", call. = FALSE)
  fits <- c(list(object), more)
  single <- length(fits) == 1L
  if (single) fits <- .anova_sequence(object)
  if (!is.null(cov_type)) cov_type <- .cov_type(object, cov_type)
  parts <- lapply(fits, function(f) if (is.character(f)) NULL else .anova_parts(f, cov_type))
  ## Without an intercept the first term is tested against the empty model.
  if (is.null(parts[[1L]])) {
    parts[[1L]] <- parts[[2L]]
    parts[[1L]]$x <- parts[[1L]]$x[, 0L, drop = FALSE]
    parts[[1L]]$p <- 0L
    parts[[1L]]$df <- length(parts[[1L]]$y)
  }
  nr <- length(parts)
  stat_name <- if (test == "Wald") "Wald" else "Deviance"
  tab <- data.frame(Res.Df = vapply(parts, function(a) as.double(a$df), 0),
                    Df = NA_real_, stat = NA_real_, `Pr(>Chisq)` = NA_real_,
                    check.names = FALSE)
  if (test == "Wald") {
    tab$F <- NA_real_
    tab$`Pr(>F)` <- NA_real_
  }
  for (i in seq_len(nr)[-1L]) {
    ## a term whose columns are all aliased adds nothing to test (its row
    ## is dropped below, as anova.lm drops it)
    if (single && parts[[i]]$p == parts[[i - 1L]]$p) {
      tab$Df[i] <- 0
      next
    }
    r <- .anova_pair(parts[[i - 1L]], parts[[i]], test)
    tab$Df[i] <- r[["df"]]
    tab$stat[i] <- r[["stat"]]
    tab$`Pr(>Chisq)`[i] <- r[["p"]]
    if (test == "Wald") {
      tab$F[i] <- r[["F"]]
      tab$`Pr(>F)`[i] <- r[["pF"]]
    }
  }
  names(tab)[3L] <- stat_name
  psi_line <- sprintf("psi: %s (constants %s); scale: that of the larger model%s",
                      object$psi, paste(format(object$tuning, digits = 6), collapse = ", "),
                      if (test == "Wald")
                        sprintf("; covariance: %s", .cov_type(parts[[nr]]$fit, cov_type))
                      else "")
  if (single) {
    rownames(tab) <- names(fits)
    tab <- tab[-1L, , drop = FALSE]
    tab <- tab[tab$Df > 0, , drop = FALSE]
    tab$Res.Df <- NULL
    heading <- c(sprintf("Robust %s tests of the terms added in sequence (each in the model of the terms up to it)\n",
                         if (test == "Wald") "Wald" else "deviance-type"),
                 paste0(psi_line, "\n"),
                 paste0("Response: ", deparse(formula(object$terms)[[2L]]), "\n"))
  } else {
    forms <- vapply(fits, function(f) {
      if (!is.null(f$terms)) paste(deparse(formula(f$terms)), collapse = " ")
      else paste(deparse(f$call), collapse = " ")
    }, "")
    rownames(tab) <- as.character(seq_len(nr))
    heading <- c(sprintf("Robust %s tests of nested models\n",
                         if (test == "Wald") "Wald" else "deviance-type"),
                 paste0(psi_line, "\n"),
                 paste0(paste0("Model ", seq_len(nr), ": ", forms, collapse = "\n"), "\n"))
  }
  structure(tab, heading = heading, class = c("anova", "data.frame"))
}

## The overall Wald test of all coefficients but the intercept (for the
## summary): the statistic, its degrees of freedom and the F form.
.overall_wald <- function(object) {
  keep <- !object$aliased
  b <- object$coefficients[keep]
  icpt <- if (!is.null(object$assign)) object$assign[keep] == 0L
          else names(b) == "(Intercept)"
  q <- sum(!icpt)
  if (q == 0L || isTRUE(object$exact_fit) || anyNA(object$cov)) return(NULL)
  v <- object$cov[!icpt, !icpt, drop = FALSE]
  w <- tryCatch(drop(crossprod(b[!icpt], solve(v, b[!icpt]))), error = function(e) NA_real_)
  c(value = w, numdf = q, dendf = object$df.residual)
}
