// The M-scale solver, robustness weights, the D-scale and fitted values for
// arrays of designs and coefficient vectors.
#ifndef KELVARA_SCALE_H
#define KELVARA_SCALE_H

namespace kelvara {

/** (sum_i chi(r[i] / scale)) / (n - p), summed in index order. */
double sum_rho_sc(const double* r, double scale, int n, int p, const double* k, int ipsi);

/** M-scale s solving mean-chi(r / s) = b (divisor n - p) by fixed-point
 *  iteration from initial_scale, at most max_it iterations to the relative
 *  tolerance 1e-10; returns the last iterate and says nothing.  *converged
 *  receives whether the tolerance was met.  A NaN iterate ends the iteration
 *  at once (every later one would be NaN too).  With poll_interrupt the
 *  user's interrupt is polled once per iteration. */
double m_scale(const double* r, double b, const double* k, int ipsi, double initial_scale,
               int n, int p, int max_it, bool* converged, bool poll_interrupt = false);

/** m_scale that warns, naming the control setting, when max_it iterations
 *  do not reach the tolerance. */
double find_scale(const double* r, double b, const double* k, int ipsi,
                  double initial_scale, int n, int p, int max_it);

/** The warning of an M-scale solve that ran out of iterations. */
void warn_scale_not_converged(int max_it);

// The D-scale problem: residuals r (n) divided by the factors t (n),
// weighted by the weight function of the family (k, ipsi); kappa divides
// the weighted mean; variant 1..4 (others act as 3).
struct d_scale_problem {
  const double* r;
  const double* t;
  int n;
  double kappa;
  const double* k;
  int ipsi;
  int variant;
};

/** The D-scale by fixed-point iteration from *scale (at most max_k
 *  iterations, relative tolerance eps).  *scale holds the latest iterate;
 *  returns whether the tolerance was met.  A NaN iterate ends at once. */
bool d_scale(const d_scale_problem& pr, double eps, int max_k, double* scale);

/** F (n x A x B x C) = X (n x p x A x C) times beta (A x p x B x C); extents
 *  below zero count as empty. */
void fitted_values(const double* X, const double* coefs, double* F, int n, int p, int A,
                   int B, int C);

/** w[i] = wgt(r[i] / scale, k, ipsi), i < n. */
void get_weights_rhop(const double* r, double scale, int n, const double* k, int ipsi,
                      double* w);

}  // namespace kelvara

extern "C" {
// D-scale of the residuals r / t by fixed-point iteration (variants 1..4;
// any other value acts as 3).  scale: start on entry, last iterate on exit.
void R_find_D_scale(const double* r, const double* K, const double* t, const int* n,
                    double* scale, const double* k, const int* ipsi, const int* variant,
                    const double* eps, const int* max_k, int* converged);
// F (n x A x B x C) = X (n x p x A x C) times beta (A x p x B x C), design by
// design; coefficient vectors whose first value is NA are skipped.
void R_calc_fitted(const double* X, const double* coefs, double* F, const int* n,
                   const int* p, const int* A, const int* B, const int* C);
}

#endif
