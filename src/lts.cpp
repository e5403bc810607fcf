// Least trimmed squares regression by the FAST-LTS search: random (or all)
// p-subsets give exact starting fits, concentration steps (refit on the h
// cases with the smallest absolute residuals) improve them, the ten best
// are kept and iterated to convergence.  Large samples are searched first
// in random groups of about 300 cases, then in their union, then in full.
//
// All arrays are counted from 1 in the comments and stored column by
// column; the code addresses them through 0-based pointers.
#include "lts.h"

#include <cmath>
#include <cstdint>
#include <vector>

#include "host.h"
#include "mcd.h"
#include "registration.h"

namespace kelvara {
namespace {

// Element (i, j), counted from 1, of a matrix with leading dimension ld.
inline double& at(double* a, int ld, int i, int j) {
  return a[(i - 1) + static_cast<std::ptrdiff_t>(j - 1) * ld];
}
inline double at(const double* a, int ld, int i, int j) {
  return a[(i - 1) + static_cast<std::ptrdiff_t>(j - 1) * ld];
}

// Copies rows 1..ld, columns 1..ncol of a into b (same leading dimension).
void copy_block(const double* a, double* b, int ld, int ncol) {
  const std::ptrdiff_t len = static_cast<std::ptrdiff_t>(ld) * ncol;
  for (std::ptrdiff_t k = 0; k < len; ++k) b[k] = a[k];
}

// First row of rows k..n whose |w(i, k)| strictly exceeds every earlier
// magnitude; `big` returns that magnitude (0 when the column is all zero).
int pivot_row(const double* w, int ld, int k, int n, double& big) {
  big = 0.0;
  int row = k;
  for (int i = k; i <= n; ++i) {
    const double v = std::fabs(at(w, ld, i, k));
    if (v > big) {
      big = v;
      row = i;
    }
  }
  return row;
}

void swap_rows(double* w, int ld, int r1, int r2, int from, int to) {
  for (int j = from; j <= to; ++j) {
    const double t = at(w, ld, r1, j);
    at(w, ld, r1, j) = at(w, ld, r2, j);
    at(w, ld, r2, j) = t;
  }
}

}  // namespace
}  // namespace kelvara

using kelvara::at;

extern "C" {

void rffcn_(const int* n, double* xrow, const double* x, const int* i, const int* ld,
            const int*) {
  for (int k = 1; k <= *n; ++k) xrow[k - 1] = at(x, *ld, *i, k);
}

void rfmatnv_(double* a, const int* mda, const int*, double* w, const int*, const int* pn,
              const int* pm, int* ipiv) {
  const int ld = *mda, n = *pn, nn = *pn + *pm;
  kelvara::copy_block(a, w, ld, nn);
  bool complete = true;
  for (int k = 1; k <= n; ++k) {
    double big;
    const int row = kelvara::pivot_row(w, ld, k, n, big);
    if (big == 0.0) {
      complete = false;  // singular: hand back the partly reduced matrix
      break;
    }
    ipiv[k - 1] = row;
    if (row > k) kelvara::swap_rows(w, ld, k, row, 1, nn);
    const double r = 1.0 / at(w, ld, k, k);
    for (int i = 1; i <= n; ++i) at(w, ld, i, k) = -(r * at(w, ld, i, k));
    at(w, ld, k, k) = r;
    for (int j = 1; j <= nn; ++j) {
      if (j == k) continue;
      const double t = at(w, ld, k, j);
      for (int i = 1; i <= n; ++i)
        at(w, ld, i, j) = at(w, ld, i, j) + t * at(w, ld, i, k);
      at(w, ld, k, j) = t * r;
    }
  }
  if (complete) {
    for (int k = n; k >= 1; --k) {
      const int c = ipiv[k - 1];
      if (c == k) continue;
      for (int i = 1; i <= n; ++i) {
        const double t = at(w, ld, i, k);
        at(w, ld, i, k) = at(w, ld, i, c);
        at(w, ld, i, c) = t;
      }
    }
  }
  kelvara::copy_block(w, a, ld, nn);
}

void rfequat_(double* a, const int* mda, const int*, double* w, const int*, const int* pn,
              const int* pm, int* ierr) {
  const int ld = *mda, n = *pn, nn = *pn + *pm;
  kelvara::copy_block(a, w, ld, nn);
  bool singular = false;
  for (int k = 1; k <= n; ++k) {
    double big;
    const int row = kelvara::pivot_row(w, ld, k, n, big);
    if (big <= 1e-8) {
      singular = true;
      break;
    }
    if (row != k) kelvara::swap_rows(w, ld, k, row, k, nn);
    if (k == n) break;
    const double r = 1.0 / at(w, ld, k, k);
    for (int i = k + 1; i <= n; ++i) at(w, ld, i, k) = at(w, ld, i, k) * r;
    for (int i = k + 1; i <= n; ++i)
      for (int j = k + 1; j <= nn; ++j)
        at(w, ld, i, j) = at(w, ld, i, j) - at(w, ld, k, j) * at(w, ld, i, k);
  }
  if (singular) {
    *ierr = -1;
  } else {
    *ierr = 0;
    for (int j = n + 1; j <= nn; ++j) {
      for (int i = n; i >= 2; --i) {
        at(w, ld, i, j) = at(w, ld, i, j) / at(w, ld, i, i);
        for (int r = 1; r <= i - 1; ++r)
          at(w, ld, r, j) = at(w, ld, r, j) - at(w, ld, i, j) * at(w, ld, r, i);
      }
      at(w, ld, 1, j) = at(w, ld, 1, j) / at(w, ld, 1, 1);
    }
    for (int j = n + 1; j <= nn; ++j)
      for (int i = 1; i <= n; ++i) at(w, ld, i, j - n) = at(w, ld, i, j);
  }
  kelvara::copy_block(w, a, ld, nn);
}

double rfqlsrg_(const int* pnp, const int* pldx, const int*, const int* pldb, double*,
                const double* x, const double* w, const double* b, const int* pk,
                const int*, const int* pncas) {
  const int np = *pnp, ldx = *pldx, ldb = *pldb, k = *pk, ncas = *pncas;
  double q = 0.0;
  for (int i = 1; i <= ncas; ++i) {
    double fit = 0.0;
    for (int j = 1; j <= np; ++j) fit = fit + at(x, ldx, i, j) * at(b, ldb, j, k);
    const double r = fit - at(x, ldx, i, k);
    q = q + w[i - 1] * (r * r);
  }
  return q;
}

void rflsreg_(const int*, const int* pld, const int* pnp, const int* pldx, double* theta,
              const double* x, const double* w, double* se, double* sscp, double* q,
              double* work, const int*, int* ipiv, const int*, const int* pncas) {
  const int ld = *pld, np = *pnp, ldx = *pldx, ncas = *pncas;
  const int np1 = np + 1, one = 1;
  for (int j = 1; j <= np1; ++j)
    for (int k = 1; k <= np; ++k) at(sscp, ld, k, j) = 0.0;
  // Each sum runs over the cases in order, exactly as a case-by-case
  // accumulation would; the loops are turned round for column access.
  double sumw = 0.0;
  for (int i = 0; i < ncas; ++i) sumw = sumw + w[i];
  const double* y = x + static_cast<std::ptrdiff_t>(np) * ldx;
  for (int k = 1; k <= np; ++k) {
    const double* xk = x + static_cast<std::ptrdiff_t>(k - 1) * ldx;
    double s = 0.0;
    for (int i = 0; i < ncas; ++i) s = s + w[i] * xk[i] * y[i];
    at(sscp, ld, k, np1) = s;
    for (int l = 1; l <= k; ++l) {
      const double* xl = x + static_cast<std::ptrdiff_t>(l - 1) * ldx;
      double t = 0.0;
      for (int i = 0; i < ncas; ++i) t = t + (w[i] * xk[i]) * xl[i];
      at(sscp, ld, k, l) = t;
    }
  }
  for (int k = 1; k <= np; ++k)
    for (int l = k + 1; l <= np; ++l) at(sscp, ld, k, l) = at(sscp, ld, l, k);
  rfmatnv_(sscp, &ld, &np, work, &np, &np, &one, ipiv);
  *q = rfqlsrg_(&np, &ldx, &np, &ld, theta, x, w, sscp, &np1, &np, &ncas);
  for (int j = 1; j <= np; ++j) theta[j - 1] = at(sscp, ld, j, np1);
  const double s2 = *q / (sumw - np);
  for (int j = 1; j <= np; ++j)
    for (int i = 1; i <= np; ++i) at(sscp, ld, i, j) = at(sscp, ld, i, j) * s2;
  for (int j = 1; j <= np; ++j) se[j - 1] = std::sqrt(at(sscp, ld, j, j));
}

void rfrtran_(const int* pnp, const int* intercept, const int* pnslope, const int* pjy,
              const int*, const double* loc, const double* scale, double* theta,
              const int*, double* q) {
  const int np = *pnp, nslope = *pnslope, jy = *pjy;
  const double sy = scale[jy - 1], my = loc[jy - 1];
  if (np <= 1) {
    theta[0] = sy * theta[0] / scale[0];
  } else {
    for (int i = 1; i <= nslope; ++i) theta[i - 1] = sy * theta[i - 1] / scale[i - 1];
    if (*intercept != 0) {
      theta[np - 1] = sy * theta[np - 1];
      for (int i = 1; i <= nslope; ++i)
        theta[np - 1] = theta[np - 1] - theta[i - 1] * loc[i - 1];
      theta[np - 1] = theta[np - 1] + my;
    } else {
      theta[np - 1] = sy * theta[np - 1] / scale[np - 1];
    }
  }
  *q = *q * (sy * sy);
}

void rftrc_(double* h, double* se, const int* pldh, const int*, const int* pnp,
            const int* intercept, const int* pnslope, const int* pjy, const double* loc,
            const double* scale) {
  const int ld = *pldh, np = *pnp, nslope = *pnslope, jy = *pjy;
  const double* s = scale - 1;  // 1-based views
  const double* m = loc - 1;
  const double c = s[jy] * s[jy];
  if (*intercept == 0) {
    for (int j = 1; j <= np; ++j) {
      for (int i = 1; i <= j; ++i)
        at(h, ld, i, j) = at(h, ld, i, j) * (c / (s[i] * s[j]));
      se[j - 1] = std::sqrt(at(h, ld, j, j));
    }
    return;
  }
  for (int i = 1; i <= np; ++i) at(h, ld, i, jy) = at(h, ld, i, i);
  auto diag = [&](int i) { return at(h, ld, i, jy); };
  for (int j = 1; j <= np; ++j) {
    for (int i = 1; i <= j; ++i) at(h, ld, i, j) = c * at(h, ld, i, j) / (s[j] * s[i]);
    se[j - 1] = std::sqrt(at(h, ld, j, j));
  }
  for (int j = 1; j <= nslope; ++j) {
    double t = c * at(h, ld, j, np) / s[j];
    at(h, ld, np, j) = t;
    for (int k = 1; k <= np; ++k) {
      if (k == j)
        t = t - (c * m[j] / (s[j] * s[j])) * diag(j);
      else if (k > j)
        t = t - (c * m[k] / (s[j] * s[k])) * at(h, ld, j, k);
      else
        t = t - (c * m[k] / (s[j] * s[k])) * at(h, ld, k, j);
      at(h, ld, np, j) = t;
    }
  }
  double v = diag(np) * c;
  for (int i = 1; i <= np; ++i) v = v + (c * m[i] * m[i] / (s[i] * s[i])) * diag(i);
  for (int i = 1; i <= np - 1; ++i) v = v + (-2.0 * c * m[i] / s[i]) * at(h, ld, i, np);
  v = v + (-2.0 * c * m[np] / s[np]) * diag(np);
  for (int i = 1; i <= nslope; ++i)
    for (int k = i + 1; k <= np; ++k)
      v = v + (2.0 * m[i] * m[k] * c / (s[i] * s[k])) * at(h, ld, i, k);
  at(h, ld, np, np) = v;
  se[np - 1] = std::sqrt(v);
}

double rfamdan_(const int*, double* aw, const int* pn, int* index) {
  int n = *pn;
  // The half-size is formed in single precision, as the routine always has.
  int half = static_cast<int>(static_cast<float>(n) * 0.5f);
  int k1 = half + 1;
  if (n % 2 != 0) return rffindq_(aw, &n, &k1, index);
  const double lower = rffindq_(aw, &n, &half, index);
  const double upper = rffindq_(aw, &n, &k1, index);
  return (lower + upper) * 0.5;
}

void rfstatis_(double* x, double* loc, double* scale, double* work, const int* intercept,
               const int* pncol, const int*, const int* pass, const int* pn, int* flag,
               const double* peps, double* ones, double* ystd, const int* pjint,
               int* index) {
  // Normalizing constants of the median and mean absolute deviations, used as
  // the single-precision values they have always been.
  const double mad_const = static_cast<double>(1.4826f);
  const double mean_const = static_cast<double>(1.2533f);
  const int n = *pn, ncol = *pncol;
  const double eps = *peps;
  *flag = 0;
  // Scale of the values left in work: normalized MAD, or the normalized
  // mean absolute deviation when the MAD vanishes.  False: zero scale.
  auto column_scale = [&](int j) {
    scale[j - 1] = rfamdan_(pass, work, &n, index) * mad_const;
    if (std::fabs(scale[j - 1]) <= eps) {
      double sum = 0.0;
      for (int i = 0; i < n; ++i) sum = sum + work[i];
      scale[j - 1] = sum / n * mean_const;
      if (eps >= std::fabs(scale[j - 1])) {
        *flag = 1;
        return false;
      }
    }
    return true;
  };
  if (*intercept == 0) {
    for (int j = 1; j <= ncol; ++j) {
      double* xj = x + static_cast<std::ptrdiff_t>(j - 1) * n;
      loc[j - 1] = 0.0;
      for (int i = 0; i < n; ++i) work[i] = std::fabs(xj[i]);
      if (!column_scale(j)) return;
      for (int i = 0; i < n; ++i) xj[i] = xj[i] / scale[j - 1];
    }
  } else {
    const int jint = *pjint;
    loc[jint - 1] = 0.0;
    scale[jint - 1] = 1.0;
    for (int j = 1; j <= ncol; ++j) {
      if (j == jint) continue;
      double* xj = x + static_cast<std::ptrdiff_t>(j - 1) * n;
      for (int i = 0; i < n; ++i) work[i] = xj[i];
      loc[j - 1] = rfamdan_(pass, work, &n, index);
      for (int i = 0; i < n; ++i) work[i] = std::fabs(work[i] - loc[j - 1]);
      if (!column_scale(j)) return;
      for (int i = 0; i < n; ++i) xj[i] = (xj[i] - loc[j - 1]) / scale[j - 1];
    }
  }
  const double* y = x + static_cast<std::ptrdiff_t>(ncol - 1) * n;
  for (int i = 0; i < n; ++i) {
    ones[i] = 1.0;
    ystd[i] = y[i];
  }
}

}  // extern "C"

// ---- the FAST-LTS search ------------------------------------------------------

namespace kelvara {
namespace {

constexpr double empty_coef = 1000000.0;  // first coefficient of an empty slot
constexpr double empty_objective = 1e26;
constexpr int n_slots = 10;
constexpr int min_n_groups = 600;
constexpr int group_rows = 1500;  // rows of the group matrix: five groups of 300
constexpr int max_groups = 5;
// A random p-subset that is singular is replaced by a new draw (from the
// third start on).  In a design where every p-subset is singular that would
// never end, so a start gives up after this many redraws, and once one start
// has given up the rest of the stage no longer redraws.
constexpr int max_singular_redraws = 1000;

// Consistency factors of the univariate trimmed scale for h/n = 0.5, 0.525,
// ..., 0.75, held in single precision.
constexpr float lts_factors[11] = {2.6477f, 2.5092f, 2.3826f, 2.2662f, 2.1587f, 2.0589f,
                                   1.9660f, 1.8790f, 1.7973f, 1.7203f, 1.6473f};

double consistency_factor(int h, int n) {
  const double frac = static_cast<double>(h) / n;
  const float t = 40.0f * static_cast<float>(frac - 0.5);
  int index = 1 + static_cast<int>(std::lround(t));
  if (index > 11) index = 11;
  if (index < 1) index = 1;  // h below n/2: the table has no entry there
  return static_cast<double>(lts_factors[index - 1]);
}

int final_csteps(std::int64_t np) {
  if (np <= 100000) return 100;
  if (np <= 200000) return 10;
  if (np > 1000000) return 1;
  // 9 up to 300000, 8 up to 400000, ..., 2 up to 1000000
  return 10 - static_cast<int>((np - 200001) / 100000 + 1);
}

enum class stage_kind { subset, group, merged, final };

// Hands R's random-number state back on every way out of the search.
struct rng_bracket {
  rng_bracket() { rndstart_(); }
  ~rng_bracket() { rndend_(); }
  rng_bracket(const rng_bracket&) = delete;
  rng_bracket& operator=(const rng_bracket&) = delete;
};

struct lts_search {
  int n, p, h, ncol, intercept, adjust, trace;
  bool groups = false;
  double factor;

  double* x;
  double* fit_data;
  double* unit_weights;
  int* hsubset;
  int* sub_index;
  int* hidx;
  double* buf17;    // window buffer of the intercept search
  double* rsorted;  // signed residuals, sorted for the intercept search
  double* res;
  double* mcd_sums;
  double* mcd_sums2;
  double* mcd_loc;
  int* ipiv;
  double* theta;
  double* se;
  double* sscp;
  double* work;
  double* subset_system;
  double* coef_list;
  double* group_coef_list;
  double* group_data;
  int* best_index;
  double* best_objective;
  double* best_coef;

  // current stage
  const double* src = nullptr;  // the stage's data: rows 1..nn, columns 1..p+1
  int ld = 0;
  double best_so_far = empty_objective;

  double univariate_mcd(double* w, int ncas, int hh, int& len) {
    double bstd;
    len = ncas - hh + 1;
    rfmcduni_(w, &ncas, &hh, mcd_loc, &bstd, mcd_sums, mcd_sums2, &factor, &len);
    return mcd_loc[0];
  }

  // Signed residuals of theta on the stage's cases 1..nn, with a copy in
  // rsorted.  Each fit is summed over the coefficients in order.
  void residuals(int nn) {
    const double* y = src + static_cast<std::ptrdiff_t>(p) * ld;
    for (int j = 0; j < nn; ++j) res[j] = theta[0] * src[j];
    for (int k = 1; k < p; ++k) {
      const double* xk = src + static_cast<std::ptrdiff_t>(k) * ld;
      const double t = theta[k];
      for (int j = 0; j < nn; ++j) res[j] = res[j] + t * xk[j];
    }
    for (int j = 0; j < nn; ++j) {
      res[j] = y[j] - res[j];
      rsorted[j] = res[j];
    }
  }

  // Replaces the intercept by the location of the best window of hh sorted
  // residuals.  The window search looks only near the block of the hh
  // smallest absolute residuals and widens while the optimum touches an end.
  void adjust_intercept(int nn, int hh, bool windows) {
    rfshsort_(rsorted, &nn);
    int len;
    double loc;
    if (!windows || nn - hh <= 200) {
      loc = univariate_mcd(rsorted, nn, hh, len);
    } else {
      for (int j = 0; j < nn; ++j) mcd_sums2[j] = std::fabs(rsorted[j]);
      rffindq_(mcd_sums2, &nn, &hh, sub_index);
      for (int j = 0; j < hh; ++j) buf17[j] = rsorted[sub_index[j] - 1];
      int one = 1;
      rffindq_(buf17, &hh, &one, hidx);
      const int j0 = sub_index[hidx[0] - 1];
      if (j0 + hh + 99 > nn || j0 <= 100) {
        loc = univariate_mcd(rsorted, nn, hh, len);
      } else {
        int d = 100, e = 200, g = 201;
        bool left = false, right = false;
        for (;;) {
          const int first = j0 - d;
          for (int j = 0; j < hh + e; ++j) buf17[j] = rsorted[first - 1 + j];
          loc = univariate_mcd(buf17, hh + e, hh, len);
          if (len == 1 && !left) {
            if (right || j0 - 2 * d <= 0) break;
            e = d;
            d = 2 * d;
            left = true;
            g = e + 1;
          } else if (len == g && !right) {
            if (left || hh - 1 + j0 + 2 * d > nn) break;
            e = d;
            d = -d;
            right = true;
            g = e + 1;
          } else if (len == 1 && left) {
            d = d + 100;
            if (j0 - d <= 0) break;
          } else if (len == g && right) {
            d = d - 100;
            if (hh - 1 + j0 + e - d > nn) break;
          } else {
            break;
          }
        }
      }
    }
    theta[p - 1] = theta[p - 1] + loc;
    for (int j = 0; j < nn; ++j) res[j] = res[j] - loc;
  }

  // Residuals, intercept adjustment, and the positions hidx(1..hh) of the hh
  // smallest absolute residuals (whose values then stand in res(1..hh)).
  void evaluate(int nn, int hh, bool windows) {
    residuals(nn);
    if (adjust == 1 && intercept == 1) adjust_intercept(nn, hh, windows);
    for (int j = 0; j < nn; ++j) res[j] = std::fabs(res[j]);
    rffindq_(res, &nn, &hh, hidx);
  }

  // Least-squares fit of the stage's cases hidx(1..hh).  Only those rows of
  // fit_data are passed, which gives the same coefficients as a fit of the
  // zero-padded stage.
  void refit(int hh) {
    for (int j = 0; j < hh; ++j) hsubset[j] = hidx[j];
    rfishsort_(hsubset, &hh);
    for (int k = 0; k <= p; ++k) {
      const double* sk = src + static_cast<std::ptrdiff_t>(k) * ld;
      double* fk = fit_data + static_cast<std::ptrdiff_t>(k) * n;
      for (int j = 0; j < hh; ++j) fk[j] = sk[hsubset[j] - 1];
    }
    int np1 = p + 1, pp1 = p * (p + 1);
    double q;
    rflsreg_(&np1, &p, &p, &n, theta, fit_data, unit_weights, se, sscp, &q, work, &pp1,
             ipiv, &ncol, &hh);
  }

  // The starting fit in theta, then C-steps.  Returns the last objective.
  double concentrate(stage_kind kind, int nn, int hh, int csteps, int start,
                     bool windows) {
    evaluate(nn, hh, windows);
    double obj = 0.0, older = 0.0, old = 0.0;  // objectives of steps s-2, s-1
    for (int s = 1; s <= csteps; ++s) {
      refit(hh);
      evaluate(nn, hh, windows);
      obj = 0.0;
      for (int j = 0; j < hh; ++j) obj = obj + res[j] * res[j];
      if (s > 1 && obj == older) break;
      older = old;
      old = obj;
      if (kind == stage_kind::final &&
          (obj < best_so_far || (s == 1 && start == 1 && !groups))) {
        best_so_far = obj;
        *best_objective = obj;
        for (int j = 0; j < h; ++j) best_index[j] = hidx[j];
        int one = 1;
        rfcovcopy_(theta, best_coef, &p, &one);
      }
    }
    return obj;
  }

  // Exact fit of the p cases sub_index(1..p) of the stage; false if singular.
  bool subset_fit() {
    if (p == 1) {
      const int r = sub_index[0];
      const double xr = at(src, ld, r, 1);
      theta[0] = xr != 0.0 ? at(src, ld, r, 2) / xr : 0.0;
      return true;
    }
    for (int k = 1; k <= p + 1; ++k)
      for (int j = 1; j <= p; ++j)
        at(subset_system, p, j, k) = at(src, ld, sub_index[j - 1], k);
    int pp1 = p + 1, size = p * (p + 1), one = 1, ierr = 0;
    rfequat_(subset_system, &p, &pp1, work, &size, &p, &one, &ierr);
    if (ierr < 0) return false;
    for (int j = 0; j < p; ++j) theta[j] = subset_system[j];
    return true;
  }

  void print_trials(int nrep) const {
    if (trace > 1) host::intpr("Main loop - number of trials nrep: ", &nrep, 1);
  }
};

// Puts (obj, theta) into the ten-slot list unless it is no better than all
// ten or repeats a stored candidate exactly.  Slot m's coefficients are row
// row0 + m of coefs (leading dimension ldc).
void insert_candidate(double* objs, double* coefs, int ldc, int row0, int p,
                      const double* theta, double obj) {
  int m = -1;
  for (int l = 0; l < n_slots; ++l)
    if (objs[l] >= obj) {
      m = l;
      break;
    }
  if (m < 0) return;
  auto coef = [&](int slot, int k) -> double& {
    return coefs[row0 + slot + static_cast<std::ptrdiff_t>(k) * ldc];
  };
  auto same = [&](int slot) {
    for (int k = 0; k < p; ++k)
      if (coef(slot, k) != theta[k]) return false;
    return true;
  };
  if (objs[m] == obj && same(m)) {
    bool differs = false;
    for (int l = m + 1; l < n_slots && !differs; ++l)
      if (objs[l] == obj && !same(l)) differs = true;
    if (!differs) return;
  }
  for (int l = n_slots - 1; l > m; --l) {
    objs[l] = objs[l - 1];
    for (int k = 0; k < p; ++k) coef(l, k) = coef(l - 1, k);
  }
  objs[m] = obj;
  for (int k = 0; k < p; ++k) coef(m, k) = theta[k];
}

}  // namespace
}  // namespace kelvara

extern "C" void rfltsreg_(double* x, int* pn, int* pp, int* ph, int* pkrep,
                          int* best_index, double* best_objective, int* pintercept,
                          int* padjust, int* pncol, double* fit_data, void*,
                          double* unit_weights, int* hsubset, int* sub_index, int* hidx,
                          double* buf17, double* rsorted, double* res, double* ystd,
                          double* zero21, double* zero22, double* mcd_sums,
                          double* mcd_sums2, double* mcd_loc, int* ipiv, double* loc,
                          double* scale, double* theta, double* se, double* sscp,
                          double* work, double* subset_system, double* unused34,
                          double* coef_list, double* unused36, double* group_coef_list,
                          double* group_data, double* zero39, double* zero40,
                          double* best_coef, int* ptrace) {
  kelvara::host::run_entry([&] {
    using namespace kelvara;
    int n = *pn, p = *pp, h = *ph, ncol = *pncol;
    const int krep = *pkrep, trace = *ptrace;
    if (trace > 1) host::intpr("Entering rfltsreg() - krep: ", &krep, 1);
    rng_bracket rng;

    lts_search s;
    s.n = n;
    s.p = p;
    s.h = h;
    s.ncol = ncol;
    s.intercept = *pintercept;
    s.adjust = *padjust;
    s.trace = trace;
    s.factor = consistency_factor(h, n);
    s.x = x;
    s.fit_data = fit_data;
    s.unit_weights = unit_weights;
    s.hsubset = hsubset;
    s.sub_index = sub_index;
    s.hidx = hidx;
    s.buf17 = buf17;
    s.rsorted = rsorted;
    s.res = res;
    s.mcd_sums = mcd_sums;
    s.mcd_sums2 = mcd_sums2;
    s.mcd_loc = mcd_loc;
    s.ipiv = ipiv;
    s.theta = theta;
    s.se = se;
    s.sscp = sscp;
    s.work = work;
    s.subset_system = subset_system;
    s.coef_list = coef_list;
    s.group_coef_list = group_coef_list;
    s.group_data = group_data;
    s.best_index = best_index;
    s.best_objective = best_objective;
    s.best_coef = best_coef;

    if (ncol == 1) {  // location only: the univariate LTS of column 1
      for (int i = 0; i < n; ++i) zero22[i] = x[i];
      rfshsort_(zero22, &n);
      int len;
      s.univariate_mcd(zero22, n, h, len);
      return;
    }

    // ---- stage plan
    std::vector<int> table(2 * group_rows, 1000000);
    int group_sizes[max_groups] = {0, 0, 0, 0, 0};
    int ngroup = 0, merged_size = 0, group_h = 0, merged_h = 0, nrep = 0;
    bool all_subsets = false;
    if (krep > 0 && n >= min_n_groups) {
      s.groups = true;
      ngroup = n / 300 < max_groups ? n / 300 : max_groups;
      if (n <= 1499) {
        const int q = n / ngroup, r = n - q * ngroup;
        for (int k = 0; k < ngroup; ++k) group_sizes[k] = q;
        for (int k = 1; k <= r; ++k)
          group_sizes[k] += 1;  // groups 2, 3, ... take the rest
      } else {
        for (int k = 0; k < max_groups; ++k) group_sizes[k] = 300;
      }
      for (int k = 0; k < ngroup; ++k) merged_size += group_sizes[k];
      group_h = static_cast<int>(static_cast<std::int64_t>(group_sizes[0]) * h / n);
      merged_h = static_cast<int>(static_cast<std::int64_t>(merged_size) * h / n);
      nrep = krep / ngroup;
      int kmini = max_groups;
      rfrdraw_(table.data(), &n, &merged_size, group_sizes, &ngroup, &kmini);
    } else {
      int lim = replow_(&p);
      if (krep == 0 || n <= lim) {
        all_subsets = true;
        nrep = rfncomb_(&p, &n);
        if (trace > 1) host::intpr("will use *all* combinations: ", &nrep, 1);
      } else {
        nrep = krep;
      }
    }

    // ---- initialization
    const int pp1 = p + 1;
    for (int k = 0; k < 50 * p; ++k) group_coef_list[k] = empty_coef;
    for (int k = 0; k < n_slots * p; ++k) coef_list[k] = empty_coef;
    for (int k = 0; k < 50 * p * p; ++k) unused36[k] = empty_coef;
    for (int k = 0; k < n_slots * p * p; ++k) unused34[k] = empty_coef;
    for (int k = 0; k < p; ++k) zero39[k] = zero40[k] = best_coef[k] = 0.0;
    for (int k = 0; k < p * pp1; ++k) subset_system[k] = sscp[k] = work[k] = 0.0;
    for (int i = 0; i < n; ++i) {
      res[i] = zero21[i] = zero22[i] = unit_weights[i] = rsorted[i] = buf17[i] = 0.0;
      ystd[i] = mcd_sums[i] = mcd_sums2[i] = mcd_loc[i] = 0.0;
      sub_index[i] = hidx[i] = hsubset[i] = 1000000;
    }
    for (int k = 0; k < pp1; ++k) {
      theta[k] = loc[k] = scale[k] = se[k] = 0.0;
      ipiv[k] = 0;
    }
    for (int k = 0; k < group_rows * pp1; ++k) group_data[k] = 0.0;
    for (int j = 0; j < h; ++j) best_index[j] = 0;

    // ---- standardization and the least-squares fit of all cases
    int flag = 0, ld_stat = p + 1, jint = p;
    const double eps = 1e-6;
    rfstatis_(x, loc, scale, buf17, pintercept, &ncol, &ld_stat, &n, &n, &flag, &eps,
              unit_weights, ystd, &jint, hidx);
    if (flag == 1) return;  // a column with zero scale: no fit
    {
      int np1 = p + 1, pp = p * pp1, nslope = p - 1;
      double q;
      rflsreg_(&np1, &p, &p, &n, theta, x, unit_weights, se, sscp, &q, work, &pp, ipiv,
               &ncol, &n);
      rfrtran_(&p, pintercept, &nslope, &ncol, &p, loc, scale, theta, &p, &q);
      rftrc_(sscp, se, &p, &p, &p, pintercept, &nslope, &ncol, loc, scale);
    }

    std::vector<double> objs(n_slots, empty_objective);
    std::vector<double> group_objs(n_slots * max_groups, empty_objective);

    if (!s.groups) {
      // ---- subset stage: exact fits of random (or all) p-subsets
      s.print_trials(nrep);
      s.src = x;
      s.ld = n;
      if (all_subsets) {
        for (int j = 0; j < p; ++j) sub_index[j] = j + 1;
        sub_index[p - 1] = p - 1;
      }
      bool redraw = true;
      for (int i = 1; i <= nrep; ++i) {
        host::check_interrupt();
        bool ok = false;
        for (int draws = 0;; ++draws) {
          if (all_subsets)
            rfgenpn_(&n, &p, sub_index);
          else
            rfrangen_(&n, &p, sub_index);
          ok = s.subset_fit();
          if (ok || all_subsets || i <= 2 || !redraw) break;
          if (draws >= max_singular_redraws) {
            redraw = false;
            break;
          }
        }
        if (!ok) continue;
        const double obj = s.concentrate(stage_kind::subset, n, h, 2, i, false);
        insert_candidate(objs.data(), coef_list, n_slots, 0, p, theta, obj);
      }
    } else {
      // ---- group stage: random p-subsets within each group
      s.print_trials(nrep);
      s.src = group_data;
      s.ld = group_rows;
      std::vector<int> members(group_rows, 0);
      for (int k = 1; k <= ngroup; ++k) {
        int gsize = group_sizes[k - 1], m = 0;
        for (int j = 0; j < merged_size; ++j)
          if (table[2 * j + 1] == k) members[m++] = table[2 * j];
        for (int c = 1; c <= ncol; ++c)
          for (int j = 1; j <= m; ++j)
            at(group_data, group_rows, j, c) = at(x, n, members[j - 1], c);
        for (int i = 1; i <= nrep; ++i) {
          host::check_interrupt();
          rfrangen_(&gsize, &p, sub_index);
          if (!s.subset_fit()) continue;
          const double obj =
              s.concentrate(stage_kind::group, gsize, group_h, 2, i, false);
          insert_candidate(group_objs.data() + n_slots * (k - 1), group_coef_list, 50,
                           n_slots * (k - 1), p, theta, obj);
        }
      }

      // ---- merged stage: the groups' candidates on the union of the groups
      s.print_trials(nrep);
      nrep = n_slots;
      for (int c = 1; c <= ncol; ++c)
        for (int j = 1; j <= merged_size; ++j)
          at(group_data, group_rows, j, c) = at(x, n, table[2 * (j - 1)], c);
      for (int k = 1; k <= ngroup; ++k) {
        for (int i = 1; i <= nrep; ++i) {
          host::check_interrupt();
          const int row = n_slots * (k - 1) + i;
          if (at(group_coef_list, 50, row, 1) == empty_coef) break;
          for (int j = 1; j <= p; ++j) theta[j - 1] = at(group_coef_list, 50, row, j);
          const double obj =
              s.concentrate(stage_kind::merged, merged_size, merged_h, 2, i, true);
          insert_candidate(objs.data(), coef_list, n_slots, 0, p, theta, obj);
        }
      }
    }

    // ---- final stage: the stored candidates on all cases, to convergence
    s.print_trials(nrep);
    nrep = n > 5000 ? 1 : n_slots;
    const int csteps = final_csteps(static_cast<std::int64_t>(n) * p);
    s.src = x;
    s.ld = n;
    s.best_so_far = empty_objective;
    for (int i = 1; i <= nrep; ++i) {
      host::check_interrupt();
      if (at(coef_list, n_slots, i, 1) == empty_coef) break;
      for (int j = 1; j <= p; ++j) theta[j - 1] = at(coef_list, n_slots, i, j);
      s.concentrate(stage_kind::final, n, h, csteps, i, s.groups);
    }
  });
}
