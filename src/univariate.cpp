#include "univariate.h"

#include <R_ext/Utils.h>  // R_qsort, R_rsort, Rf_rPsort
#include <Rmath.h>        // Rf_fmax2, Rf_fmin2, Rf_sign

#include <cmath>
#include <cstdint>
#include <utility>
#include <vector>

#include "host.h"

namespace kelvara {

namespace {

// Weighted high median by repeated halving of the candidate set.  W is the
// weight type, S the type of the weight sums.
template <class W, class S>
double whimed_impl(double* a, W* w, int n, double* a_cand, double* a_srt, W* w_cand) {
  S w_tot = 0;
  for (int i = 0; i < n; ++i) w_tot += static_cast<S>(w[i]);
  S w_rest = 0;
  for (;;) {
    for (int i = 0; i < n; ++i) a_srt[i] = a[i];
    const int n2 = n / 2;
    Rf_rPsort(a_srt, n, n2);
    const double trial = a_srt[n2];

    S w_left = 0, w_mid = 0;
    for (int i = 0; i < n; ++i) {
      if (a[i] < trial)
        w_left += static_cast<S>(w[i]);
      else if (a[i] == trial)
        w_mid += static_cast<S>(w[i]);
    }

    int n_cand = 0;
    if (2 * (w_rest + w_left) > w_tot) {
      for (int i = 0; i < n; ++i)
        if (a[i] < trial) {
          a_cand[n_cand] = a[i];
          w_cand[n_cand] = w[i];
          ++n_cand;
        }
    } else if (2 * (w_rest + w_left + w_mid) > w_tot) {
      return trial;
    } else {
      for (int i = 0; i < n; ++i)
        if (a[i] > trial) {
          a_cand[n_cand] = a[i];
          w_cand[n_cand] = w[i];
          ++n_cand;
        }
      w_rest = w_rest + w_left + w_mid;
    }
    // With exact sums the candidate set never empties.  Rounded double sums
    // (weights of very different magnitudes) can make it do so at the last
    // candidate; the trial value is then the answer, and stopping here keeps
    // the loop from running forever on an empty set.
    if (n_cand == 0) return trial;
    // The new candidates, in their order, become the current ones: the two
    // pairs of arrays trade places instead of copying back.
    std::swap(a, a_cand);
    std::swap(w, w_cand);
    n = n_cand;
  }
}

// The Qn search compares and selects differences rounded to single precision.
inline double to_single(double d) { return static_cast<double>(static_cast<float>(d)); }

// Rounding to single precision is monotone, so for a single-precision value t
// the doubles d with to_single(d) < t are exactly those below the smallest
// double that rounds to t or above, and likewise for to_single(d) > t.  The
// scans of the Qn search compare with these two bounds instead of rounding
// every difference; both bounds are checked, and where they cannot be found
// (t not finite, or at the end of the single range) the scans round each
// difference as written.
struct single_bounds {
  bool ok;
  double below;  // to_single(d) < t  <=>  d < below
  double above;  // to_single(d) > t  <=>  d > above
};

single_bounds bounds_of_single(double t) {
  single_bounds b{false, 0.0, 0.0};
  const float tf = static_cast<float>(t);
  if (static_cast<double>(tf) != t || !std::isfinite(tf)) return b;
  const float lo = std::nextafter(tf, -HUGE_VALF), hi = std::nextafter(tf, HUGE_VALF);
  if (!std::isfinite(lo) || !std::isfinite(hi)) return b;
  // Midpoints of neighbouring single values are exact in double.
  double m1 = (static_cast<double>(lo) + t) * 0.5;
  if (to_single(m1) < t) m1 = std::nextafter(m1, HUGE_VAL);
  double m2 = (t + static_cast<double>(hi)) * 0.5;
  if (to_single(m2) > t) m2 = std::nextafter(m2, -HUGE_VAL);
  b.below = m1;
  b.above = m2;
  b.ok = to_single(m1) >= t && to_single(std::nextafter(m1, -HUGE_VAL)) < t &&
         to_single(m2) <= t && to_single(std::nextafter(m2, HUGE_VAL)) > t;
  return b;
}

// Small-sample factors of Qn and Sn for n = 2..9.
constexpr double qn_small[] = {0.399, 0.994, 0.512, 0.844, 0.611, 0.857, 0.669, 0.872};
constexpr double sn_small[] = {0.743, 1.851, 0.954, 1.351, 0.993, 1.198, 1.005, 1.131};

}  // namespace

double whimed(double* a, double* w, int n, double* a_cand, double* a_srt,
              double* w_cand) {
  return whimed_impl<double, double>(a, w, n, a_cand, a_srt, w_cand);
}

double whimed_i(double* a, int* iw, int n, double* a_cand, double* a_srt, int* iw_cand) {
  return whimed_impl<int, std::int64_t>(a, iw, n, a_cand, a_srt, iw_cand);
}

double pull(const double* a, int n, int k) {
  std::vector<double> b(a, a + n);
  Rf_rPsort(b.data(), n, k - 1);
  return b[k - 1];
}

// ---- Qn ---------------------------------------------------------------------

double qn0(const double* x, int n) {
  if (n < 2) return 0.0;  // no pair: no spread to measure
  double* y = host::transient_array<double>(n);
  double* work = host::transient_array<double>(n);
  double* a_cand = host::transient_array<double>(n);
  double* a_srt = host::transient_array<double>(n);
  int* left = host::transient_array<int>(n);
  int* right = host::transient_array<int>(n);
  int* weight = host::transient_array<int>(n);
  int* p = host::transient_array<int>(n);
  int* q = host::transient_array<int>(n);

  // Counts reach n^2: 64-bit.
  const std::int64_t h = n / 2 + 1;
  const std::int64_t k = h * (h - 1) / 2;
  for (int i = 0; i < n; ++i) {
    y[i] = x[i];
    left[i] = n - i + 1;
    right[i] = (i <= h) ? n : static_cast<int>(n - i + h);
  }
  R_qsort(y, 1, static_cast<std::size_t>(n));

  std::int64_t nL = static_cast<std::int64_t>(n) * (n + 1) / 2;
  std::int64_t nR = static_cast<std::int64_t>(n) * n;
  const std::int64_t knew = k + nL;

  while (nR - nL > n) {
    int j = 0;
    for (int i = 1; i < n; ++i) {
      if (left[i] <= right[i]) {
        weight[j] = right[i] - left[i] + 1;
        const int jhelp = left[i] + weight[j] / 2;
        work[j] = to_single(y[i] - y[n - jhelp]);
        ++j;
      }
    }
    const double trial = whimed_i(work, weight, j, a_cand, a_srt, p);

    const single_bounds tb = bounds_of_single(trial);
    if (tb.ok) {
      // Both counts in one pass: p[i] = #{jj : diff < trial} and q[i] - 1 =
      // #{jj : diff <= trial}, the differences of row i growing with jj.
      int jp = 0, jq = 0;
      for (int i = n - 1; i >= 0; --i) {
        while (jp < n && y[i] - y[n - jp - 1] < tb.below) ++jp;
        while (jq < n && !(y[i] - y[n - jq - 1] > tb.above)) ++jq;
        p[i] = jp;
        q[i] = jq + 1;
      }
    } else {
      j = 0;
      for (int i = n - 1; i >= 0; --i) {
        while (j < n && to_single(y[i] - y[n - j - 1]) < trial) ++j;
        p[i] = j;
      }
      j = n + 1;
      for (int i = 0; i < n; ++i) {
        while (to_single(y[i] - y[n - j + 1]) > trial) --j;
        q[i] = j;
      }
    }
    std::int64_t sum_p = 0, sum_q = 0;
    for (int i = 0; i < n; ++i) {
      sum_p += p[i];
      sum_q += q[i] - 1;
    }

    if (knew <= sum_p) {
      for (int i = 0; i < n; ++i) right[i] = p[i];
      nR = sum_p;
    } else if (knew > sum_q) {
      for (int i = 0; i < n; ++i) left[i] = q[i];
      nL = sum_q;
    } else {
      return trial;
    }
  }

  // At most n candidates remain: select among them in full precision.
  int j = 0;
  for (int i = 1; i < n; ++i)
    for (int jj = left[i]; jj <= right[i]; ++jj) work[j++] = y[i] - y[n - jj];
  const int rank = static_cast<int>(knew - nL);
  Rf_rPsort(work, j, rank - 1);
  return work[rank - 1];
}

double qn(const double* x, int n, int finite_corr) {
  double d = 1.0;
  if (finite_corr) {
    if (n <= 9)
      d = (n >= 2) ? qn_small[n - 2] : 1.0;
    else if (n % 2 == 1)
      d = n / (n + 1.4);
    else
      d = n / (n + 3.8);
  }
  return qn0(x, n) * 2.2219 * d;
}

// ---- Sn ---------------------------------------------------------------------

namespace {

struct sn_bounds {
  int leftA, leftB, Amin, Amax;
};

// The binary search of Sn for one observation with nA distances on its
// short side and nB on its long side.
template <class FA, class FB>
sn_bounds sn_search(int nA, int nB, FA medA, FB medB) {
  const int diff = nB - nA;
  int leftA = 1, leftB = 1, rightA = nB;
  const int Amin = diff / 2 + 1, Amax = diff / 2 + nA;
  while (leftA < rightA) {
    const int length = rightA - leftA + 1;
    const int even = 1 - length % 2;
    const int half = (length - 1) / 2;
    const int tryA = leftA + half, tryB = leftB + half;
    if (tryA < Amin) {
      leftA = tryA + even;
    } else if (tryA > Amax) {
      rightA = tryA;
      leftB = tryB + even;
    } else if (medA(tryA, Amin) >= medB(tryB)) {
      rightA = tryA;
      leftB = tryB + even;
    } else {
      leftA = tryA + even;
    }
  }
  return {leftA, leftB, Amin, Amax};
}

}  // namespace

double sn0(double* x, int n, int is_sorted, double* a2) {
  if (!is_sorted) R_qsort(x, 1, static_cast<std::size_t>(n));
  // 1-based view of the sorted sample.
  const auto y = [x](int i) { return x[i - 1]; };

  a2[0] = y(n / 2 + 1) - y(1);

  // Lower half: the distances to the left and to the right of y(i) form
  // two sorted runs; medA(tryA) and medB(tryB) are their elements.
  for (int i = 2; i <= (n + 1) / 2; ++i) {
    const sn_bounds b = sn_search(
        i - 1, n - i, [&](int tryA, int Amin) { return y(i) - y(i - tryA + Amin - 1); },
        [&](int tryB) { return y(tryB + i) - y(i); });
    if (b.leftA > b.Amax)
      a2[i - 1] = y(b.leftB + i) - y(i);
    else
      a2[i - 1] = Rf_fmin2(y(i) - y(i - b.leftA + b.Amin - 1), y(b.leftB + i) - y(i));
  }

  // Upper half, mirrored.
  for (int i = (n + 1) / 2 + 1; i <= n - 1; ++i) {
    const sn_bounds b = sn_search(
        n - i, i - 1, [&](int tryA, int Amin) { return y(i + tryA - Amin + 1) - y(i); },
        [&](int tryB) { return y(i) - y(i - tryB); });
    if (b.leftA > b.Amax)
      a2[i - 1] = y(i) - y(i - b.leftB);
    else
      a2[i - 1] = Rf_fmin2(y(i + b.leftA - b.Amin + 1) - y(i), y(i) - y(i - b.leftB));
  }

  a2[n - 1] = y(n) - y((n + 1) / 2);
  return pull(a2, n, (n + 1) / 2);
}

double sn(double* x, int n, int is_sorted, int finite_corr) {
  double* a2 = host::transient_array<double>(n);
  double c = 1.0;
  if (finite_corr) {
    if (n <= 9)
      c = (n >= 2) ? sn_small[n - 2] : 1.0;
    else if (n % 2 == 1)
      c = n / (n - 0.9);
  }
  return c * (sn0(x, n, is_sorted, a2) * 1.1926);
}

// ---- medcouple -----------------------------------------------------------------

double h_kern(double a, double b, int ai, int bi, int ab, double eps) {
  // Ties are ordered by their position in the kernel matrix.
  if (std::fabs(a - b) < 2.0 * eps || b > 0)
    return Rf_sign(static_cast<double>(ab - ai - bi));
  return (a + b) / (a - b);
}

double mc_C_d(const double* z, int n, const double* eps, int* iter) {
  const int trace = iter[1];
  const double eps1 = eps[0], eps2 = eps[1];
  if (n < 3) {
    iter[0] = 0;
    iter[1] = 1;
    return 0.0;
  }
  double* work = host::transient_array<double>(n);
  int* weight = host::transient_array<int>(n);
  double* x = host::transient_array<double>(n + 1);  // x[1..n]

  for (int i = 1; i <= n; ++i) x[i] = -z[i - 1];
  R_rsort(x + 1, n);
  const double xmed = (n % 2 == 1) ? x[n / 2 + 1] : (x[n / 2] + x[n / 2 + 1]) * 0.5;

  // The median at the border: x(1) is the negated largest observation.
  if (std::fabs(x[1] - xmed) < eps1 * (eps1 + std::fabs(xmed))) {
    iter[0] = 0;
    iter[1] = 1;
    return -1.0;
  }
  if (std::fabs(x[n] - xmed) < eps1 * (eps1 + std::fabs(xmed))) {
    iter[0] = 0;
    iter[1] = 1;
    return 1.0;
  }
  if (trace != 0) host::print("Median = %g (not at the border)\n", -xmed);

  // Centre and rescale into [-0.5, 0.5]; s < 0 turns the order to decreasing.
  for (int i = 1; i <= n; ++i) x[i] -= xmed;
  const double s = -2.0 * Rf_fmax2(-x[1], x[n]);
  for (int i = 1; i <= n; ++i) x[i] /= s;
  if (trace >= 2) host::print(" x[] is rescaled (* 1/s) with s = %g\n", -s);

  const double xeps = eps1 * (eps1 + std::fabs(xmed / s));
  int j1 = 1;
  while (j1 < n && x[j1] > xeps) ++j1;
  if (trace >= 3)
    host::print("   x1[] := {x | x_j > eps}         has %d entries\n", j1 - 1);
  int j2 = j1;
  while (j2 <= n && x[j2] > -xeps) ++j2;
  if (trace >= 2)
    host::print("'median-x' {x | -eps < x_i <= eps} has %d (= 'k') entries\n", j2 - j1);

  const int h1 = j2 - 1, h2 = n - j1 + 1;
  const double* const x1 = x;           // x1(j) = x[j], j = 1..h1
  const double* const x2 = x + j1 - 1;  // x2(i) = x[j1 - 1 + i], i = 1..h2
  int* left = host::transient_array<int>(h2 + 1);
  int* right = host::transient_array<int>(h2 + 1);
  int* p = host::transient_array<int>(h2 + 1);
  int* q = host::transient_array<int>(h2 + 1);
  double* a_cand = host::transient_array<double>(h2);
  double* a_srt = host::transient_array<double>(h2);
  int* iw_cand = host::transient_array<int>(h2);
  for (int i = 1; i <= h2; ++i) {
    left[i] = 1;
    right[i] = h1;
  }
  // The matrix has h1 * h2 (about n^2 / 4) entries: all counts are 64-bit.
  std::int64_t nl = 0, nr = static_cast<std::int64_t>(h1) * h2, neq = 0;
  const std::int64_t knew = nr / 2 + 1;
  if (trace >= 2)
    host::print(" (h1,h2,  nr=nr-nl, knew) = (%d,%d,  %lld, %lld)\n", h1, h2,
                static_cast<long long>(nr), static_cast<long long>(knew));
  const int ab = h1 + 1;
  const auto kern = [&](int j, int i) { return h_kern(x1[j], x2[i], j, i, ab, eps2); };

  double trial = -2.0, result = 0.0;
  int it = 0;
  bool converged = false, found = false;
  while (nr + neq - nl > n) {
    if (it >= iter[0]) {
      host::warn("maximal number of iterations (%d =? %d) reached prematurely\n", iter[0],
                 it);
      result = trial;
      break;
    }
    ++it;

    int j = 0;
    for (int i = 1; i <= h2; ++i) {
      if (left[i] <= right[i]) {
        weight[j] = right[i] - left[i] + 1;
        const int m = left[i] + weight[j] / 2;
        work[j] = kern(m, i);
        ++j;
      }
    }
    if (trace >= 4) {
      host::print(" before whimed(): work[0:(%d-1)], weight[] :\n", j);
      for (int r = 0; r < j; ++r) host::print(" %8g", work[r]);
      host::print("\n");
      for (int r = 0; r < j; ++r) host::print(" %8d", weight[r]);
      host::print("\n");
    }
    trial = whimed_i(work, weight, j, a_cand, a_srt, iw_cand);
    const double tol = eps1 * (eps1 + std::fabs(trial));
    if (trace >= 3) host::print("%4s it=%2d, whimed(n=%3d)= %8g ", " ", it, j, trial);

    // Rows whose kernel lies above the trial value, column by column; the
    // row index carries over since the matrix decreases along both axes.
    j = 1;
    for (int i = h2; i >= 1; --i) {
      for (; j <= h1; ++j) {
        const double hv = kern(j, i);
        if (!(hv - trial > tol)) break;
        if (trace >= 5)
          host::print("\nj=%3d, i=%3d, x[j]=%g, x2[i]=%g, h=%g", j, i, x1[j], x2[i], hv);
      }
      p[i] = j - 1;
    }
    j = h1;
    for (int i = 1; i <= h2; ++i) {
      while (j >= 1 && trial - kern(j, i) > tol) --j;
      q[i] = j + 1;
    }

    std::int64_t sum_p = 0, sum_q = 0;
    for (int i = 1; i <= h2; ++i) {
      sum_p += p[i];
      sum_q += q[i] - 1;
    }
    if (trace == 3)
      host::print("sum_(p,q)= (%lld,%lld)", static_cast<long long>(sum_p),
                  static_cast<long long>(sum_q));
    if (trace >= 4) {
      host::print("\n%3s p[]:", "");
      for (int i = 1; i <= h2; ++i) host::print(" %2d", p[i]);
      host::print(" sum= %3lld\n%3s q[]:", static_cast<long long>(sum_p), "");
      for (int i = 1; i <= h2; ++i) host::print(" %2d", q[i]);
      host::print(" sum= %3lld\n", static_cast<long long>(sum_q));
    }

    if (knew <= sum_p) {
      if (trace >= 3) host::print("; sum_p >= kn\n");
      neq = 0;
      for (int i = 1; i <= h2; ++i) {
        right[i] = p[i];
        if (left[i] > right[i] + 1) neq += left[i] - right[i] - 1;
      }
      nr = sum_p;
    } else {
      found = (knew <= sum_q);
      if (trace >= 3) host::print("; s_p < kn ?<=? s_q: %s\n", found ? "TRUE" : "no");
      if (found) {
        result = trial;
        converged = true;
        break;
      }
      // neq is deliberately not reset here (it may over-count, never under-count).
      for (int i = 1; i <= h2; ++i) {
        left[i] = q[i];
        if (left[i] > right[i] + 1) neq += left[i] - right[i] - 1;
      }
      nl = sum_q;
    }
  }

  if (!found && nr + neq - nl <= n) {
    // At most n candidates remain: select among them directly.
    int j = 0;
    for (int i = 1; i <= h2; ++i)
      for (int r = left[i]; r <= right[i]; ++r) work[j++] = -kern(r, i);
    if (trace != 0)
      host::print(
          "  not found [it=%d,  (nr,nl) = (%lld,%lld)], -> (knew-nl, j) = (%lld,%d)\n",
          it, static_cast<long long>(nr), static_cast<long long>(nl),
          static_cast<long long>(knew - nl), j);
    const int rank = static_cast<int>(knew - nl);
    Rf_rPsort(work, j, rank - 1);
    result = -work[rank - 1];
    converged = true;
  }
  if (converged && trace >= 2) host::print("converged in %d iterations\n", it);
  iter[0] = it;
  iter[1] = converged ? 1 : 0;
  return result;
}

}  // namespace kelvara

// ---- .C entry points ----------------------------------------------------------

namespace {

// Input the kernels cannot handle is refused before they run.
void check_sample(const char* entry, const double* x, int n) {
  if (n < 1) kelvara::host::fail("%s: the sample is empty (n = %d)", entry, n);
  for (int i = 0; i < n; ++i)
    if (!std::isfinite(x[i]))
      kelvara::host::fail("%s: the sample contains missing or infinite values", entry);
}

template <class W>
void check_weights(const char* entry, const W* w, int n) {
  bool positive = false;
  for (int i = 0; i < n; ++i) {
    if (!(std::isfinite(static_cast<double>(w[i])) && w[i] >= 0))
      kelvara::host::fail("%s: weights must be finite and non-negative", entry);
    if (w[i] > 0) positive = true;
  }
  if (!positive) kelvara::host::fail("%s: the weights are all zero", entry);
}

}  // namespace

extern "C" {

void Qn0(double* x, int* pn, double* result) {
  kelvara::host::run_entry([&] {
    const int n = *pn;
    check_sample("Qn0", x, n);
    *result = kelvara::qn0(x, n);
  });
}

void Sn0(double* x, int* pn, int* is_sorted, double* result, double* a2) {
  kelvara::host::run_entry([&] {
    const int n = *pn;
    check_sample("Sn0", x, n);
    *result = kelvara::sn0(x, n, *is_sorted, a2);
  });
}

void mc_C(double* z, int* pn, double* eps, int* iter, double* result) {
  kelvara::host::run_entry([&] {
    const int n = *pn;
    if (n >= 3) {
      check_sample("mc_C", z, n);
      if (!(std::isfinite(eps[0]) && eps[0] > 0 && std::isfinite(eps[1]) && eps[1] > 0))
        kelvara::host::fail(
            "mc_C: the tolerances eps1 and eps2 must be positive and finite");
    }
    *result = kelvara::mc_C_d(z, n, eps, iter);
  });
}

void wgt_himed_i(double* x, int* pn, int* iw, double* result) {
  kelvara::host::run_entry([&] {
    const int n = *pn;
    check_sample("wgt_himed_i", x, n);
    check_weights("wgt_himed_i", iw, n);
    double* a_cand = kelvara::host::transient_array<double>(n);
    double* a_srt = kelvara::host::transient_array<double>(n);
    int* iw_cand = kelvara::host::transient_array<int>(n);
    *result = kelvara::whimed_i(x, iw, n, a_cand, a_srt, iw_cand);
  });
}

void wgt_himed(double* x, int* pn, double* w, double* result) {
  kelvara::host::run_entry([&] {
    const int n = *pn;
    check_sample("wgt_himed", x, n);
    check_weights("wgt_himed", w, n);
    // Weights whose sum overflows are scaled by a power of two, which keeps
    // every comparison of the weight sums as it was.
    double w_tot = 0.0, w_max = 0.0;
    for (int i = 0; i < n; ++i) {
      w_tot += w[i];
      w_max = Rf_fmax2(w_max, w[i]);
    }
    if (!std::isfinite(w_tot)) {
      const int e = std::ilogb(w_max) + 1;
      for (int i = 0; i < n; ++i) w[i] = std::ldexp(w[i], -e);
    }
    double* a_cand = kelvara::host::transient_array<double>(n);
    double* a_srt = kelvara::host::transient_array<double>(n);
    double* w_cand = kelvara::host::transient_array<double>(n);
    *result = kelvara::whimed(x, w, n, a_cand, a_srt, w_cand);
  });
}

}  // extern "C"
