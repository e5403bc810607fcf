## What lm() fits offer and lmrob() and lts() fits share: the model frame and
## matrix rebuilt from the call, residuals of the types lm knows, padded
## weights, and predictions split by terms.

## The model frame of a fit from a formula: the stored one, or rebuilt from
## the call (with 'data', 'subset' or 'na.action' overriding those of the
## call), with the factor levels of the fit.
.fit_model_frame <- function(object, ...) {
  if (is.null(object$terms))
    stop("the fit was not made from a formula: it has no model frame", call. = FALSE)
  dots <- list(...)
  over <- dots[match(c("data", "subset", "na.action"), names(dots), 0L)]
  if (!length(over) && !is.null(object$model)) return(object$model)
  fcall <- object$call
  fcall <- fcall[c(1L, match(c("formula", "data", "subset", "weights", "na.action",
                               "offset"), names(fcall), 0L))]
  fcall$drop.unused.levels <- TRUE
  fcall[[1L]] <- quote(stats::model.frame)
  fcall$xlev <- object$xlevels
  fcall$formula <- stats::terms(object)
  fcall[names(over)] <- over
  env <- environment(object$terms)
  if (is.null(env)) env <- parent.frame()
  eval(fcall, env)
}

## The model matrix of a formula fit: the stored one, or rebuilt with the
## contrasts of the fit (not those of the current options()).
.fit_model_matrix <- function(object, ...) {
  if (!is.null(object[["x"]])) return(object[["x"]])
  mf <- .fit_model_frame(object, ...)
  stats::model.matrix(object$terms, mf, contrasts.arg = object$contrasts)
}

## lm's residual types: "working" and "response" are y - fitted,
## "pearson" and "deviance" carry the square roots of the prior weights.
.fit_residuals <- function(object, r, type, w = NULL) {
  type <- .check_choice(type, c("working", "response", "deviance", "pearson"), "type")
  if (type %in% c("deviance", "pearson") && !is.null(w)) r <- r * sqrt(w)
  stats::naresid(object$na.action, r)
}

## The model frame of a fitting call, as lm() builds it (formula, data,
## subset, weights, na.action, offset), its terms and its one numeric
## response.
.model_frame <- function(call, env) {
  mf <- call[c(1L, match(c("formula", "data", "subset", "weights", "na.action", "offset"),
                         names(call), 0L))]
  mf$drop.unused.levels <- TRUE
  mf[[1L]] <- quote(stats::model.frame)
  if (.omits_incomplete(mf, env)) mf$na.action <- .na_omit_frame
  mf <- eval(mf, env)
  mt <- attr(.check_factor_levels(mf), "terms")
  y <- stats::model.response(mf, "numeric")
  if (is.null(y) || !is.null(dim(y)) && NCOL(y) != 1L)
    stop("the formula must have one numeric response", call. = FALSE)
  list(mf = mf, mt = mt, y = y)
}

## Whether model.frame() would drop the incomplete rows of the frame of the
## call `mf` by na.omit(): the call's na.action, else a non-numeric
## "na.action" attribute of the data, else the option na.action, as
## model.frame() chooses.  (Data given by an expression other than a name
## are not evaluated twice: then FALSE.)
.omits_incomplete <- function(mf, env) {
  is_omit <- function(a) identical(a, "na.omit") || identical(a, stats::na.omit)
  data <- mf$data
  if (!is.null(data)) {
    if (is.call(data)) return(FALSE)
    if (is.name(data)) data <- tryCatch(eval(data, env), error = function(e) NULL)
    naa <- attr(data, "na.action")
    if (!is.null(naa) && mode(naa) != "numeric") return(FALSE)
  }
  if (!"na.action" %in% names(mf)) return(is_omit(getOption("na.action")))
  a <- mf$na.action
  if (is.character(a)) return(is_omit(a))
  is.name(a) && is_omit(tryCatch(eval(a, env), error = function(e) NULL))
}

## na.omit() for model.frame(): a frame with no missing value is returned as
## it is, which is what na.omit() makes of it by copying every row; frames
## holding a column that is not a plain vector, matrix or factor (a time
## series loses its class in that copy) go through na.omit() itself.
.na_omit_frame <- function(object, ...) {
  plain <- c("names", "dim", "dimnames", "levels", "class", "contrasts")
  for (v in object) {
    a <- attributes(v)
    if (!is.atomic(v) || anyNA(v) || !all(names(a) %in% plain) ||
        !is.null(a$class) && !identical(a$class, "factor") &&
        !identical(a$class, c("ordered", "factor")) ||
        !is.null(a$dim) && length(a$dim) != 2L)
      return(stats::na.omit(object, ...))
  }
  object
}

## The newdata model matrix and offset of a formula fit, as predict.lm
## builds them: the factor levels and contrasts stored with the fit, offset()
## terms of the formula plus an 'offset' argument of the call.
.newdata_design <- function(object, newdata, na.action = stats::na.pass) {
  tt <- stats::delete.response(object$terms)
  m <- stats::model.frame(tt, newdata, na.action = na.action, xlev = object$xlevels)
  if (!is.null(cl <- attr(tt, "dataClasses"))) stats::.checkMFClasses(cl, m)
  x <- stats::model.matrix(tt, m, contrasts.arg = object$contrasts)
  offset <- stats::model.offset(m)
  if (!is.null(object$call$offset))
    offset <- (if (is.null(offset)) 0 else offset) +
      eval(object$call$offset, newdata, environment(object$terms))
  list(x = x, offset = if (!is.null(offset)) as.vector(offset))
}

## predict(type = "terms") as lm does it: one column per term, the columns
## of the design centred at their means in the fitting data when the model
## has an intercept (the sum of those means times the coefficients is the
## attribute "constant"); offsets are left out.  Aliased (NA) coefficients
## count as 0.
.predict_terms <- function(object, x, mm, beta, terms = NULL) {
  tt <- object$terms
  beta[is.na(beta)] <- 0
  aa <- attr(mm, "assign")
  labels <- attr(tt, "term.labels")
  icpt <- attr(tt, "intercept") > 0L
  const <- 0
  if (icpt) {
    avx <- colMeans(mm)
    const <- sum(avx * beta)
    x <- sweep(x, 2L, avx, check.margin = FALSE)
  }
  pred <- matrix(0, nrow(x), length(labels), dimnames = list(rownames(x), labels))
  for (j in seq_along(labels)) {
    cols <- which(aa == j)
    if (length(cols)) pred[, j] <- x[, cols, drop = FALSE] %*% beta[cols]
  }
  if (!is.null(terms)) {
    bad <- setdiff(terms, labels)
    if (length(bad))
      stop("unknown term(s) in 'terms': ", paste(bad, collapse = ", "), call. = FALSE)
    pred <- pred[, terms, drop = FALSE]
  }
  attr(pred, "constant") <- const
  pred
}

## Cases in reports by row name (the names of the index vector), else by
## position.
.case_labels <- function(i) if (is.null(names(i))) i else names(i)
