// Robust regression: non-singular subsampling of the design, the S-estimator
// by the fast-S algorithm (with nested subsampling for large samples) and
// the MM-estimator by iteratively reweighted least squares, and the M-S
// estimator for designs with a block fitted by L1 regression.
//
// Matrices are column-major (element (i, j) of an n-row matrix at i + j * n)
// and all indices are 0-based.
#ifndef KELVARA_LMROB_H
#define KELVARA_LMROB_H

#include <cstdint>
#include <vector>

namespace kelvara {

// ---- constants the R layer shares --------------------------------------------

// Above this many observations the S search runs on nested subsamples.
constexpr int fast_s_large_n_threshold = 2000;
// Residuals below this in absolute value count as zero in the exact-fit test.
constexpr double exact_fit_tol = 1e-10;
// The M-S search treats an M-scale below this as an exact fit.
constexpr double ms_min_scale = 1e-10;
// The L1 routine reports the (n/2+1)-th smallest absolute residual divided by
// this, the value of that order statistic at the standard normal.
constexpr double l1_scale_divisor = 0.773372647623;
// The scale of an empty best-list slot, and of an M-S search before its first
// candidate: larger than any M-scale of data that can be fitted.
constexpr double unset_scale = 1e20;

// The iteration limit of the M-scale solves inside R_lmrob_S's search and
// R_lmrob_M_S, whose argument lists carry no such setting.
constexpr int fixed_max_it_scale = 200;

// ---- outcomes ---------------------------------------------------------------
// The regression drivers report what happened in a fit_report and never print
// a status message or raise for an expected outcome.  The kv_ entry points
// write it into an integer status vector (slots below; the R layer keeps the
// same tables in R/codes.R); the documented R_ entry points turn it into their
// console text, warnings, scale -1 and errors.

// Slot 0 of the status vector.
enum fit_code : int {
  FIT_OK = 0,
  FIT_EXACT = 1,         // exact fit: the M-scale of the best candidate is 0
                         // (in the M-S search: below ms_min_scale)
  FIT_NO_SUBSAMPLE = 2,  // a draw failed; detail: the subsample_status
  FIT_L1_FAILED = 3,     // an L1 fit of the M-S search or descent lost
                         // precision; detail: kode
  FIT_FEW_X2_ROWS = 4,   // M-S: fewer cases with a nonzero x2 row than x2 columns;
                         // detail: the number of such cases
  FIT_NO_CANDIDATE = 5   // no candidate got a scale below unset_scale: the
                         // outputs hold no estimate (R_ entries still write them)
};

// How the M-S descent ended (slot STATUS_DESCENT).
enum descent_end : int {
  DESCENT_NOT_RUN = 0,
  DESCENT_SETTLED = 1,     // the coefficients settled
  DESCENT_NO_IMPROVE = 2,  // max_no_improve steps without a smaller scale
  DESCENT_STEP_LIMIT = 3,  // max_steps reached
  DESCENT_FAILED = 4       // an L1 fit lost precision; detail: kode
};

enum status_slot : int {
  STATUS_CODE = 0,
  STATUS_DETAIL = 1,
  STATUS_SCALE_UNCONVERGED = 2,         // M-scale solves that reached max_it_scale
  STATUS_RESULT_SCALE_UNCONVERGED = 3,  // 1 when the result's scale is such a solve
  STATUS_REFINE_UNCONVERGED = 4,        // final refinements that reached max_refine
  STATUS_DESCENT = 5,                   // a descent_end
  STATUS_SINGULAR = 6,     // singular subsamples met (restarts or replacements)
  STATUS_ORTH_FAILED = 7,  // kode of a failed L1 orthogonalisation, else 0
  STATUS_LENGTH = 8
};

// Events in the order they happened, for the entry points that report them
// as text.
enum event_kind : int {
  EV_SCALE_NOT_CONVERGED,   // a: max_it_scale
  EV_REFINE_NOT_CONVERGED,  // a: iterations, x: tolerance
  EV_NO_REPLACEMENT,
  EV_TOO_MANY_SINGULAR,
  EV_FEW_X2_ROWS,       // a: cases with a nonzero row, b: columns
  EV_ORTH_L1_FAILED,    // a: kode
  EV_SEARCH_L1_FAILED,  // a: kode
  EV_SCALE_TOO_SMALL,
  EV_DESCENT_STEP_LIMIT
};

struct fit_event {
  event_kind kind;
  int a, b;
  double x;
};

struct fit_report {
  int code = FIT_OK;
  int detail = 0;
  int scale_unconverged = 0;
  bool result_scale_unconverged = false;
  int refine_unconverged = 0;
  int descent = DESCENT_NOT_RUN;
  std::int64_t singular = 0;
  int orth_failed = 0;
  // Only the entry points that announce events keep them: a long descent
  // may meet one per step.
  bool keep_events = true;
  std::vector<fit_event> events;

  void note(event_kind kind, int a = 0, int b = 0, double x = 0.0) {
    if (keep_events) events.push_back({kind, a, b, x});
  }
  // Records an M-scale solve; returns its scale.
  double scale_solved(double s, bool converged, int max_it) {
    if (!converged) {
      ++scale_unconverged;
      note(EV_SCALE_NOT_CONVERGED, max_it);
    }
    return s;
  }
  // Records a failed subsample draw (status of subsample()).
  void draw_failed(int status);
  // The status vector of the kv_ entry points (STATUS_LENGTH values).
  void write(int* status) const;
  // The events as the documented entry points report them: warnings, and
  // the console text of the M-S search.
  void announce() const;
};

// ---- non-singular subsampling ------------------------------------------

/** out[0..k-1] receives k distinct values of 0..n-1 in random order (one
 *  uniform per value); work[0..n-1] is scratch.  Needs 0 <= k <= n and the
 *  caller's rng_begin(). */
void sample_noreplace(int* out, int n, int k, int* work);

/** The design equilibration: copies the n x p design x into xe and scales
 *  the copy by rows and/or columns as LAPACK dgeequ/dlaqge judge necessary.
 *  row_scale (n), col_scale (p) receive the factors, row_equ / col_equ (0/1)
 *  whether they were applied.  A zero row or column throws. */
void equilibrate_design(const double* x, int n, int p, double* xe, double* row_scale,
                        double* col_scale, int* row_equ, int* col_equ);

// Status of subsample().
enum subsample_status : int {
  SUBSAMPLE_OK = 0,
  SUBSAMPLE_NO_REPLACEMENT = 1,    // replacement mode ran out of observations
  SUBSAMPLE_TOO_MANY_SINGULAR = 2  // restart mode reached max_singular
};

/** Draws p observations of the equilibrated design x (n x p) whose p x p
 *  submatrix is non-singular (pivots of magnitude >= tol) by an incremental
 *  left-looking LU factorisation, and solves for their exact fit, written to
 *  beta on the scale of the unequilibrated design.
 *
 *  idc (n) receives the order of the observations, its first p entries the
 *  chosen ones; perm_work (n) is scratch; var_order (p), lu (p x p), pivot
 *  (p; 0..p-2 used) receive the factorisation, col_work (p) is scratch.
 *  sample > 0 draws a random order (else 0, 1, ..., n-1); nonsingular != 0
 *  replaces a rejected observation by the next one from the end of the
 *  order, otherwise the whole draw restarts, at most max_singular times.
 *  Returns a subsample_status (and says nothing); beta is meaningful only for
 *  SUBSAMPLE_OK.  *singular (if given) counts the singular draws met. */
int subsample(const double* x, const double* y, int n, int p, double* beta,
              int* perm_work, int* idc, int* var_order, double* lu, double* col_work,
              int* pivot, const double* row_scale, const double* col_scale, int row_equ,
              int col_equ, int sample, int max_singular, int nonsingular, double tol,
              std::int64_t* singular = nullptr);

/** The warning of a failed subsample() draw. */
void warn_subsample_failed(int status);

/** The storage of repeated subsampling of one design: equilibrates a copy of
 *  x on construction (throws on a zero row or column) and owns every array
 *  subsample() needs, so that nothing leaks on any path. */
struct subsample_workspace {
  subsample_workspace(const double* x, int n, int p);

  /** One random draw (sample = 1) into beta (p). */
  int draw(const double* y, double* beta, int max_singular, int nonsingular, double tol);

  int n, p;
  std::vector<double> xe;  // the equilibrated copy of the design
  std::vector<double> row_scale, col_scale, lu, col_work;
  std::vector<int> perm_work, idc, var_order, pivot;
  int row_equ = 0, col_equ = 0;
  std::int64_t singular = 0;  // singular draws met by draw()
};

// ---- fast-S ---------------------------------------------------------------

// The settings of one S fit.
struct s_settings {
  int n_resample;    // random subsamples (in each group for large samples)
  int n_best;        // length of the best list
  int n_groups;      // groups of the large-sample search
  int group_size;    // observations per group
  int refine_steps;  // reweighting steps of each candidate
  int max_refine;    // step limit of the refinements to convergence
  int max_it_scale;  // iteration limit of every M-scale solve
  double refine_tol;
  double tol;  // pivot tolerance of the subsample draws
  int max_singular;
  int nonsingular;
  int trace_level;
  double b;         // right-hand side of the M-scale equation
  const double* k;  // tuning constants of the chi function
  int ipsi;
  bool reference_ls;  // every weighted least-squares step by LAPACK dgels
};

// The result of an S fit: the coefficients (p), the scale (-1 when subsampling failed,
// 0 for an exact fit), whether every final refinement converged and the
// largest iteration count of those refinements.
struct s_result {
  double* coef;
  double* scale;
  int* converged;
  int* max_refine;
};

/** The S-estimate: fast_s for at most fast_s_large_n_threshold observations,
 *  else fast_s_large_n.  With n_resample <= 0 the M-scale of y alone (p
 *  coefficients, from *res.scale; nothing else is written).  Refuses
 *  dimensions and settings that cannot be run. */
void lmrob_s(const double* x, const double* y, int n, int p, const s_settings& set,
             const s_result& res, fit_report& report);

/** The S-estimate by fast-S: n_resample random exact fits, each refined by
 *  refine_steps reweighting steps and kept in a best list of n_best when its
 *  M-scale is small enough; the list entries are then refined to
 *  convergence (at most max_refine steps, relative tolerance refine_tol). */
void fast_s(const double* x, const double* y, int n, int p, const s_settings& set,
            const s_result& res, fit_report& report);

// ---- weighted least squares -------------------------------------------------

/** The weighted least-squares fits min |sqrt(w) (y - x b)| of the reweighting
 *  steps, on designs of up to n rows and p columns, with storage reused from
 *  step to step.
 *
 *  The fast path forms the weighted cross-product of [x | y] from partial
 *  sums over fixed chunks of chunk_rows rows (on all threads when the caller
 *  is not already on one of many; the partial sums are added in chunk order,
 *  so the result does not depend on the thread count), equilibrates its
 *  columns and solves the normal equations by a Cholesky factor R.  It is
 *  taken only when the 1-norm condition number of R is at most kappa_max:
 *  their rounding error grows like kappa^2 * DBL_EPSILON relative, and at
 *  this bound stayed below about 2e-11 relative to the Householder fit on
 *  off-centre designs with gross outliers.  Otherwise, or when the data are
 *  out of range, the fit goes to the streaming core.
 *
 *  The streaming core folds the weighted rows, a block of block_rows at a
 *  time, into a p x (p + 1) triangle [R | Q'y] by Householder reflections:
 *  one pass over the data per fit, no weighted copy of the design, and the
 *  range of the data checked on the way.  A fit whose data are not finite or
 *  out of the range where plain sums of squares are safe, or whose weighted
 *  design is numerically rank-deficient (a diagonal of R below rank_guard
 *  times its column's norm), is handed to LAPACK dgels instead, which then
 *  decides (and reports a rank deficiency).  With reference set, every fit
 *  goes to dgels. */
struct wls_workspace {
  static constexpr int block_rows = 128;
  static constexpr double rank_guard = 1e-9;
  static constexpr int chunk_rows = 4096;
  static constexpr double kappa_max = 50.0;

  wls_workspace(int n, int p, bool reference, int trace_level);

  /** beta (p) receives the solution for the n x p design x (leading dimension
   *  n), response y and weights (n, non-negative).  Returns 0, or with
   *  no_throw the dgels info of a rank-deficient weighted design (else that
   *  throws, after tracing the weights when trace_level > 2). */
  int solve(const double* x, const double* y, const double* w, int n, int p, double* beta,
            bool no_throw = false);

  /** solve with the weights wgt(r[i] / s, k, ipsi) (r: n residuals), made
   *  into `weights` by the pass that forms the cross-product rather than by
   *  a pass of their own, in parts, so that callers may run the chunks of
   *  several fits in one parallel region: when fuses_weights(n, p),
   *  normal_prepare on the calling thread, normal_chunk(.., c, r, s, k, ipsi)
   *  for every chunk c of chunk_rows rows (any thread, any order), then
   *  finish_reweighted on the calling thread.  Otherwise the caller makes the
   *  weights and calls solve. */
  bool fuses_weights(int n, int p) const { return n >= 1 && p >= 1 && !reference; }
  void normal_prepare(int n, int p);
  // With wr != nullptr the weights w (then `weights`) are made from the
  // residuals wr, scale ws and family (wk, wpsi), a block of rows before use.
  void normal_chunk(const double* x, const double* y, const double* w, int n, int p, int c,
                    const double* wr, double ws, const double* wk, int wpsi);
  int finish_reweighted(const double* x, const double* y, int n, int p, double* beta);

  bool reference;
  int trace_level;
  int lwork;                         // of dgels, queried once
  std::vector<double> weights, res;  // n each: the caller's
  std::vector<double> wy;            // n: the dgels response, and scratch; on first use
  std::vector<double> wx, work;      // the dgels design and workspace, on first use
  std::vector<double> block, root_w, tri, col_ss, col_work;
  std::vector<double*> col_ptr;
  std::vector<const double*> src_ptr;
  std::vector<double> chunk_sums;   // per chunk: the cross-product's upper triangle
  std::vector<double> gram, chol;   // (p + 1) x (p + 1), p x p
  std::vector<double> pass_sums;    // per chunk: a sum over the residuals
  int fallbacks = 0;     // fits handed to dgels by the streaming core
  int householder = 0;   // fits the condition guard handed to the streaming core

 private:
  bool normal_equations(const double* x, const double* y, const double* w, int n, int p,
                        double* beta);
  // The normal equations from the chunks' cross-products (false: refused).
  bool normal_finish(int n, int p, double* beta);
  bool stream(const double* x, const double* y, const double* w, int n, int p,
              double* beta);
  int dgels_fit(const double* x, const double* y, const double* w, int n, int p,
                double* beta, bool no_throw);
};

/** The settings of a reweighting refinement. */
struct refine_settings {
  int refine_steps;  // steps of a fresh candidate
  int max_refine;    // step limit of a refinement to convergence
  double refine_tol;
  int trace_level;
  double b;         // right-hand side of the M-scale equation
  const double* k;  // tuning constants of the chi function
  int ipsi;
};

/** Reweighting refinement of beta_cand, whose residuals res (n) the caller
 *  has computed: set.refine_steps steps (*conv == 0) or steps until the
 *  relative change is below set.refine_tol, at most set.max_refine (*conv !=
 *  0; cleared when that fails).  ws is the workspace of the calling thread
 *  (its weights receive those of the last step); res receives the residuals
 *  of the result after the fixed steps.  Returns the number of steps;
 *  beta_ref and *scale receive the result, beta_cand is overwritten.
 *  initial_scale < 0 starts from the MAD of the residuals (their mean
 *  absolute value when that is 0).  A candidate whose M-scale is 0 (see
 *  exact_candidate) ends at once with scale 0.  Prints only for
 *  trace_level > 2, so that lower levels may run on any thread. */
int refine_fast_s(const double* x, const double* y, int n, int p,
                  const refine_settings& set, wls_workspace& ws, double* res,
                  double* beta_cand, int* conv, double initial_scale, double* beta_ref,
                  double* scale);

/** Whether a candidate with residuals res (n) has M-scale 0: more than
 *  (n + p) / 2 zero residuals, or too few non-zero ones for the M-scale
 *  equation to have a positive root. */
bool exact_candidate(const double* res, int n, int p, double b);

/** fast-S for large samples: the search runs on n_groups disjoint random
 *  groups of group_size observations, its candidates are refined on their
 *  union and the best n_best of those to convergence on all n. */
void fast_s_large_n(const double* x, const double* y, int n, int p, const s_settings& set,
                    const s_result& res, fit_report& report);


// ---- MM step --------------------------------------------------------------

/** M-estimate of regression with the fixed scale, by iteratively reweighted
 *  least squares from b_init until the L1 change of the coefficients is at
 *  most eps * max(eps, |b1|_1).  *max_it: in, the limit (at most max_it - 1
 *  steps run); out, the step that converged or the limit.  b1 (p) and resid
 *  (n) receive the result, *loss the mean rho of the residuals.  Returns 1 if
 *  converged, else 0. */
int rwls(const double* X, const double* y, int n, int p, double* b1, const double* b_init,
         double* resid, double* loss, double scale, double eps, int* max_it,
         const double* k, int ipsi, int trace, bool reference_ls);

}  // namespace kelvara

extern "C" {
void R_lmrob_S(const double* x, const double* y, const int* n, const int* p,
               const int* n_resample, double* scale, double* beta, const double* k,
               const int* ipsi, const double* b, const int* n_best, const int* n_groups,
               const int* group_size, const int* refine_steps, int* max_refine,
               const int* max_it_scale, const double* refine_tol, const double* tol,
               int* converged, const int* trace_level, const int* max_singular,
               const int* nonsingular);
void R_lmrob_MM(const double* X, const double* y, const int* n, const int* p,
                const double* b_init, const double* scale, double* b1, double* resid,
                int* max_it, const double* k, const int* ipsi, double* loss,
                const double* eps, int* converged, const int* trace,
                const int* /* not read */, const int* /* not read */);
// The MM step of R_lmrob_MM with the streaming least-squares core (R_lmrob_MM
// keeps LAPACK dgels; see wls_workspace).
void kv_lmrob_MM(const double* X, const double* y, const int* n, const int* p,
                 const double* b_init, const double* scale, double* b1, double* resid,
                 int* max_it, const double* k, const int* ipsi, double* loss,
                 const double* eps, int* converged, const int* trace, const int*,
                 const int*);
// kv_lmrob_MM on the design and response of `data`, a list(X, y) argument
// (read without a copy: see host.h).  resid receives the residuals only
// when *keep_residuals.  The steps run only when at least p rows get a
// positive weight wgt(r / scale) at b_init (r as R's drop(y - X %*% b_init));
// *positive receives their number (-1: a residual is not finite).
void kv_lmrob_MM_list(const void* data, const int* n, const int* p, const double* b_init,
                      const double* scale, double* b1, double* resid, int* max_it,
                      const double* k, const int* ipsi, double* loss, const double* eps,
                      int* converged, const int* trace, const int* keep_residuals,
                      int* positive);
// kv_lmrob_MM_list (without its residuals) followed by kv_lmrob_rows on its data
// at the coefficients it reaches and its scale: intercept, then
// kv_lmrob_rows' outputs (fitted, w, sums, xtwx) and status, then positive.
void kv_lmrob_MM_rows(const void* data, const int* n, const int* p, const double* b_init,
                      const double* scale, double* b1, int* max_it, const double* k,
                      const int* ipsi, double* loss, const double* eps, int* converged,
                      const int* trace, const int* intercept, double* fitted, double* w,
                      double* sums, double* xtwx, int* rows_status, int* positive);
// One weighted least-squares fit of the n x p design x, response y and
// weights w into beta (p): by the streaming core (*reference == 0) or by
// dgels; *info receives dgels' rank report (0 when of full rank) and
// *fallback 1 when the streaming core handed the fit to dgels.
void kv_wls(const double* x, const double* y, const double* w, const int* n, const int* p,
            double* beta, const int* reference, int* info, int* fallback);
// r = y - x beta (n) of the list(x, y) `data`, as kv_lmrob_S_resid forms
// its residuals (the values of R's drop(y - x %*% beta)).
void kv_residuals(const void* data, const int* n, const int* p, const double* beta,
                  double* r);
// The fitted values x beta, the weights w = wgt((y - x beta) / scale) and
// the sums and weighted cross-product of the inference of lmrob()'s result,
// each the value of the R computation it stands for (see lmrob.cpp); sums
// (6): mean(psi^2), mean(psi'), sum(w), sum(w > 0), weighted total and
// residual sums of squares; xtwx p x p.  *status 1: residuals not finite
// (nothing to use).  x and y come as the list(x, y, sw) `data`; with
// *has_prior, sw (n) are the square roots of the prior weights that x and y
// carry, which centre the total sum of squares.
void kv_lmrob_rows(const void* data, const int* n, const int* p, const double* beta,
                   const double* scale, const double* k, const int* ipsi,
                   const int* intercept, const int* has_prior, double* fitted, double* w,
                   double* sums, double* xtwx, int* status);
void R_subsample(const double* x, const double* y, const int* n, const int* p,
                 double* beta, int* perm_work, int* idc, int* var_order, double* lu,
                 double* col_work, int* pivot, double* row_scale, double* col_scale,
                 int* row_equ, int* col_equ, int* status, const int* sample,
                 const int* max_singular, const int* nonsingular, const double* tol);
}

// ---- M-S estimator: a block X1 fitted by L1 regression and a block X2 of
// continuous columns (matrices column-major, leading dimension n, 0-based).
namespace kelvara {

// The data and settings every stage of an M-S fit shares.
struct ms_problem {
  const double* X1;  // n x p1
  const double* X2;  // n x p2
  const double* y;   // n
  int n, p1, p2;
  const double* b;  // right-hand side of the M-scale equation
  const double* k;  // tuning constants of the chi function
  int ipsi;
  int max_it_scale;
  double descent_tol;  // tolerance of the L1 fits and of the descent
  int trace_level;
  bool reference_ls;  // the weighted least-squares steps by LAPACK dgels
};

struct ms_search_settings {
  int n_resample;
  double tol;  // pivot tolerance of the draws
  int max_singular;
  int nonsingular;
};

struct ms_descent_settings {
  int max_no_improve;
  int max_steps;
};

// The fit an M-S stage works on: coefficients of both blocks, residuals (n)
// and the M-scale.
struct ms_fit {
  double* b1;
  double* b2;
  double* res;
  double scale;
};

// The outputs and scratch arrays of the L1 routine, shared by every L1 call
// of one M-S fit, and a copy of X1 for it to overwrite.
struct l1_call_state {
  explicit l1_call_state(int n, int p1);
  int nit = 0, k_rank = 0, kode = 0;
  double sigma = 0.0;
  double bet0 = l1_scale_divisor;
  double* x1_work;  // n x p1
  double *sc1, *sc2, *sc3, *sc4;
};

// Working storage of the stages: coefficient and residual vectors (n each
// unless noted) and a copy of X2 to weight.
struct ms_workspace {
  explicit ms_workspace(int n, int p2);
  double* theta;    // L1 coefficients (n values: rllarsbi's need)
  double* b2_work;  // p2
  double* rs;
  double* res2;
  double* x2_work;  // n x p2
};

/** Random exact fits of the X2 block (x2_draw, response y_draw: the
 *  orthogonalised data or copies of X2 and y), each completed by the L1 fit
 *  of its residuals on X1; keeps in fit the candidate with the smallest
 *  M-scale (n - p1 - p2 degrees of freedom).  A failure (a failed draw or L1
 *  fit, or a scale below ms_min_scale: FIT_EXACT) ends the search with its
 *  code in report (scale -1 for a failed draw or L1 fit).  The L1 fits of a
 *  batch of draws run in parallel, each thread with its own arrays (ws is
 *  not used); a candidate that ends the search may be followed by the
 *  other draws of its batch, whose size depends on n only. */
void m_s_subsample(const ms_problem& pr, const ms_search_settings& set,
                   const double* y_draw, const double* x2_draw, ms_fit& fit,
                   ms_workspace& ws, l1_call_state& l1, fit_report& report);

/** Alternating descent from fit: a weighted least-squares step for b2 with X1
 *  fixed, an L1 step for b1 with X2 fixed, a new M-scale.  Keeps the best
 *  fit seen; records how it ended in report.descent.  Returns whether the
 *  coefficients settled. */
bool m_s_descent(const ms_problem& pr, const ms_descent_settings& set, ms_fit& fit,
                 ms_workspace& ws, l1_call_state& l1, fit_report& report);

/** The M-S estimate: the optional L1 orthogonalisation of y and X2 on X1, the
 *  search (or the start in fit) and the optional descent.  *converged
 *  receives the descent's settling flag. */
void lmrob_m_s(const ms_problem& pr, bool orthogonalize, bool do_subsample,
               const ms_search_settings& search, bool do_descent,
               const ms_descent_settings& descent, ms_fit& fit, int* converged,
               fit_report& report);

}  // namespace kelvara

extern "C" {
void R_lmrob_M_S(const double* X1, const double* X2, const double* y, double* res,
                 const int* n, const int* p1, const int* p2, const int* n_resample,
                 double* scale, double* b1, double* b2, const double* k, const int* ipsi,
                 const double* b, const int* max_no_improve, const int* max_steps,
                 const double* descent_tol, const double* tol, int* converged,
                 const int* trace_level, const int* orthogonalize,
                 const int* do_subsample, const int* do_descent, const int* max_singular,
                 const int* nonsingular);

// The same fits as R_lmrob_S and R_lmrob_M_S, with one more argument: the
// status vector (STATUS_LENGTH integers) in place of every status message.
// Their weighted least-squares steps use the streaming core (the R_ entries
// keep LAPACK dgels), so results may differ from theirs by rounding.
// The M-S fit also takes max_it_scale after nonsingular.
void kv_lmrob_S(const double* x, const double* y, const int* n, const int* p,
                const int* n_resample, double* scale, double* beta, const double* k,
                const int* ipsi, const double* b, const int* n_best, const int* n_groups,
                const int* group_size, const int* refine_steps, int* max_refine,
                const int* max_it_scale, const double* refine_tol, const double* tol,
                int* converged, const int* trace_level, const int* max_singular,
                const int* nonsingular, int* status);
// kv_lmrob_S on the list(x, y) `data` (read without a copy), with more
// outputs: the residuals y - x beta (n, when *keep_residuals) at the
// coefficients found, with the values of R's drop(y - x %*% beta), and the
// number of them at most plane_tol in absolute value (-1: one not finite).
void kv_lmrob_S_resid(const void* data, const int* n, const int* p, const int* n_resample,
                      double* scale, double* beta, const double* k, const int* ipsi,
                      const double* b, const int* n_best, const int* n_groups,
                      const int* group_size, const int* refine_steps, int* max_refine,
                      const int* max_it_scale, const double* refine_tol,
                      const double* tol, int* converged, const int* trace_level,
                      const int* max_singular, const int* nonsingular, int* status,
                      double* residuals, const int* keep_residuals,
                      const double* plane_tol, int* n_on_plane);
void kv_lmrob_M_S(const double* X1, const double* X2, const double* y, double* res,
                  const int* n, const int* p1, const int* p2, const int* n_resample,
                  double* scale, double* b1, double* b2, const double* k, const int* ipsi,
                  const double* b, const int* max_no_improve, const int* max_steps,
                  const double* descent_tol, const double* tol, int* converged,
                  const int* trace_level, const int* orthogonalize,
                  const int* do_subsample, const int* do_descent, const int* max_singular,
                  const int* nonsingular, const int* max_it_scale, int* status);
// The codes and constants above, for the R layer: codes (length *n_codes)
// receives the fit codes, the descent ends, the status slots with
// STATUS_LENGTH, and the subsample statuses, each in enum order;
// values (length *n_values) receives fast_s_large_n_threshold,
// exact_fit_tol, ms_min_scale, l1_scale_divisor and unset_scale.
void kv_constants(int* codes, const int* n_codes, double* values, const int* n_values);
// The standardisation of the R layer, from list arguments (see lmrob.cpp):
// which columns of the design are constant and non-zero (the columns'
// spreads: kv_sample_spreads in utilities.h).
void kv_constant_columns(const void* data, const int* n, const int* p, int* out);
}

#endif
