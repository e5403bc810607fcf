// The M-S regression estimator for a design split into a block X1 fitted by
// L1 regression (typically the intercept and the dummy columns of factors)
// and a block X2 of continuous columns fitted by random exact fits and
// weighted least squares.  Matrices are column-major with leading dimension
// n, indices 0-based.
#ifndef KELVARA_LMROB_MS_H
#define KELVARA_LMROB_MS_H

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
