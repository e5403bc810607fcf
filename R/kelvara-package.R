#' @keywords internal
"_PACKAGE"
