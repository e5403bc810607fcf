// Robust regression: non-singular subsampling of the design, the S-estimator
// by the fast-S algorithm (with nested subsampling for large samples) and
// the MM-estimator by iteratively reweighted least squares.
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

}  // namespace kelvara

extern "C" {
void R_subsample(const double* x, const double* y, const int* n, const int* p,
                 double* beta, int* perm_work, int* idc, int* var_order, double* lu,
                 double* col_work, int* pivot, double* row_scale, double* col_scale,
                 int* row_equ, int* col_equ, int* status, const int* sample,
                 const int* max_singular, const int* nonsingular, const double* tol);
}

#endif
