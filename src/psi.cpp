// The six psi families and their dispatch.  Evaluation orders and the
// comparisons at the break points are part of each family's definition:
// they fix the rounding and which side a break point (or a NaN) falls on.
#include "psi.h"

#include <R_ext/Applic.h>  // Rdqags
#include <Rmath.h>         // R_pow, Rf_fmax2, Rf_sign

#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdio>
#include <exception>

#include "host.h"

namespace kelvara {

// ---- bisquare -----------------------------------------------------------
// |x| = c and NaN go through the polynomial, only |x| > c is "outside".  chi
// and the weight are inline in psi.h.

double psi_biwgt(double x, const double* k) {
  const double c = k[0];
  if (std::fabs(x) > c) return 0.;
  const double t = x / c;
  const double a = std::fma(-t, t, 1.);
  return x * a * a;
}

double psip_biwgt(double x, const double* k) {
  const double c = k[0];
  if (std::fabs(x) > c) return 0.;
  const double t = x / c;
  const double u = t * t;
  return (1. - u) * (1. - 5. * u);
}

// ---- gauss weight ---------------------------------------------------------
// psi and psi' are cut to 0 beyond |t| = 37.7; rho and the weight reach 1 and
// 0 through the arithmetic.

double rho_gwgt(double x, const double* k) {
  const double t = x / k[0];
  return -std::expm1((t * t) * (-0.5));
}

double psi_gwgt(double x, const double* k) {
  const double t = x / k[0];
  if (std::fabs(t) > 37.7) return 0.;
  return std::exp((t * t) * (-0.5)) * x;
}

double psip_gwgt(double x, const double* k) {
  const double t = x / k[0];
  if (std::fabs(t) > 37.7) return 0.;
  const double u = t * t;
  return std::exp(u * (-0.5)) * (1. - u);
}

double wgt_gwgt(double x, const double* k) {
  const double t = x / k[0];
  return std::exp((t * t) * (-0.5));
}

// ---- optimal -------------------------------------------------------------
// Quadratic rho for |t| <= 2, a polynomial in t^2 for 2 < |t| <= 3, constant
// beyond.  Strict tests: a NaN falls into the inner region.

double rho_opt(double x, const double* k) {
  const double t = x / k[0];
  const double at = std::fabs(t);
  if (at > 3.) return 1.;
  if (at > 2.) {
    const double u = at * at;
    return ((((0.002 * u - 0.052) * u + 0.432) * u - 0.972) * u + 1.792) / 3.25;
  }
  return t * t / 6.5;
}

double psi_opt(double x, const double* k) {
  const double c = k[0];
  const double t = x / c;
  const double at = std::fabs(t);
  if (at > 3.) return 0.;
  if (at > 2.) {
    const double u = t * t;
    const double P = ((0.016 * u - 0.312) * u + 1.728) * u - 1.944;
    const double R = c * (P * t);
    // keeps the sign of x when rounding makes P slightly negative near |t| = 3
    if (t > 0) return Rf_fmax2(0., R);
    return -std::fabs(R);
  }
  return x;
}

double psip_opt(double x, const double* k) {
  const double at = std::fabs(x / k[0]);
  if (at > 3.) return 0.;
  if (at > 2.) {
    const double u = at * at;
    return (((7. * u) * 0.016 - 1.56) * u + 5.184) * u - 1.944;
  }
  return 1.;
}

double wgt_opt(double x, const double* k) {
  const double at = std::fabs(x / k[0]);
  if (at > 3.) return 0.;
  if (at > 2.) {
    const double u = at * at;
    return Rf_fmax2(0., ((0.016 * u - 0.312) * u + 1.728) * u - 1.944);
  }
  return 1.;
}

// ---- hampel -----------------------------------------------------------------
// Break points a <= b < r; tests "<=" in the order a, b, r, so a NaN takes
// the outermost branch.

double rho_hmpl(double x, const double* k) {
  const double a = k[0], b = k[1], r = k[2];
  const double ax = std::fabs(x);
  const double nc = (a * ((b + r) - a)) * 0.5;
  if (ax <= a) return ((x * x) * 0.5) / nc;
  if (ax <= b) return (a * (ax - 0.5 * a)) / nc;
  if (ax <= r) {
    const double q = (ax - b) / (r - b);
    return (a * ((ax - b) * (1. - 0.5 * q) + (b - 0.5 * a))) / nc;
  }
  return 1.;
}

double psi_hmpl(double x, const double* k) {
  const double s = Rf_sign(x);
  const double a = k[0], b = k[1], r = k[2];
  const double ax = std::fabs(x);
  if (ax <= a) return x;
  if (ax <= b) return s * a;
  if (ax <= r) return ((s * a) * (r - ax)) / (r - b);
  return 0.;
}

double psip_hmpl(double x, const double* k) {
  const double a = k[0], b = k[1], r = k[2];
  const double ax = std::fabs(x);
  if (ax <= a) return 1.;
  if (ax <= b) return 0.;
  if (ax <= r) return a / (b - r);
  return 0.;
}

double wgt_hmpl(double x, const double* k) {
  const double a = k[0], b = k[1], r = k[2];
  const double ax = std::fabs(x);
  if (ax <= a) return 1.;
  if (ax <= b) return a / ax;
  if (ax <= r) return ((a * (r - ax)) / (r - b)) / ax;
  return 0.;
}

// ---- ggw -----------------------------------------------------------------------

namespace {

// (a, b, c) of the built-in cases 1..6.
const double ggw_case_abc[6][3] = {
    {0.648, 1., 1.694},  {0.4760508, 1., 1.2442567},  {0.1674046, 1., 0.437547},
    {1.387, 1.5, 1.063}, {0.8372485, 1.5, 0.7593544}, {0.2036741, 1.5, 0.2959132}};

// chi of the built-in cases: C0 (the quadratic below c), C1..C9 (degree 8 on
// (c, 3c]) and C10..C19 (degree 9 on (3c, E]), per case; then the end points E.
const double ggw_chi_coef[6][20] = {
    // case 1
    {0.094164571656733,    -0.168937372816728,   0.00427612218326869,
     0.336876420549802,    -0.166472338873754,   0.0436904383670537,
     -0.00732077121233756, 0.000792550423837942, -5.08385693557726e-05,
     1.46908724988936e-06, -0.837547853001024,   0.876392734183528,
     -0.184600387321924,   0.0219985685280105,   -0.00156403138825785,
     6.16243137719362e-05, -7.478979895101e-07,  -3.99563057938975e-08,
     1.78125589532002e-09, -2.22317669250326e-11},
    // case 2
    {0.174505224068561,    -0.168853188892986,   0.00579250806463694,
     0.624193375180937,    -0.419882092234336,   0.150011303015251,
     -0.0342185249354937,  0.00504325944243195,  -0.0004404209084091,
     1.73268448820236e-05, -0.842160072154898,   1.19912623576069,
     -0.345595777445623,   0.0566407000764478,   -0.00560501531439071,
     0.000319084704541442, -7.4279004383686e-06, -2.02063746721802e-07,
     1.65716101809839e-08, -2.97536178313245e-10},
    // case 3
    {1.41117142330711,     -0.168853741371095,   0.0164713906344165,
     5.04767833986545,     -9.65574752971554,    9.80999125035463,
     -6.36344090274658,    2.667031271863,       -0.662324374141645,
     0.0740982983873332,   -0.84794906554363,    3.4315790970352,
     -2.82958670601597,    1.33442885893807,     -0.384812004961396,
     0.0661359078129487,   -0.00557221619221031, -5.42574872792348e-05,
     4.92564168111658e-05, -2.80432020951381e-06},
    // case 4
    {0.104604570079252,    0.0626649856211545,   -0.220058184826331,
     0.403388189975896,    -0.213020713708997,   0.102623342948069,
     -0.0392618698058543,  0.00937878752829234,  -0.00122303709506374,
     6.70669880352453e-05, 0.632651530179424,    -1.14744323908043,
     0.981941598165897,    -0.341211275272191,   0.0671272892644464,
     -0.00826237596187364, 0.0006529134641922,   -3.2346851680434e-05,
     9.17904701930209e-07, -1.14119059405971e-08},
    // case 5
    {0.205026436642222,    0.0627464477520301,   -0.308483319391091,
     0.791480474953874,    -0.585521414631968,   0.394979618040607,
     -0.211512515412973,   0.0707208739858416,   -0.0129092527174621,
     0.000990938134086886, 0.629919019245325,    -1.60049136444912,
     1.91903069049618,     -0.933285960363159,   0.256861783311473,
     -0.0442133943831343,  0.00488402902512139,  -0.000338084604725483,
     1.33974565571893e-05, -2.32450916247553e-07},
    // case 6
    {1.35010856132,     0.0627465630782482, -0.791613168488525, 5.21196700244212,
     -9.89433796586115, 17.1277266427962,   -23.5364159883776,  20.194396664535,
     -9.4593988142692,  1.86332355622445,   0.62986381140768,   -4.10676399816156,
     12.6361433997327,  -15.7697199271455,  11.1373468568838,   -4.91933095295458,
     1.39443093325178,  -0.247689078940725, 0.0251861553415515, -0.00112130382664914}};
const double ggw_chi_end[6] = {18.5527638190955, 13.7587939698492, 4.89447236180905,
                               11.4974874371859, 8.15075376884422, 3.17587939698492};

// Normalising constants of the built-in cases: fixed values, not recomputed
// from the case parameters.
const double ggw_normcnst[6] = {0.18832913076878022, 0.35654526181653395,
                                2.6680355467711965,  0.2092091350750412,
                                0.4087348267413943,  2.495599011143848};

// The case number k[0] truncated toward zero.  A NaN or a value beyond the
// int range becomes an (unsupported) out-of-range case rather than an
// undefined conversion.
int ggw_case(double v) {
  if (std::isnan(v)) return INT_MIN;
  if (v >= 2147483647.) return INT_MAX;
  if (v <= -2147483648.) return INT_MIN;
  return static_cast<int>(v);
}

// (a, b, c) of the case in k; an unsupported case is an error of `caller`.
const double* ggw_params(const double* k, const char* caller) {
  const int p = ggw_case(k[0]);
  if (p == 0) return k + 1;
  if (p >= 1 && p <= 6) return ggw_case_abc[p - 1];
  host::fail("%s: Case not implemented.", caller);
}

// The integrand for Rdqags.  R's integrator is C: nothing may be thrown
// through it, so a failure is recorded and re-thrown once Rdqags returns.
struct ggw_integrand {
  const double* k;
  bool failed;
  char msg[host::detail::msg_size];
};

extern "C" void psi_ggw_vec(double* v, int m, void* ex) {
  auto* st = static_cast<ggw_integrand*>(ex);
  if (st->failed) {
    for (int i = 0; i < m; ++i) v[i] = 0.;
    return;
  }
  try {
    for (int i = 0; i < m; ++i) v[i] = psi_ggw(v[i], st->k);
  } catch (const std::exception& e) {
    st->failed = true;
    std::snprintf(st->msg, sizeof st->msg, "%s", e.what());
    for (int i = 0; i < m; ++i) v[i] = 0.;
  }
}

// chi of the general case: the integral of psi over [0, |x|] over k[4].
// abc: the (a, b, c) of the case.
double rho_ggw_integral(double x, const double* k, const double* abc) {
  ggw_integrand st{k, false, ""};
  // psi is exactly 0 beyond c + (2 a 708.4)^(1/b) (see psi_ggw); integrating
  // only up to there gives the same integral, where a long range would let
  // the integrator miss the part where psi lives and return 0.
  const double psi_end = abc[2] + R_pow(2. * abc[0] * 708.4, 1. / abc[1]);
  double lower = 0., upper = std::fabs(x);
  if (upper > psi_end) upper = psi_end;
  double epsabs = R_pow(DBL_EPSILON, 0.25), epsrel = epsabs;
  double result = 0., abserr = 0.;
  int neval = 0, ier = 0, last = 0;
  int limit = 100, lenw = 4 * limit;
  // Automatic work arrays: fresh transient memory on every evaluation would
  // grow with the number of residuals of the calling R function.
  int iwork[100];
  double work[400];
  Rdqags(psi_ggw_vec, &st, &lower, &upper, &epsabs, &epsrel, &result, &abserr, &neval,
         &ier, &limit, &lenw, &last, iwork, work);
  if (st.failed) throw failure(st.msg);
  if (ier > 0) host::fail("error while calling Rdqags: %i", ier);
  return result / k[4];
}

}  // namespace

double rho_ggw(double x, const double* k) {
  if (!(k[0] > 0.)) {
    // An unsupported case fails as the integrand would.  A NaN or infinite
    // bound would only make the integrator fail: NaN stays NaN, and
    // chi(inf) = 1 by the definition of k[4].
    const double* abc = ggw_params(k, "psi_ggw");
    if (std::isnan(x)) return x;
    if (std::isinf(x)) return 1.;
    return rho_ggw_integral(x, k, abc);
  }
  const int p = ggw_case(k[0]);
  if (p < 1 || p > 6) host::fail("rho_ggw: Case (%i) not implemented.", p);
  const double c = ggw_case_abc[p - 1][2];
  const double* C = ggw_chi_coef[p - 1];
  const double ax = std::fabs(x);
  // Tested from the outside in, so that a NaN x stays NaN.
  if (ax > ggw_chi_end[p - 1]) return 1.;
  if (ax > 3. * c) {
    double v = C[19];
    for (int j = 18; j >= 10; --j) v = v * ax + C[j];
    return v;
  }
  if (ax > c) {
    double v = C[9];
    for (int j = 8; j >= 1; --j) v = v * ax + C[j];
    return v;
  }
  return ax * (ax * C[0]);
}

double psi_ggw(double x, const double* k) {
  const double* abc = ggw_params(k, "psi_ggw");
  const double a = abc[0], b = abc[1], c = abc[2], ax = std::fabs(x);
  if (ax < c) return x;
  const double e = (-0.5 * R_pow(ax - c, b)) / a;
  // exp would underflow (to a subnormal or 0): return an exact 0
  if (e < -708.4) return 0.;
  return x * std::exp(e);
}

double psip_ggw(double x, const double* k) {
  const double* abc = ggw_params(k, "psip_ggw");
  const double a = abc[0], b = abc[1], c = abc[2], ax = std::fabs(x);
  if (ax < c) return 1.;
  const double e = -R_pow(ax - c, b) / (a + a);
  if (e < -708.4) return 0.;
  return std::exp(e) * (1. - (b / (a + a)) * ax * R_pow(ax - c, b - 1.));
}

double wgt_ggw(double x, const double* k) {
  const double* abc = ggw_params(k, "wgt_ggw");
  const double a = abc[0], b = abc[1], c = abc[2], ax = std::fabs(x);
  if (ax < c) return 1.;
  return std::exp((-0.5 * R_pow(ax - c, b)) / a);
}

// ---- lqq ---------------------------------------------------------------------------
// psi is linear on [0, c], a quadratic on (c, bc] and another on (bc, L),
// zero from L on.

namespace {
struct lqq_consts {
  double b, c, s, bc, s1, A, d, L;
};

lqq_consts lqq_derive(const double* k) {
  lqq_consts q;
  q.b = k[0];
  q.c = k[1];
  q.s = k[2];
  q.bc = q.b + q.c;
  q.s1 = q.s - 1.;
  q.A = q.bc * (-2.) + q.b * q.s;
  q.d = q.A / q.s1;
  q.L = q.bc - q.d;
  return q;
}
}  // namespace

double psi_lin(double x, const double* k) {
  const lqq_consts q = lqq_derive(k);
  const double ax = std::fabs(x);
  if (ax <= q.c) return x;
  if (ax <= q.bc) {
    const double sg = x > 0 ? 1. : (x < 0 ? -1. : 0.);
    const double qq = ((ax - q.c) * (ax - q.c) * q.s) / q.b;
    return sg * (ax - 0.5 * qq);
  }
  if (ax < q.L) {
    const double sg = x > 0 ? 1. : -1.;
    const double u = ax - q.bc;
    const double s1sq = q.s1 * q.s1;
    return sg * (-0.5 * q.A - (s1sq / q.A) * (0.5 * (u * u) + q.d * u));
  }
  return 0.;
}

double psip_lin(double x, const double* k) {
  const lqq_consts q = lqq_derive(k);
  const double ax = std::fabs(x);
  if (ax <= q.c) return 1.;
  if (ax <= q.bc) return ((1. - q.s) * (ax - q.c) - (ax - q.bc)) / q.b;
  if (ax < q.L) {
    const double u = ax - q.bc;
    const double s1sq = q.s1 * q.s1;
    return -(s1sq * u + s1sq * q.d) / q.A;
  }
  return 0.;
}

double wgt_lin(double x, const double* k) {
  const lqq_consts q = lqq_derive(k);
  const double ax = std::fabs(x);
  if (ax <= q.c) return 1.;
  if (ax <= q.bc) return ((ax - q.c) * q.s * (ax - q.c)) / (q.b * (-2. * ax)) + 1.;
  if (ax < q.L) {
    const double u = ax - q.bc;
    const double s1sq = q.s1 * q.s1;
    return -(0.5 * q.A + (s1sq / q.A) * u * (0.5 * u + q.d)) / ax;
  }
  return 0.;
}

double rho_lin(double x, const double* k) {
  const lqq_consts q = lqq_derive(k);
  const double ax = std::fabs(x);
  const double D = (q.c * q.s) * (3. * q.c + 2. * q.b) + q.bc * q.bc;
  if (ax <= q.c) return ((q.s * 3. - 3.) / D) * x * x;
  if (ax <= q.bc)
    return ((q.s * 6. - 6.) / D) *
           ((x * x) * 0.5 + ((q.s / q.b) * std::pow(ax - q.c, 3.)) / (-6.));
  if (ax < q.L) {
    const double u = ax - q.bc;
    const double s1sq = q.s1 * q.s1;
    return ((6. * q.s1) / D) * ((0.5 * (q.bc * q.bc) - (q.b * (q.b * q.s)) / 6.) -
                                0.5 * u * (((u * s1sq / 3.) / q.A + q.s1) * u + q.A));
  }
  return 1.;
}

// ---- dispatch ------------------------------------------------------------------

namespace {
using family_fn = double (*)(double, const double*);
// Indexed by the family code; 0 is the bisquare as well.
const family_fn rho_table[7] = {rho_biwgt, rho_biwgt, rho_gwgt, rho_opt,
                                rho_hmpl,  rho_ggw,   rho_lin};
const family_fn psi_table[7] = {psi_biwgt, psi_biwgt, psi_gwgt, psi_opt,
                                psi_hmpl,  psi_ggw,   psi_lin};
const family_fn psip_table[7] = {psip_biwgt, psip_biwgt, psip_gwgt, psip_opt,
                                 psip_hmpl,  psip_ggw,   psip_lin};
const family_fn wgt_table[7] = {wgt_biwgt, wgt_biwgt, wgt_gwgt, wgt_opt,
                                wgt_hmpl,  wgt_ggw,   wgt_lin};

// Codes above 6, negative ones included (as unsigned), select the bisquare.
inline unsigned family_index(int ipsi) {
  const unsigned u = static_cast<unsigned>(ipsi);
  return u > 6u ? 1u : u;
}
}  // namespace

double rho(double x, const double* k, int ipsi) {
  return rho_table[family_index(ipsi)](x, k);
}
double psi(double x, const double* k, int ipsi) {
  return psi_table[family_index(ipsi)](x, k);
}
double psip(double x, const double* k, int ipsi) {
  return psip_table[family_index(ipsi)](x, k);
}
double wgt(double x, const double* k, int ipsi) {
  return wgt_table[family_index(ipsi)](x, k);
}

double normcnst(const double* k, int ipsi) {
  switch (family_index(ipsi)) {
    case PSI_GAUSSWEIGHT:
      return 1. / (k[0] * k[0]);
    case PSI_OPTIMAL:
      return 0.3076923076923077 / (k[0] * k[0]);
    case PSI_HAMPEL:
      return 2. / (k[0] * (k[1] + k[2] - k[0]));
    case PSI_GGW: {
      const int p = ggw_case(k[0]);
      if (p >= 1 && p <= 6) return ggw_normcnst[p - 1];
      return 1. / k[4];
    }
    case PSI_LQQ: {
      const double b = k[0], c = k[1], s = k[2];
      return 6. * (s - 1.) / (c * s * (3. * c + 2. * b) + (b + c) * (b + c));
    }
    default:
      return 6. / (k[0] * k[0]);
  }
}

}  // namespace kelvara

// ---- entry points ------------------------------------------------------------------

extern "C" {

void R_psifun(double* x, const double* k, const int* ipsi, const int* deriv,
              const int* n) {
  kelvara::host::run_entry([&] {
    const int d = *deriv;
    if (d == -1) {
      const double N = kelvara::normcnst(k, *ipsi);
      for (int i = 0; i < *n; ++i) x[i] = kelvara::rho(x[i], k, *ipsi) / N;
    } else if (d == 1) {
      for (int i = 0; i < *n; ++i) x[i] = kelvara::psip(x[i], k, *ipsi);
    } else {
      for (int i = 0; i < *n; ++i) x[i] = kelvara::psi(x[i], k, *ipsi);
    }
  });
}

void R_chifun(double* x, const double* k, const int* ipsi, const int* deriv,
              const int* n) {
  kelvara::host::run_entry([&] {
    const int d = *deriv;
    const double N = d > 0 ? kelvara::normcnst(k, *ipsi) : 0.;
    if (d == 1) {
      for (int i = 0; i < *n; ++i) x[i] = N * kelvara::psi(x[i], k, *ipsi);
    } else if (d == 2) {
      for (int i = 0; i < *n; ++i) x[i] = N * kelvara::psip(x[i], k, *ipsi);
    } else {
      for (int i = 0; i < *n; ++i) x[i] = kelvara::rho(x[i], k, *ipsi);
    }
  });
}

void R_wgtfun(double* x, const double* k, const int* ipsi, const int* n) {
  kelvara::host::run_entry([&] {
    for (int i = 0; i < *n; ++i) x[i] = kelvara::wgt(x[i], k, *ipsi);
  });
}

}  // extern "C"

extern "C" void kv_ggw_table(double* abc, double* chi_end) {
  // No R service is used and nothing can fail: no run_entry needed.
  for (int c = 0; c < 6; ++c) {
    for (int j = 0; j < 3; ++j) abc[3 * c + j] = kelvara::ggw_case_abc[c][j];
    chi_end[c] = kelvara::ggw_chi_end[c];
  }
}
