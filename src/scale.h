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
void R_find_D_scale(const double* r, const double* kappa, const double* tau,
                    const int* length, double* scale, const double* c, const int* ipsi,
                    const int* type, const double* rel_tol, const int* max_k,
                    int* converged);
void R_calc_fitted(const double* X, const double* beta, double* RES, const int* n,
                   const int* p, const int* nCoef, const int* nBeta, const int* nC);
}

#endif
