// The six psi families: rho (normalised to at most 1), psi, psi' and weight
// functions selected by a family code, the normalising constant, and the
// vectorised evaluation for R.
#ifndef KELVARA_PSI_H
#define KELVARA_PSI_H

// First, so that its floating-point settings cover the inline kernels below.
#include "host.h"

#include <cmath>

namespace kelvara {

// Psi-family codes (the same values as .psi_codes in R/codes.R).  Code 0 and
// every value outside 0..6 select the bisquare family.
enum psi_family : int {
  PSI_BISQUARE = 1,
  PSI_GAUSSWEIGHT = 2,
  PSI_OPTIMAL = 3,
  PSI_HAMPEL = 4,
  PSI_GGW = 5,
  PSI_LQQ = 6
};

// Tuning constants k, by family:
//   bisquare, gaussweight, optimal: k[0] = c
//   hampel: k[0] = a, k[1] = b, k[2] = r (0 < a <= b < r)
//   ggw:    k[0] = case (1..6 built in; 0 general with k[1..4] = a, b, c and
//           the integral of psi over [0, inf))
//   lqq:    k[0] = b, k[1] = c, k[2] = s (s > 1)

/** chi(x): the normalised rho, chi(0) = 0, bounded by 1. */
double rho(double x, const double* k, int ipsi);
/** psi(x) = rho~'(x), with rho~ = chi / normcnst. */
double psi(double x, const double* k, int ipsi);
/** psi'(x). */
double psip(double x, const double* k, int ipsi);
/** Weight psi(x) / x (1 at x = 0). */
double wgt(double x, const double* k, int ipsi);
/** The factor turning rho~ into chi (1 / rho~(inf) except ggw cases 2, 3, 5, 6). */
double normcnst(const double* k, int ipsi);

/** Whether the code selects the bisquare family (1, 0, and every code
 *  outside 0..6). */
inline bool is_bisquare(int ipsi) {
  const unsigned u = static_cast<unsigned>(ipsi);
  return u == 0u || u == 1u || u > 6u;
}

// The family functions behind the dispatch.  The ggw functions throw
// kelvara::failure for an unsupported case number.  The bisquare's chi and
// weight are inline, so that the loops over residuals that dispatch on the
// family once (see scale.h) compile them into their bodies.
// |x| = c and NaN go through the polynomial, only |x| > c is "outside".
inline double rho_biwgt(double x, const double* k) {
  const double c = k[0];
  if (std::fabs(x) > c) return 1.;
  const double t = x / c;
  const double u = t * t;
  return ((u - 3.) * u + 3.) * u;
}
double psi_biwgt(double x, const double* k);
double psip_biwgt(double x, const double* k);
inline double wgt_biwgt(double x, const double* k) {
  const double c = k[0];
  if (std::fabs(x) > c) return 0.;
  const double t = x / c;
  const double w = (1. - t) * (1. + t);
  return w * w;
}
double rho_gwgt(double x, const double* k);
double psi_gwgt(double x, const double* k);
double psip_gwgt(double x, const double* k);
double wgt_gwgt(double x, const double* k);
double rho_opt(double x, const double* k);
double psi_opt(double x, const double* k);
double psip_opt(double x, const double* k);
double wgt_opt(double x, const double* k);
double rho_hmpl(double x, const double* k);
double psi_hmpl(double x, const double* k);
double psip_hmpl(double x, const double* k);
double wgt_hmpl(double x, const double* k);
double rho_ggw(double x, const double* k);
double psi_ggw(double x, const double* k);
double psip_ggw(double x, const double* k);
double wgt_ggw(double x, const double* k);
double rho_lin(double x, const double* k);
double psi_lin(double x, const double* k);
double psip_lin(double x, const double* k);
double wgt_lin(double x, const double* k);

// Two doubles in one vector register (a GNU extension that GCC and clang
// share), for the bisquare loops below.
typedef double double_pair __attribute__((vector_size(16)));

/** rho_biwgt and wgt_biwgt of two values at once, with the same operations
 *  on each (so the same values): the branch on |x| > c is a selection. */
inline double_pair rho_biwgt_pair(double_pair x, double c) {
  const double_pair ax = x < 0.0 ? -x : x;
  const double_pair t = x / c;
  const double_pair u = t * t;
  const double_pair poly = ((u - 3.) * u + 3.) * u;
  return ax > c ? double_pair{1., 1.} : poly;
}
inline double_pair wgt_biwgt_pair(double_pair x, double c) {
  const double_pair ax = x < 0.0 ? -x : x;
  const double_pair t = x / c;
  const double_pair w = (1. - t) * (1. + t);
  return ax > c ? double_pair{0., 0.} : w * w;
}

// pair(i, x) for x = (r[i], r[i + 1]) / s, then one(i, r[i] / s) for a last
// single value, over i0 <= i < i1.
template <class Pair, class One>
void over_pairs(const double* r, double s, int i0, int i1, Pair&& pair, One&& one) {
  int i = i0;
  for (; i + 1 < i1; i += 2) {
    double_pair v;
    __builtin_memcpy(&v, r + i, sizeof v);
    pair(i, v / s);
  }
  if (i < i1) one(i, r[i] / s);
}

/** sum + chi(r[i0] / s) + ... + chi(r[i1 - 1] / s), added in index order. */
inline double add_chi(double sum, const double* r, double s, int i0, int i1,
                      const double* k, int ipsi) {
  if (is_bisquare(ipsi)) {
    over_pairs(
        r, s, i0, i1,
        [&](int, double_pair x) {
          const double_pair c = rho_biwgt_pair(x, k[0]);
          sum += c[0];
          sum += c[1];
        },
        [&](int, double x) { sum += rho_biwgt(x, k); });
    return sum;
  }
  for (int i = i0; i < i1; ++i) sum += rho(r[i] / s, k, ipsi);
  return sum;
}

// out[i] = chi(r[i] / s) (Chi) or wgt(r[i] / s) for i0 <= i < i1.
template <bool Chi>
inline void fill_fn(const double* r, double s, int i0, int i1, const double* k, int ipsi,
                    double* out) {
  if (is_bisquare(ipsi)) {
    over_pairs(
        r, s, i0, i1,
        [&](int i, double_pair x) {
          const double_pair c = Chi ? rho_biwgt_pair(x, k[0]) : wgt_biwgt_pair(x, k[0]);
          __builtin_memcpy(out + i, &c, sizeof c);
        },
        [&](int i, double x) { out[i] = Chi ? rho_biwgt(x, k) : wgt_biwgt(x, k); });
    return;
  }
  for (int i = i0; i < i1; ++i) out[i] = Chi ? rho(r[i] / s, k, ipsi) : wgt(r[i] / s, k, ipsi);
}

/** out[i] = chi(r[i] / s, k, ipsi) for i0 <= i < i1: the terms that add_chi
 *  adds, so that adding them in index order gives its sum to the bit. */
inline void fill_chi(const double* r, double s, int i0, int i1, const double* k, int ipsi,
                     double* out) {
  fill_fn<true>(r, s, i0, i1, k, ipsi, out);
}

/** w[i] = wgt(r[i] / s, k, ipsi) for i0 <= i < i1. */
inline void fill_wgt(const double* r, double s, int i0, int i1, const double* k, int ipsi,
                     double* w) {
  fill_fn<false>(r, s, i0, i1, k, ipsi, w);
}

}  // namespace kelvara

extern "C" {
// deriv: -1 rho~, 1 psi', otherwise psi.
void R_psifun(double* x, const double* k, const int* ipsi, const int* deriv,
              const int* n);
// deriv: 1 chi' = normcnst * psi, 2 chi'' = normcnst * psi', otherwise chi.
void R_chifun(double* x, const double* k, const int* ipsi, const int* deriv,
              const int* n);
void R_wgtfun(double* x, const double* k, const int* ipsi, const int* n);
// The built-in GGW cases for the R layer: abc (18) receives (a, b, c) of
// cases 1..6 in turn, chi_end (6) the end points of their polynomial chi.
void kv_ggw_table(double* abc, double* chi_end);
}

#endif
