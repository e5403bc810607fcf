// M-scale, robustness weights, the D-scale and fitted values.
#include "scale.h"

#include <R_ext/Arith.h>  // R_IsNA
#include <Rmath.h>        // Rf_fmax2

#include <cmath>
#include <cstddef>

#include "host.h"
#include "psi.h"

namespace kelvara {

double sum_rho_sc(const double* r, double scale, int n, int p, const double* k,
                  int ipsi) {
  double s = 0.;
  for (int i = 0; i < n; ++i) s += rho(r[i] / scale, k, ipsi);
  return s / (static_cast<double>(n) - static_cast<double>(p));
}

double find_scale(const double* r, double b, const double* k, int ipsi,
                  double initial_scale, int n, int p, int max_it) {
  double s = initial_scale;
  for (int it = 1; it <= max_it; ++it) {
    const double s_new = std::sqrt(sum_rho_sc(r, s, n, p, k, ipsi) / b) * s;
    if (std::fabs(s_new - s) <= 1e-10 * s) return s_new;
    s = s_new;
  }
  host::warn("find_scale() did not converge in '%s' (= %d) iterations", "maxit.scale",
             max_it);
  return s;
}

void get_weights_rhop(const double* r, double scale, int n, const double* k, int ipsi,
                      double* w) {
  for (int i = 0; i < n; ++i) w[i] = wgt(r[i] / scale, k, ipsi);
}

}  // namespace kelvara

extern "C" {

void R_find_D_scale(const double* r, const double* K, const double* t, const int* n,
                    double* scale, const double* k, const int* ipsi, const int* variant,
                    const double* eps, const int* max_k, int* converged) {
  kelvara::host::run_entry([&] {
    *converged = 0;
    const int nn = *n, code = *ipsi, v = *variant;
    const double kappa = *K, tol = *eps;
    for (int it = 1; it <= *max_k; ++it) {
      const double s0 = *scale;
      double num = 0., den = 0.;
      for (int i = 0; i < nn; ++i) {
        const double z = r[i] / t[i];
        const double w = kelvara::wgt(z / s0, k, code);
        switch (v) {
          case 1:
            num += w * (z * z);
            den += w;
            break;
          case 2:
            num += (w * z) * (w * z);
            den += w * w;
            break;
          case 4:
            num += (w * r[i]) * (w * r[i]);
            den += (w * t[i]) * (w * t[i]);
            break;
          default:
            num += w * (r[i] * r[i]);
            den += t[i] * (w * t[i]);
            break;
        }
      }
      // with no residuals 0 / 0 makes every iterate NaN
      const double s = std::sqrt((num / den) / kappa);
      *scale = s;
      if (std::fabs(s0 - s) < tol * Rf_fmax2(tol, s0)) {
        *converged = 1;
        return;
      }
    }
  });
}

void R_calc_fitted(const double* X, const double* coefs, double* F, const int* n,
                   const int* p, const int* A, const int* B, const int* C) {
  kelvara::host::run_entry([&] {
    // Positions in std::size_t: the arrays may exceed the int range.
    using sz = std::size_t;
    const int nC = *C;
    if (nC == 0) return;
    const auto extent = [](int v) { return v > 0 ? static_cast<sz>(v) : sz(0); };
    const sz nn = extent(*n), pp = extent(*p), nA = extent(*A), nB = extent(*B),
             cc = extent(nC);
    for (sz c = 0; c < cc; ++c) {
      for (sz b = 0; b < nB; ++b) {
        for (sz a = 0; a < nA; ++a) {
          double* f = F + nn * (a + nA * (b + nB * c));
          // Without coefficients there is no first one to mark a missing
          // vector: the fitted values are the empty sum.
          if (pp == 0) {
            for (sz i = 0; i < nn; ++i) f[i] = 0.;
            continue;
          }
          const double* bet = coefs + a + nA * pp * (b + nB * c);
          if (R_IsNA(bet[0])) continue;
          const double* x = X + nn * pp * (a + nA * c);
          for (sz i = 0; i < nn; ++i) {
            f[i] = 0.;
            for (sz j = 0; j < pp; ++j) f[i] = bet[nA * j] * x[i + nn * j] + f[i];
          }
        }
      }
    }
  });
}

}  // extern "C"
