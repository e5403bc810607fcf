// Robust regression: non-singular subsampling of the design, the S-estimator
// by the fast-S algorithm (with nested subsampling for large samples) and
// the MM-estimator by iteratively reweighted least squares, and the M-S
// estimator for designs with a block fitted by L1 regression.
//
// Matrices are column-major (element (i, j) of an n-row matrix at i + j * n)
// and all indices are 0-based.
#ifndef KELVARA_LMROB_H
#define KELVARA_LMROB_H

#include <vector>

namespace kelvara {

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
 *  Returns a subsample_status; beta is meaningful only for SUBSAMPLE_OK. */
int subsample(const double* x, const double* y, int n, int p, double* beta,
              int* perm_work, int* idc, int* var_order, double* lu, double* col_work,
              int* pivot, const double* row_scale, const double* col_scale, int row_equ,
              int col_equ, int sample, int max_singular, int nonsingular, double tol);

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
};

// ---- fast-S ---------------------------------------------------------------

// Above this many observations R_lmrob_S runs the nested-subsampling search.
constexpr int fast_s_large_n_threshold = 2000;

/** The S-estimate by fast-S: n_resample random exact fits, each refined by
 *  refine_steps reweighting steps and kept in a best list of n_best when its
 *  M-scale is small enough; the list entries are then refined to
 *  convergence (at most max_refine steps, relative tolerance refine_tol).
 *  Writes beta and scale (-1 when subsampling failed, 0 for an exact fit
 *  through more than half of the data), converged and, in max_refine, the
 *  largest iteration count of the final refinements. */
void fast_s(const double* x, const double* y, const int* n, const int* p,
            const int* n_resample, const int* refine_steps, int* max_refine,
            double refine_tol, double tol, int* converged, const int* n_best,
            const double* b, const double* k, const int* ipsi, double* beta,
            double* scale, int trace_level, int max_singular, int nonsingular);

/** Reweighting refinement of beta_cand: refine_steps steps (*conv == 0) or
 *  steps until the relative change is below refine_tol, at most max_refine
 *  (*conv != 0; cleared on failure, with a warning).  wx (n x p), wy,
 *  weights, res (n) and work (lwork) are the caller's.  Returns the number of
 *  steps; beta_ref and *scale receive the result, beta_cand is overwritten.
 *  initial_scale < 0 starts from the MAD of the residuals. */
int refine_fast_s(const double* x, double* wx, const double* y, double* wy,
                  double* weights, int n, int p, double* res, double* work, int lwork,
                  double* beta_cand, int refine_steps, int* conv, int max_refine,
                  double refine_tol, int trace_level, double b, const double* k, int ipsi,
                  double initial_scale, double* beta_ref, double* scale);

/** fast-S for large samples: the search runs on n_groups disjoint random
 *  groups of group_size observations, its candidates are refined on their
 *  union and the best n_best of those to convergence on all n. */
void fast_s_large_n(const double* x, const double* y, const int* n, const int* p,
                    const int* n_resample, const int* n_groups, const int* group_size,
                    const int* refine_steps, int* max_refine, double refine_tol,
                    double tol, int* converged, const int* n_best, const double* b,
                    const double* k, const int* ipsi, double* beta, double* scale,
                    int trace_level, int max_singular, int nonsingular);

/** The candidate search of fast-S on one data set, into the caller's best
 *  list (best_betas: n_best pointers to p values; best_scales: n_best).
 *  Returns the status of the last subsample draw (0 when all succeeded; on
 *  failure every best scale is set to -1).  Draws random numbers without
 *  bracketing them: the caller does. */
int fast_s_with_memory(const double* x, const double* y, const int* n, const int* p,
                       const int* n_resample, const int* refine_steps,
                       const int* max_refine, double refine_tol, double tol,
                       int trace_level, const int* n_best, const double* b,
                       const double* k, const int* ipsi, double** best_betas,
                       double* best_scales, int max_singular, int nonsingular);

// ---- MM step --------------------------------------------------------------

/** M-estimate of regression with the fixed scale, by iteratively reweighted
 *  least squares from b_init until the L1 change of the coefficients is at
 *  most eps * max(eps, |b1|_1).  *max_it: in, the limit (at most max_it - 1
 *  steps run); out, the step that converged or the limit.  b1 (p) and resid
 *  (n) receive the result, *loss the mean rho of the residuals.  Returns 1 if
 *  converged, else 0. */
int rwls(const double* X, const double* y, int n, int p, double* b1, const double* b_init,
         double* resid, double* loss, double scale, double eps, int* max_it,
         const double* k, int ipsi, int trace);

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
                const double* eps, int* converged, const int* trace, const int* unused1,
                const int* unused2);
void R_subsample(const double* x, const double* y, const int* n, const int* p,
                 double* beta, int* perm_work, int* idc, int* var_order, double* lu,
                 double* col_work, int* pivot, double* row_scale, double* col_scale,
                 int* row_equ, int* col_equ, int* status, const int* sample,
                 const int* max_singular, const int* nonsingular, const double* tol);
}

// ---- M-S estimator: a block X1 fitted by L1 regression and a block X2 of
// continuous columns (matrices column-major, leading dimension n, 0-based).
namespace kelvara {

/** Random exact fits of the X2 block (in x2_work, response y_work), each
 *  completed by the L1 fit of its residuals on X1; keeps in b1, b2 and
 *  *scale the candidate with the smallest M-scale (n - p1 - p2 degrees of
 *  freedom).  A failure (singular draw, failed L1 fit, scale below 1e-10)
 *  leaves *scale = -1.  res receives the residuals of the last L1 call. */
void m_s_subsample(const double* X1, const double* y_work, int n, int p1, int p2,
                   int n_resample, double descent_tol, double tol, const double* b,
                   const double* k, int ipsi, double* scale, int trace_level, double* b1,
                   double* b2, double* theta, double* b2_work, double* rs, double* res,
                   double* x1_work, double* x2_work, int* nit, int* k_rank, int* kode,
                   double* sigma, const double* bet0, double* sc1, double* sc2,
                   double* sc3, double* sc4, int max_singular, int nonsingular);

/** Alternating descent from the fit (b1, b2, *scale, res): a weighted
 *  least-squares step for b2 with X1 fixed, an L1 step for b1 with X2 fixed,
 *  a new M-scale.  Keeps the best fit seen in b1, b2, *scale and res; sets
 *  *converged. */
void m_s_descent(const double* X1, const double* X2, const double* y, int n, int p1,
                 int p2, int max_no_improve, int max_steps, double descent_tol,
                 const double* b, const double* k, int ipsi, double* scale,
                 int trace_level, double* b1, double* b2, double* t1, double* t2,
                 double* rs, double* res, double* res2, double* x1_work, double* x2_work,
                 int* nit, int* k_rank, int* kode, double* sigma, const double* bet0,
                 double* sc1, double* sc2, double* sc3, double* sc4, int* converged);

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
}

#endif
