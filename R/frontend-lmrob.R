## Robust linear regression with a formula: the model frame as lm() builds
## it, the S / M-S start, the MM step, and the fitted object.

lmrob <- function(formula, data, subset, weights = NULL, na.action,
                  method = "MM", init = "S", psi = "bisquare",
                  control = lmrob.config(), model = TRUE, x = TRUE, y = TRUE,
                  contrasts = NULL, offset, ...) {
  cl <- match.call()
  control <- .resolve_control(control, if (!missing(psi)) psi, list(...))
  if (missing(method) && !is.null(control$method)) method <- control$method
  method <- .check_choice(method, c("MM", "S", "SMDM"), "method")
  if (is.character(init)) init <- .check_choice(init, c("S", "M-S"), "init")
  else .check_user_init(init)
  model <- .check_flag(model, "model")
  ret_x <- .check_flag(x, "x")
  ret_y <- .check_flag(y, "y")
  ## The model frame, exactly as lm() makes it.
  fr <- .model_frame(match.call(expand.dots = FALSE), parent.frame())
  mf <- fr$mf
  mt <- fr$mt
  y <- fr$y
  w <- as.vector(stats::model.weights(mf))
  offset <- as.vector(stats::model.offset(mf))
  x <- stats::model.matrix(mt, mf, contrasts)
  fit <- .lmrob_fit(x, y, weights = w, offset = offset, method = method, init = init,
                    control = control, ls_block = .ls_block(mt, mf, x),
                    intercept = attr(mt, "intercept") > 0L)
  fit$call <- cl
  fit$terms <- mt
  fit$na.action <- attr(mf, "na.action")
  fit$xlevels <- stats::.getXlevels(mt, mf)
  fit$contrasts <- attr(x, "contrasts")
  fit$assign <- attr(x, "assign")
  ## lm's model, x and y: what the fit keeps; the methods rebuild the model
  ## matrix from the model frame or the call when it is not kept.
  if (model) fit$model <- mf
  if (!ret_x) fit$x <- NULL
  if (!ret_y) fit$y <- NULL
  fit
}

.check_user_init <- function(init) {
  if (!is.list(init) || !all(c("coefficients", "scale") %in% names(init)) ||
      !is.numeric(init$coefficients) || !is.numeric(init$scale) ||
      length(init$scale) != 1L || !is.finite(init$scale) || init$scale <= 0)
    stop("'init' must be \"S\", \"M-S\" or a list with 'coefficients' and a positive 'scale'",
         call. = FALSE)
  invisible(init)
}

## Settings in '...' override the control list; a psi family given to
## lmrob() replaces the one of the control list, with constants computed
## for it at the same breakdown point and efficiency.
.resolve_control <- function(control, psi, dots) {
  if (!inherits(control, "lmrob_config"))
    stop("'control' must be made by lmrob.config()", call. = FALSE)
  args <- .config_args(control)
  changed <- FALSE
  if (!is.null(psi)) {
    family <- names(.psi_codes)[.psi_codes == .psi_code(psi)]
    if (family != control$psi) {
      if (any(control$tuning_given))
        stop(sprintf("the tuning constants in 'control' are for the %s family, not %s",
                     control$psi, family), call. = FALSE)
      args$psi <- family
      changed <- TRUE
    }
  }
  if (length(dots)) {
    dots <- .old_args(dots, emptyenv())
    known <- setdiff(union(names(formals(lmrob.config)), names(formals(lmrob_control))),
                     "...")
    bad <- setdiff(names(dots), known)
    if (is.null(names(dots)) || any(!nzchar(names(dots))) || length(bad))
      stop("unknown argument(s) to lmrob(): ",
           paste(if (length(bad)) bad else "(unnamed)", collapse = ", "), call. = FALSE)
    args[names(dots)] <- dots
    if ("tuning_chi" %in% names(dots) && !("bb" %in% names(dots))) args$bb <- NULL
    changed <- TRUE
  }
  if (changed) do.call(lmrob.config, args) else control
}

## Columns that the M-S start fits by L1: the intercept and the columns of
## terms made only of factors (also logical and character variables).
.ls_block <- function(mt, mf, x) {
  assign <- attr(x, "assign")
  tf <- attr(mt, "factors")
  if (length(tf) == 0L) return(assign == 0L)
  discrete <- vapply(mf, function(v) is.factor(v) || is.character(v) || is.logical(v), NA)
  term_discrete <- apply(tf, 2L, function(col) {
    vars <- rownames(tf)[col > 0]
    all(discrete[vars] %in% TRUE)
  })
  assign == 0L | term_discrete[pmax(assign, 1L)] & assign > 0L
}

## Random stages under a fixed seed leave the caller's random stream as it was
## (and create none when there was none); NULL uses R's stream.  Shared by
## every estimator with a 'seed' argument.
.with_seed <- function(seed, expr) {
  if (is.null(.check_seed(seed))) return(expr)
  genv <- globalenv()
  had <- exists(".Random.seed", envir = genv, inherits = FALSE)
  if (had) old <- get(".Random.seed", envir = genv, inherits = FALSE)
  on.exit(if (had) assign(".Random.seed", old, envir = genv)
          else if (exists(".Random.seed", envir = genv, inherits = FALSE))
            rm(".Random.seed", envir = genv))
  set.seed(seed)
  expr
}

## The fit on a design matrix: prior weights, offset, aliased columns, the
## initial estimate, the MM step (and the SMDM stages), inference.
.lmrob_fit <- function(x, y, weights = NULL, offset = NULL, method = "MM", init = "S",
                       control = lmrob.config(), ls_block = NULL, intercept = TRUE) {
  ## The settings are validated here once; the stages below take the design
  ## and settings as checked.
  ctrl <- .check_control(control)
  .lmrob_check_input(x, y, weights, offset)
  cn <- colnames(x)
  if (is.null(cn)) cn <- colnames(x) <- paste0("x", seq_len(ncol(x)))
  pr <- .lmrob_problem(x, y, weights, offset, cn)
  init <- .lmrob_init_units(init, pr)
  est <- .lmrob_estimate(pr, method, init, control, ctrl, ls_block, intercept)
  .lmrob_result(x, y, weights, offset, method, control, intercept, cn, pr, est)
}

## The checks of the design, response, offset and prior weights of a fit.
.lmrob_check_input <- function(x, y, weights, offset) {
  n <- NROW(y)
  if (!is.null(offset) && length(offset) != n)
    stop("'offset' must have one value per observation", call. = FALSE)
  .check_finite(y, "the response")
  .check_finite(x, "the design")
  if (!is.null(offset)) .check_finite(offset, "offset")
  if (!is.null(weights)) {
    ## (.all_finite() and min(): no vector of the tests' size)
    if (!is.numeric(weights) || length(weights) != n || !.all_finite(weights) ||
        n > 0L && min(weights) < 0)
      stop("'weights' must be finite and non-negative, one per observation", call. = FALSE)
  }
  if (ncol(x) == 0L)
    stop("the model has no coefficients: the formula has neither an intercept nor a regressor",
         call. = FALSE)
  if (n == 0L)
    stop("no observations to fit: the data (after 'subset' and missing values) are empty",
         call. = FALSE)
  invisible(NULL)
}

## The problem the stages solve: the rows of positive prior weight,
## standardised and weighted (xw, yw), without aliased columns, with the map
## (A, a, scale_unit) back to the units of the data.
.lmrob_problem <- function(x, y, weights, offset, cn) {
  n <- NROW(y)
  y0 <- if (is.null(offset)) y else y - offset
  use <- if (!is.null(weights)) weights > 0
  if (!is.null(use) && !any(use)) stop("every observation has prior weight 0", call. = FALSE)
  ## The fit runs on standardised data (units and origin removed) and on
  ## prior weights divided by a power of two; results are carried back below.
  ## (Only a column constant on every row is an intercept: the fitted values
  ## of rows with weight 0 use the coefficients too.)  The design is copied
  ## only where rows are dropped, a column is moved or rescaled, or the prior
  ## weights are not all equal: at large n a copy of x costs as much as a
  ## pass of the fit, and it stays in memory until the next collection.
  all_used <- is.null(use) || all(use)
  st <- if (all_used) .standardise(x, y0)
        else .standardise(x[use, , drop = FALSE], y0[use], const = .constant_columns(x))
  const <- st$const
  tr <- st$tr
  y_spread <- st$y_spread
  ## sws: the square roots of the prior weights in their unit, NULL where
  ## they are all 1 (multiplying by 1 changes no value).
  sw_unit <- 1
  sws <- NULL
  if (!is.null(weights)) {
    sw <- sqrt(weights)
    if (!all_used) sw <- sw[use]
    sw_unit <- .unit_of(stats::median(sw))
    sws <- sw / sw_unit
    sw <- NULL
    if (min(sws) == 1 && max(sws) == 1) sws <- NULL
  }
  if (is.null(sws)) {
    xw <- st$x
    yw <- st$y
  } else {
    xw <- st$x * sws
    yw <- st$y * sws
  }
  st <- NULL
  ## The stages take xw and yw as checked: they must stay finite in these
  ## units (min and max: one pass each, no copy).  (Where every row is used
  ## with weight 1 and nothing is rescaled, xw is x, whose values are checked.)
  plain <- all_used && is.null(sws) && tr$identity
  if (!plain && !.all_finite(xw) || !.all_finite(yw))
    stop("the design or the response (less the offset) is not representable in the ",
         "units of the fit: rescale the data or the weights", call. = FALSE)
  ## Aliased columns get NA coefficients.
  aliased <- .aliased_columns(xw)
  names(aliased) <- cn
  if (any(aliased))
    warning(sprintf("%d aliased design column(s) (linearly dependent on the others) have NA coefficients: %s",
                    sum(aliased), paste(cn[aliased], collapse = ", ")), call. = FALSE)
  if (any(aliased)) xw <- xw[, !aliased, drop = FALSE]
  p <- ncol(xw)
  nw <- nrow(xw)
  if (p == 0L) stop("the model has no estimable coefficients", call. = FALSE)
  if (nw <= p)
    stop(sprintf("need more observations (%d) than coefficients (%d)", nw, p), call. = FALSE)
  ## The map between standardised and data units, for the columns kept.
  bmap <- .back_map(tr)
  if (tr$icpt > 0L && aliased[tr$icpt] && (any(tr$x_loc != 0) || tr$y_loc != 0))
    stop("the intercept column is aliased with another column", call. = FALSE)
  list(xw = xw, yw = yw, use = use, sws = sws, tr = tr, aliased = aliased, p = p, nw = nw,
       y_spread = if (all_used && is.null(sws)) y_spread,
       const = const[!aliased], standardised = all_used && is.null(sws), plain = plain,
       A = bmap$A[!aliased, !aliased, drop = FALSE], a = bmap$a[!aliased],
       scale_unit = tr$y_unit * sw_unit)
}

## A user's initial estimate in the units of the problem.
.lmrob_init_units <- function(init, pr) {
  if (is.list(init)) {
    b <- init$coefficients
    if (length(b) == length(pr$aliased)) b <- b[!pr$aliased]
    if (length(b) == pr$p && all(is.finite(b)))
      init$coefficients <- .map_inverse(list(A = pr$A, a = pr$a), b)
    init$scale <- init$scale / pr$scale_unit
  }
  init
}

## The problem's data as .fit_data() gives them.  Standardising data that
## are standardised already changes nothing where every row is used with
## weight 1: the spreads are then within the band of units and the
## locations within the origin limit, and the constant columns are those of
## the design.  That second pass over the design is left out there.
.problem_data <- function(pr) {
  if (!pr$standardised) return(.fit_data(pr$xw, pr$yw))
  x <- pr$xw
  y <- .bare(pr$yw)
  p <- ncol(x)
  const <- pr$const
  icpt <- if (any(const)) which(const)[1L] else 0L
  tr <- list(x_loc = numeric(p), x_unit = rep(1, p), y_loc = 0, y_unit = 1,
             icpt = icpt, icpt_value = if (icpt) x[1L, icpt] * 1 else 1,
             has_icpt = any(const), identity = TRUE)
  ## (the response's spread was measured where it is the response given)
  y_spread <- pr$y_spread
  if (is.null(y_spread)) y_spread <- .robust_spread(y)[["spread"]]
  list(x = x, y = y, n = nrow(x), p = p,
       st = list(x = x, y = y, tr = tr, const = const, y_spread = y_spread))
}

## The stages in the units of the problem: the initial estimate, then the MM
## step, and for SMDM the D-scale and the M-step at that scale.
.lmrob_estimate <- function(pr, method, init, control, ctrl, ls_block, intercept) {
  xw <- pr$xw
  yw <- pr$yw
  status <- list()
  d <- .problem_data(pr)
  start <- .with_seed(control$seed, .initial_fit(d, init, control, ctrl,
                                                 ls_block = ls_block[!pr$aliased],
                                                 aliased = pr$aliased))
  status$init <- start$status
  beta <- start$coefficients
  scale <- start$scale
  if (start$method == "M-S" && scale > 0) {
    ## An exact fit found by the M-S search: the rule of the S-estimate, and
    ## scale 0 instead of a scale that is merely tiny.
    ef <- .exact_fit_rule(yw - drop(xw %*% beta), yw, pr$p, control$bb)
    if (ef$exact) {
      warning(sprintf("exact fit: %d of %d observations lie on the fitted hyperplane; the scale is 0",
                      ef$n_on_plane, pr$nw), call. = FALSE)
      scale <- start$scale <- 0
    }
  }
  exact <- isTRUE(scale == 0)
  stages <- rows <- NULL
  final <- "init"
  ## With an exact fit lmrob_S() has warned; no MM step from scale 0.
  if (!exact && method %in% c("MM", "SMDM")) {
    ## (where the MM estimate is the result and the problem is the data
    ## themselves, the rows' values of the result come with it: .lmrob_rows)
    ## (pr$xw is then the design, with the names of the rows)
    rows <- if (method == "MM" && pr$plain && !any(pr$aliased))
              list(intercept = intercept, names = rownames(pr$xw))
    mm <- .stage_MM(d, beta, scale, ctrl, rows = rows)
    status$MM <- mm$status
    beta <- mm$coefficients
    rows <- mm$rows
    final <- "MM"
    if (method == "SMDM") {
      ## the D-scale and the M-step at that scale (R/smdm.R)
      sm <- .stage_SMDM(d, beta, scale, control, ctrl)
      status$D <- sm$status$D
      status$SMDM <- sm$status$M
      stages <- list(MM = list(coefficients = drop(pr$A %*% beta) + pr$a),
                     D = list(scale = sm$scale * pr$scale_unit))
      names(stages$MM$coefficients) <- names(pr$aliased)[!pr$aliased]
      beta <- sm$coefficients
      scale <- sm$scale
    }
  }
  list(start = start, beta = beta, scale = scale, status = status, exact = exact,
       final = final, stages = stages, rows = if (method == "MM" && !exact) rows)
}

## The fit object in the units of the data: coefficients, fitted values,
## residuals, robustness weights, covariances and R^2.
.lmrob_result <- function(x, y, weights, offset, method, control, intercept, cn, pr, est) {
  n <- NROW(y)
  p_all <- ncol(x)
  aliased <- pr$aliased
  use <- pr$use
  p <- pr$p
  A <- pr$A
  a <- pr$a
  beta <- est$beta
  scale <- est$scale
  exact <- est$exact
  status <- est$status
  tuning <- if (est$final == "MM") control$tuning_psi else control$tuning_chi
  coef <- rep(NA_real_, p_all)
  coef[!aliased] <- drop(A %*% beta) + a
  names(coef) <- cn
  ## Where the problem is the data themselves (every row with weight 1, no
  ## change of units: A is the identity and a is 0) and no column is
  ## aliased, its design is x and its coefficients are coef: one compiled
  ## pass over the rows (made with the MM step where that is the estimate)
  ## gives the fitted values, the robustness weights and the sums of the
  ## inference, the values of the R computation below.
  rows <- if (!exact && pr$plain && !any(aliased))
            est$rows %||% .lmrob_rows(x, pr$yw, coef, scale, control$psi, tuning, intercept,
                                      rownames(x))
  ## The robustness weights of the rows fitted (w, and the scaled residuals
  ## u they come from: the inference uses both), NA on rows of prior weight 0.
  rs <- u <- pass <- NULL
  compiled <- !is.null(rows)
  if (compiled) {
    fitted <- rows$fitted
    w <- rows$w
    positive <- rows$sums$positive
  } else {
    fitted <- drop((if (any(aliased)) x[, !aliased, drop = FALSE] else x) %*% coef[!aliased])
    ## The same compiled pass over the rows of the problem (xw, yw, beta,
    ## with its prior weights) gives the weights and the sums of the
    ## inference; the values of the R computation below.
    pass <- if (!exact)
              .lmrob_rows(pr$xw, pr$yw, beta, scale, control$psi, tuning, intercept,
                          sw = pr$sws)
    if (!is.null(pass)) {
      w <- pass$w
      positive <- pass$sums$positive
    } else {
      ## The residuals of the problem (where it is the data themselves, the
      ## product just formed).
      rs <- pr$yw - if (pr$plain) fitted else drop(pr$xw %*% beta)
      if (exact) {
        w <- as.double(.exact_fit_rule(rs, pr$yw, p, control$bb)$on_plane)
      } else {
        u <- rs / scale
        w <- .psi_at(u, .psi_code(control$psi), tuning, "wgt")
        positive <- sum(w > 0)
      }
    }
  }
  if (!exact && est$final == "MM" && positive < p) {
    warning(sprintf("the MM iterations left only %d observation(s) with positive weight",
                    positive), call. = FALSE)
    status$MM$converged <- FALSE
  }
  ## (the inference before the other vectors of the result: its n x p
  ## temporary is the largest)
  inf <- .lmrob_inference(pr$xw, pr$yw, beta, scale, control, tuning, intercept, pr$sws,
                          exact, w = w, r = rs, u = u, sums = (rows %||% pass)$sums)
  rows <- rs <- u <- pass <- NULL
  if (!is.null(offset)) fitted <- fitted + offset
  res <- y - fitted
  rn <- rownames(x)
  ## (the values of the MM step come with these names, the very object:
  ## setting them again would copy each vector)
  named <- function(v) compiled && identical(names(v), rn)
  if (!named(fitted)) names(fitted) <- rn
  names(res) <- rn
  if (length(w) == n) {
    rw <- w
  } else {
    rw <- rep(NA_real_, n)
    rw[use] <- w
  }
  if (!named(rw)) names(rw) <- rn
  start <- est$start
  fit <- list(coefficients = coef, scale = scale * pr$scale_unit, residuals = res,
              fitted.values = fitted, rweights = rw, weights = weights,
              offset = offset, rank = p, df.residual = pr$nw - p, aliased = aliased,
              converged = all(vapply(status, function(s) isTRUE(s$converged), NA)),
              status = status, exact_fit = exact, method = method,
              init = list(method = start$method,
                          coefficients = drop(A %*% start$coefficients) + a,
                          scale = start$scale * pr$scale_unit),
              psi = control$psi, tuning = tuning, control = control,
              intercept = intercept, x = x, y = y)
  cov <- inf$cov
  if (!pr$tr$identity) {
    cov <- A %*% cov %*% t(A)
    dimnames(cov) <- dimnames(inf$cov)
  }
  covs <- list(asymptotic = cov, weighted = inf$cov_weighted)
  if (!pr$tr$identity) covs$weighted[] <- A %*% covs$weighted %*% t(A)
  fit$cov_type <- control$cov_type %||% .default_cov_type(method)
  fit$covs <- covs
  fit$cov <- covs[[fit$cov_type]]
  if (method == "SMDM" && !exact) {
    fit$scale_D <- fit$scale
    fit$stages <- est$stages
  }
  fit$r.squared <- inf$r.squared
  fit$adj.r.squared <- inf$adj.r.squared
  class(fit) <- "lmrob"
  fit
}

## The starting estimate and scale: S, M-S, or a user-supplied pair.
.initial_fit <- function(d, init, control, ctrl, ls_block, aliased) {
  x <- d$x
  y <- d$y
  if (is.list(init)) {
    b <- init$coefficients
    if (length(b) == length(aliased)) b <- b[!aliased]
    if (length(b) != ncol(x) || any(!is.finite(b)))
      stop(sprintf("'init$coefficients' must hold %d finite values", ncol(x)), call. = FALSE)
    return(list(coefficients = as.double(b), scale = as.double(init$scale),
                method = "user", status = list(converged = TRUE, iterations = 0L)))
  }
  if (init == "M-S") {
    if (is.null(ls_block)) ls_block <- apply(x, 2L, function(v) all(v == v[1L]))
    if (!any(ls_block)) {
      message("no intercept or factor columns: the M-S start is the S-estimate")
    } else {
      s <- .stage_M_S(x[, ls_block, drop = FALSE], x[, !ls_block, drop = FALSE], y,
                      control)
      if (!s$found) {
        ## The M-S search stops on an exact fit (a collapsed scale), a failed
        ## draw or a failed L1 fit; the S-estimate handles all of them.
        warning("the M-S search stopped early (an exact fit or a failed subsample); ",
                "the start is the S-estimate", call. = FALSE)
        s <- .stage_S(d, ctrl)
        return(list(coefficients = s$coefficients, scale = s$scale, method = "S",
                    status = s$status))
      }
      b <- numeric(ncol(x))
      b[ls_block] <- s$b1
      b[!ls_block] <- s$b2
      return(list(coefficients = b, scale = s$scale, method = "M-S", status = s$status))
    }
  }
  s <- .stage_S(d, ctrl)
  list(coefficients = s$coefficients, scale = s$scale, method = "S", status = s$status)
}
