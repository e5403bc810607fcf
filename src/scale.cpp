// M-scale, robustness weights, the D-scale and fitted values.
#include "scale.h"

#include <R_ext/Arith.h>  // R_IsNA
#include <Rmath.h>        // Rf_fmax2

#include <cmath>
#include <cstddef>

#include "host.h"
#include "psi.h"

namespace kelvara {

namespace {
// Relative change of the M-scale iterate at which the solve has converged.
constexpr double m_scale_rel_tol = 1e-10;
}  // namespace

double sum_rho_sc(const double* r, double scale, int n, int p, const double* k,
                  int ipsi) {
  const double s = add_chi(0., r, scale, 0, n, k, ipsi);
  return s / (static_cast<double>(n) - static_cast<double>(p));
}

double m_scale(const double* r, double b, const double* k, int ipsi, double initial_scale,
               int n, int p, int max_it, bool* converged, bool poll_interrupt) {
  *converged = false;
  double s = initial_scale;
  for (int it = 1; it <= max_it; ++it) {
    if (poll_interrupt) host::check_interrupt();
    const double s_new = std::sqrt(sum_rho_sc(r, s, n, p, k, ipsi) / b) * s;
    if (std::fabs(s_new - s) <= m_scale_rel_tol * s) {
      *converged = true;
      return s_new;
    }
    s = s_new;
    if (std::isnan(s)) break;
  }
  return s;
}

void warn_scale_not_converged(int max_it) {
  host::warn("find_scale() did not converge in '%s' (= %d) iterations", "maxit.scale",
             max_it);
}

double find_scale(const double* r, double b, const double* k, int ipsi,
                  double initial_scale, int n, int p, int max_it) {
  bool converged = false;
  const double s = m_scale(r, b, k, ipsi, initial_scale, n, p, max_it, &converged);
  if (!converged) warn_scale_not_converged(max_it);
  return s;
}

void get_weights_rhop(const double* r, double scale, int n, const double* k, int ipsi,
                      double* w) {
  fill_wgt(r, scale, 0, n, k, ipsi, w);
}

bool d_scale(const d_scale_problem& pr, double eps, int max_k, double* scale) {
  const double* r = pr.r;
  const double* t = pr.t;
  for (int it = 1; it <= max_k; ++it) {
    host::check_interrupt();
    const double s0 = *scale;
    double num = 0., den = 0.;
    for (int i = 0; i < pr.n; ++i) {
      const double z = r[i] / t[i];
      const double w = wgt(z / s0, pr.k, pr.ipsi);
      switch (pr.variant) {
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
    // With no residuals 0 / 0 makes the iterate NaN, and a NaN residual or
    // factor makes every later iterate NaN: no iteration can converge then.
    const double s = std::sqrt((num / den) / pr.kappa);
    *scale = s;
    if (std::fabs(s0 - s) < eps * Rf_fmax2(eps, s0)) return true;
    if (std::isnan(s)) return false;
  }
  return false;
}

void fitted_values(const double* X, const double* coefs, double* F, int n, int p, int A,
                   int B, int C) {
  // Positions in std::size_t: the arrays may exceed the int range.
  using sz = std::size_t;
  if (C == 0) return;
  const auto extent = [](int v) { return v > 0 ? static_cast<sz>(v) : sz(0); };
  const sz nn = extent(n), pp = extent(p), nA = extent(A), nB = extent(B), cc = extent(C);
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
}

}  // namespace kelvara

extern "C" {

void R_find_D_scale(const double* r, const double* K, const double* t, const int* n,
                    double* scale, const double* k, const int* ipsi, const int* variant,
                    const double* eps, const int* max_k, int* converged) {
  kelvara::host::run_entry([&] {
    *converged = 0;
    const kelvara::d_scale_problem pr{r, t, *n, *K, k, *ipsi, *variant};
    *converged = kelvara::d_scale(pr, *eps, *max_k, scale) ? 1 : 0;
  });
}

void R_calc_fitted(const double* X, const double* coefs, double* F, const int* n,
                   const int* p, const int* A, const int* B, const int* C) {
  kelvara::host::run_entry(
      [&] { kelvara::fitted_values(X, coefs, F, *n, *p, *A, *B, *C); });
}

}  // extern "C"
