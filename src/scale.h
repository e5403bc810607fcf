// The M-scale solver, robustness weights, the D-scale and fitted values for
// arrays of designs and coefficient vectors.
#ifndef KELVARA_SCALE_H
#define KELVARA_SCALE_H

namespace kelvara {

/** (sum_i chi(r[i] / scale)) / (n - p), summed in index order. */
double sum_rho_sc(const double* r, double scale, int n, int p, const double* k, int ipsi);

/** M-scale s solving mean-chi(r / s) = b (divisor n - p) by fixed-point
 *  iteration from initial_scale; warns and returns the last iterate when
 *  max_it iterations do not reach the relative tolerance 1e-10. */
double find_scale(const double* r, double b, const double* k, int ipsi,
                  double initial_scale, int n, int p, int max_it);

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
