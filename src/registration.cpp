// The registration tables: the only ways into the module from R.  The
// records stand in a fixed order, .C routines first; the internal kv_
// routines of the R layer follow the documented ones.
#include "registration.h"

#include <R_ext/Rdynload.h>
#include <Rinternals.h>  // the storage-type numbers REALSXP, INTSXP, LGLSXP

#include "host.h"
#include "l1.h"
#include "lmrob.h"
#include "psi.h"
#include "scale.h"
#include "mcd.h"
#include "lts.h"
#include "univariate.h"
#include "utilities.h"

namespace {
constexpr R_NativePrimitiveArgType KV_REAL = REALSXP;  // double
constexpr R_NativePrimitiveArgType KV_INT = INTSXP;    // integer
constexpr R_NativePrimitiveArgType KV_LGL = LGLSXP;    // logical
// A list, whose vectors the routine reads without the copy .C makes of
// every vector argument (see host.h).
constexpr R_NativePrimitiveArgType KV_LIST = VECSXP;

// clang-format off
// Argument storage types of the .C routines, in argument order.
R_NativePrimitiveArgType Qn0_t[] = {KV_REAL, KV_INT, KV_REAL};
R_NativePrimitiveArgType Sn0_t[] = {KV_REAL, KV_INT, KV_INT, KV_REAL, KV_REAL};
R_NativePrimitiveArgType mc_C_t[] = {KV_REAL, KV_INT, KV_REAL, KV_INT, KV_REAL};
R_NativePrimitiveArgType wgt_himed_i_t[] = {KV_REAL, KV_INT, KV_INT, KV_REAL};
R_NativePrimitiveArgType wgt_himed_t[] = {KV_REAL, KV_INT, KV_REAL, KV_REAL};
R_NativePrimitiveArgType R_lmrob_S_t[] = {
    KV_REAL, KV_REAL, KV_INT, KV_INT, KV_INT, KV_REAL, KV_REAL, KV_REAL, KV_INT, KV_REAL, KV_INT,
    KV_INT, KV_INT, KV_INT, KV_INT, KV_INT, KV_REAL, KV_REAL, KV_LGL, KV_INT, KV_INT, KV_INT};
R_NativePrimitiveArgType R_lmrob_MM_t[] = {
    KV_REAL, KV_REAL, KV_INT, KV_INT, KV_REAL, KV_REAL, KV_REAL, KV_REAL, KV_INT,
    KV_REAL, KV_INT, KV_REAL, KV_REAL, KV_LGL, KV_INT, KV_INT, KV_INT};
R_NativePrimitiveArgType R_psifun_t[] = {KV_REAL, KV_REAL, KV_INT, KV_INT, KV_INT};
R_NativePrimitiveArgType R_chifun_t[] = {KV_REAL, KV_REAL, KV_INT, KV_INT, KV_INT};
R_NativePrimitiveArgType R_wgtfun_t[] = {KV_REAL, KV_REAL, KV_INT, KV_INT};
R_NativePrimitiveArgType R_find_D_scale_t[] = {
    KV_REAL, KV_REAL, KV_REAL, KV_INT, KV_REAL, KV_REAL, KV_INT, KV_INT, KV_REAL, KV_INT, KV_LGL};
R_NativePrimitiveArgType R_calc_fitted_t[] = {
    KV_REAL, KV_REAL, KV_REAL, KV_INT, KV_INT, KV_INT, KV_INT, KV_INT};
R_NativePrimitiveArgType R_lmrob_M_S_t[] = {
    KV_REAL, KV_REAL, KV_REAL, KV_REAL, KV_INT, KV_INT, KV_INT, KV_INT, KV_REAL, KV_REAL,
    KV_REAL, KV_REAL, KV_INT, KV_REAL, KV_INT, KV_INT, KV_REAL, KV_REAL, KV_LGL, KV_INT,
    KV_LGL, KV_LGL, KV_LGL, KV_INT, KV_INT};
R_NativePrimitiveArgType R_subsample_t[] = {
    KV_REAL, KV_REAL, KV_INT, KV_INT, KV_REAL, KV_INT, KV_INT, KV_INT, KV_REAL, KV_REAL,
    KV_INT, KV_REAL, KV_REAL, KV_INT, KV_INT, KV_INT, KV_LGL, KV_INT, KV_INT, KV_REAL};
R_NativePrimitiveArgType kv_lmrob_S_t[] = {
    KV_REAL, KV_REAL, KV_INT, KV_INT, KV_INT, KV_REAL, KV_REAL, KV_REAL, KV_INT, KV_REAL, KV_INT,
    KV_INT, KV_INT, KV_INT, KV_INT, KV_INT, KV_REAL, KV_REAL, KV_LGL, KV_INT, KV_INT, KV_INT,
    KV_INT};
R_NativePrimitiveArgType kv_lmrob_S_resid_t[] = {
    KV_LIST, KV_INT, KV_INT, KV_INT, KV_REAL, KV_REAL, KV_REAL, KV_INT, KV_REAL, KV_INT,
    KV_INT, KV_INT, KV_INT, KV_INT, KV_INT, KV_REAL, KV_REAL, KV_LGL, KV_INT, KV_INT, KV_INT,
    KV_INT, KV_REAL, KV_INT, KV_REAL, KV_INT};
R_NativePrimitiveArgType kv_residuals_t[] = {KV_LIST, KV_INT, KV_INT, KV_REAL, KV_REAL};
R_NativePrimitiveArgType kv_lmrob_MM_rows_t[] = {
    KV_LIST, KV_INT, KV_INT, KV_REAL, KV_REAL, KV_REAL, KV_INT, KV_REAL, KV_INT,
    KV_REAL, KV_REAL, KV_LGL, KV_INT, KV_INT, KV_REAL, KV_REAL, KV_REAL, KV_REAL, KV_INT,
    KV_INT};
R_NativePrimitiveArgType kv_lmrob_M_S_t[] = {
    KV_REAL, KV_REAL, KV_REAL, KV_REAL, KV_INT, KV_INT, KV_INT, KV_INT, KV_REAL, KV_REAL,
    KV_REAL, KV_REAL, KV_INT, KV_REAL, KV_INT, KV_INT, KV_REAL, KV_REAL, KV_LGL, KV_INT,
    KV_LGL, KV_LGL, KV_LGL, KV_INT, KV_INT, KV_INT, KV_INT};
R_NativePrimitiveArgType kv_lmrob_MM_t[] = {
    KV_REAL, KV_REAL, KV_INT, KV_INT, KV_REAL, KV_REAL, KV_REAL, KV_REAL, KV_INT,
    KV_REAL, KV_INT, KV_REAL, KV_REAL, KV_LGL, KV_INT, KV_INT, KV_INT};
R_NativePrimitiveArgType kv_lmrob_MM_list_t[] = {
    KV_LIST, KV_INT, KV_INT, KV_REAL, KV_REAL, KV_REAL, KV_REAL, KV_INT,
    KV_REAL, KV_INT, KV_REAL, KV_REAL, KV_LGL, KV_INT, KV_INT, KV_INT};
R_NativePrimitiveArgType kv_wls_t[] = {
    KV_REAL, KV_REAL, KV_REAL, KV_INT, KV_INT, KV_REAL, KV_INT, KV_INT, KV_INT};
R_NativePrimitiveArgType kv_lmrob_rows_t[] = {
    KV_LIST, KV_INT, KV_INT, KV_REAL, KV_REAL, KV_REAL, KV_INT, KV_INT, KV_INT, KV_REAL,
    KV_REAL, KV_REAL, KV_REAL, KV_INT};
R_NativePrimitiveArgType kv_constants_t[] = {KV_INT, KV_INT, KV_REAL, KV_INT};
R_NativePrimitiveArgType kv_constant_columns_t[] = {KV_LIST, KV_INT, KV_INT, KV_INT};
R_NativePrimitiveArgType kv_sample_spreads_t[] = {KV_LIST, KV_INT, KV_INT, KV_INT, KV_INT,
                                                  KV_INT, KV_REAL, KV_REAL, KV_INT};
R_NativePrimitiveArgType kv_ggw_table_t[] = {KV_REAL, KV_REAL};
R_NativePrimitiveArgType kv_threads_t[] = {KV_INT, KV_INT};
// The package's own entry points of the MCD and LTS searches.
R_NativePrimitiveArgType kv_fastmcd_t[] = {
    KV_REAL, KV_INT, KV_INT, KV_INT, KV_INT, KV_INT, KV_REAL, KV_REAL, KV_INT, KV_INT,
    KV_REAL, KV_REAL, KV_INT, KV_REAL, KV_INT, KV_REAL, KV_INT, KV_REAL, KV_REAL, KV_REAL};
R_NativePrimitiveArgType kv_mcd_search_t[] = {
    KV_REAL, KV_INT, KV_INT, KV_REAL, KV_REAL, KV_REAL, KV_INT, KV_INT, KV_INT, KV_REAL,
    KV_REAL, KV_INT, KV_INT, KV_REAL, KV_REAL, KV_INT, KV_REAL, KV_INT, KV_REAL, KV_INT,
    KV_REAL, KV_REAL, KV_REAL};
R_NativePrimitiveArgType kv_mcd_distances_t[] = {
    KV_REAL, KV_INT, KV_INT, KV_REAL, KV_REAL, KV_INT, KV_REAL, KV_REAL, KV_REAL};
R_NativePrimitiveArgType kv_mcd_moments_t[] = {
    KV_REAL, KV_INT, KV_INT, KV_INT, KV_INT, KV_INT, KV_REAL, KV_REAL};
R_NativePrimitiveArgType kv_mcd_prescale_t[] = {
    KV_REAL, KV_INT, KV_INT, KV_INT, KV_INT, KV_REAL, KV_REAL, KV_REAL};
R_NativePrimitiveArgType kv_ltsreg_t[] = {
    KV_LIST, KV_INT, KV_INT, KV_INT, KV_INT, KV_INT, KV_INT, KV_INT, KV_INT, KV_INT,
    KV_INT, KV_REAL, KV_REAL, KV_REAL, KV_REAL, KV_REAL};
R_NativePrimitiveArgType kv_mcd_reweight_t[] = {
    KV_REAL, KV_INT, KV_INT, KV_REAL, KV_REAL, KV_REAL, KV_REAL, KV_REAL, KV_REAL, KV_REAL,
    KV_REAL, KV_REAL, KV_INT, KV_INT, KV_REAL, KV_REAL, KV_REAL, KV_REAL, KV_REAL, KV_REAL,
    KV_INT, KV_INT};
R_NativePrimitiveArgType kv_mcd_scaled_search_t[] = {
    KV_LIST, KV_INT, KV_INT, KV_INT, KV_INT, KV_REAL, KV_REAL, KV_REAL, KV_REAL,
    KV_INT, KV_INT, KV_INT, KV_REAL, KV_REAL, KV_INT, KV_INT, KV_REAL, KV_REAL, KV_INT,
    KV_REAL, KV_INT, KV_REAL, KV_INT, KV_REAL, KV_REAL, KV_REAL, KV_REAL, KV_REAL,
    KV_REAL, KV_REAL, KV_REAL, KV_INT, KV_INT, KV_REAL, KV_REAL, KV_REAL, KV_REAL,
    KV_REAL, KV_REAL, KV_INT, KV_INT};
R_NativePrimitiveArgType kv_rows_triangle_t[] = {
    KV_REAL, KV_INT, KV_INT, KV_REAL, KV_INT, KV_INT, KV_INT, KV_REAL};
R_NativePrimitiveArgType kv_cross_product_t[] = {KV_LIST, KV_INT, KV_INT, KV_INT, KV_REAL};
R_NativePrimitiveArgType kv_lts_kept_fit_t[] = {KV_LIST, KV_INT, KV_INT, KV_REAL, KV_REAL, KV_REAL};
R_NativePrimitiveArgType kv_all_finite_t[] = {KV_LIST, KV_REAL, KV_LGL};
R_NativePrimitiveArgType kv_lts_case_pass_t[] = {
    KV_LIST, KV_INT, KV_INT, KV_REAL, KV_INT, KV_INT, KV_REAL, KV_REAL, KV_REAL, KV_REAL,
    KV_LGL, KV_LGL, KV_REAL, KV_INT};
// clang-format on

// Through void (*)(void), the one function type that casts silently.
#define KV_FN(f) reinterpret_cast<DL_FUNC>(reinterpret_cast<void (*)(void)>(&f))
#define CDEF(name, n) {#name, KV_FN(name), n, name##_t}
#define FDEF(name, n) {#name, KV_FN(name##_), n, nullptr}

const R_CMethodDef c_methods[] = {
    CDEF(Qn0, 3),
    CDEF(Sn0, 5),
    CDEF(mc_C, 5),
    CDEF(wgt_himed_i, 4),
    CDEF(wgt_himed, 4),
    CDEF(R_lmrob_S, 22),
    CDEF(R_lmrob_MM, 17),
    CDEF(R_psifun, 5),
    CDEF(R_chifun, 5),
    CDEF(R_wgtfun, 4),
    CDEF(R_find_D_scale, 11),
    CDEF(R_calc_fitted, 8),
    CDEF(R_lmrob_M_S, 25),
    CDEF(R_subsample, 20),
    // Internal routines of the R layer.
    CDEF(kv_lmrob_S, 23),
    CDEF(kv_lmrob_M_S, 27),
    CDEF(kv_constants, 4),
    CDEF(kv_ggw_table, 2),
    CDEF(kv_fastmcd, 20),
    CDEF(kv_ltsreg, 16),
    CDEF(kv_lmrob_MM, 17),
    CDEF(kv_wls, 9),
    CDEF(kv_threads, 2),
    CDEF(kv_mcd_search, 23),
    CDEF(kv_mcd_distances, 9),
    CDEF(kv_mcd_moments, 8),
    CDEF(kv_mcd_prescale, 8),
    // The MCD search with its reweighting, and the reweighting alone.
    CDEF(kv_mcd_reweight, 22),
    CDEF(kv_mcd_scaled_search, 41),
    // The triangular factor of row subsets (R/blockwise.R) and the pass
    // over the cases after the LTS search.
    CDEF(kv_rows_triangle, 8),
    CDEF(kv_lts_case_pass, 14),
    CDEF(kv_cross_product, 5),
    CDEF(kv_lts_kept_fit, 6),
    CDEF(kv_all_finite, 3),
    // The rows of lmrob()'s result: fitted values, weights, inference sums.
    CDEF(kv_lmrob_rows, 14),
    CDEF(kv_lmrob_S_resid, 26),
    CDEF(kv_lmrob_MM_rows, 20),
    CDEF(kv_residuals, 5),
    CDEF(kv_lmrob_MM_list, 16),
    // The standardisation of the R layer, from list arguments.
    CDEF(kv_constant_columns, 4),
    CDEF(kv_sample_spreads, 9),
    {nullptr, nullptr, 0, nullptr}};

const R_FortranMethodDef fortran_methods[] = {
    FDEF(rffastmcd, 48),
    FDEF(rfltsreg, 42),
    FDEF(rllarsbi, 18),
    {nullptr, nullptr, 0, nullptr}};
}  // namespace

extern "C" {

void R_init_kelvara(DllInfo* dll) {
  R_registerRoutines(dll, c_methods, nullptr, fortran_methods, nullptr);
  R_useDynamicSymbols(dll, FALSE);
}

}  // extern "C"
