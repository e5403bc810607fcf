// Least trimmed squares regression by the FAST-LTS search: random (or all)
// p-subsets give exact starting fits, concentration steps (refit on the h
// cases with the smallest absolute residuals) improve them, the ten best
// are kept and iterated to convergence.  Large samples are searched first
// in random groups of about 300 cases, then in their union, then in full.
//
// All arrays are counted from 1 in the comments and stored column by
// column; the code addresses them through 0-based pointers.
#include "lts.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <vector>

#define USE_FC_LEN_T
#include <R_ext/Applic.h>   // dqrdc2, the QR of qr()
#include <R_ext/Lapack.h>   // dgeqr2, the block triangles
#include <R_ext/Linpack.h>  // dqrsl, its solve in qr.coef()

#include "host.h"
#include "utilities.h"

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

double rfamdan_(const int*, double* aw, const int* pn, int* index) {
  int n = *pn;
  // The half-size goes through single precision: above 2^24 the rounded
  // value, not n / 2, decides which order statistics form the median.
  int half = static_cast<int>(static_cast<float>(n) * 0.5f);
  int k1 = half + 1;
  if (n % 2 != 0) return rffindq_(aw, &n, &k1, index);
  const double lower = rffindq_(aw, &n, &half, index);
  const double upper = rffindq_(aw, &n, &k1, index);
  return (lower + upper) * 0.5;
}

}  // extern "C"

namespace kelvara {

namespace {

// ---- kernels of the large stages ----------------------------------------------
//
// A C-step on many cases spends its time in per-case passes (residuals,
// absolute values), in the sort of the residuals for the intercept search
// and in the refit's sums.  The passes below run over fixed blocks of cases
// on the call's threads; each case is computed by the same operations
// whatever the block or thread, so the results do not depend on the thread
// count.

// Cases from which a per-case pass is split over threads, and the block size.
constexpr int parallel_cases = 20000;
constexpr int case_block = 8192;
// Cases from which the residuals are sorted by radix rather than comparison.
constexpr int radix_cases = 4096;

// Whether a pass over n cases goes to the call's threads (`fork`: the
// caller is not itself one of them).
bool split_cases(bool fork, int n) { return fork && n >= parallel_cases && host::threads() >= 2; }

// Runs body(lo, hi) over blocks [lo, hi) of 0..n-1, on the call's threads
// when split_cases(fork, n).
template <class F>
void for_case_blocks(int n, bool fork, F&& body) {
  if (!split_cases(fork, n)) {
    body(0, n);
    return;
  }
  const int nblock = (n + case_block - 1) / case_block;
  host::parallel_for(nblock, [&](int b) {
    const int lo = b * case_block;
    body(lo, std::min(n, lo + case_block));
  });
}

// Least-significant-digit radix sort of k[0..n-1] (11-bit digits; a digit
// that every key shares is skipped), with tmp[0..n-1] as work.
void radix_sort_keys(std::uint64_t* k, std::uint64_t* tmp, int n) {
  constexpr int bits = 11, buckets = 1 << bits, passes = 6;
  std::vector<std::uint32_t> count(static_cast<size_t>(passes) * buckets, 0);
  for (int i = 0; i < n; ++i) {
    const std::uint64_t v = k[i];
    for (int d = 0; d < passes; ++d) ++count[d * buckets + ((v >> (bits * d)) & (buckets - 1))];
  }
  std::uint64_t* src = k;
  std::uint64_t* dst = tmp;
  for (int d = 0; d < passes; ++d) {
    std::uint32_t* c = count.data() + d * buckets;
    if (c[(src[0] >> (bits * d)) & (buckets - 1)] == static_cast<std::uint32_t>(n)) continue;
    std::uint32_t pos = 0;
    for (int b = 0; b < buckets; ++b) {
      const std::uint32_t t = c[b];
      c[b] = pos;
      pos += t;
    }
    for (int i = 0; i < n; ++i) {
      const std::uint64_t v = src[i];
      dst[c[(v >> (bits * d)) & (buckets - 1)]++] = v;
    }
    std::swap(src, dst);
  }
  if (src != k) std::copy(src, src + n, k);
}

// Sorts the finite values a[0..n-1] ascending; false (a untouched) when a
// value is not finite.  Equal keys are equal bit patterns, so the sorted
// array is the same for every thread count; it differs from any other
// ascending order of a at most in where -0 and +0 stand among the zeros.
// keys and tmp hold n values.
//
// On the call's threads (range_sort) the keys are first split into
// sort_buckets ranges of values by splitters (a counting pass and a
// scattering pass over fixed blocks of cases), and the ranges are sorted
// side by side: the sorted keys are the same as those of one sort of all of
// them, whatever the splitters.
constexpr int sort_buckets = 8;

class range_sort {
 public:
  // Whether splitters from an earlier sort of n values are at hand.
  bool ready(int n) const { return split_n_ == n; }

  // Before the counting pass over n values.
  void begin(int n) {
    const int nblock = (n + case_block - 1) / case_block;
    count_.assign(static_cast<std::size_t>(nblock) * nb, 0);
    finite_.assign(nblock, 1);
  }

  // The counting pass over block b = [lo, hi) of a: keys and the block's
  // counts per range, with the splitters at hand.
  void count_block(const double* a, int b, int lo, int hi, std::uint64_t* keys) {
    for (int i = lo; i < hi; ++i) {
      if (!std::isfinite(a[i])) {
        finite_[b] = 0;
        return;
      }
    }
    int* c = count_.data() + static_cast<std::size_t>(b) * nb;
    for (int i = lo; i < hi; ++i) {
      keys[i] = sort_key(a[i]);
      ++c[bucket(keys[i])];
    }
  }

  // The whole sort of a on the call's threads: splitters from an evenly
  // spaced sample, the counting pass, then finish().
  bool sort(double* a, int n, std::uint64_t* keys, std::uint64_t* tmp) {
    constexpr int nsample = 1024;
    std::uint64_t sample[nsample];
    for (int s = 0; s < nsample; ++s) {
      const double v = a[static_cast<std::int64_t>(s) * n / nsample];
      if (!std::isfinite(v)) return false;
      sample[s] = sort_key(v);
    }
    std::sort(sample, sample + nsample);
    for (int k = 0; k < nb - 1; ++k) split_[k] = sample[(k + 1) * nsample / nb];
    begin(n);
    const int nblock = (n + case_block - 1) / case_block;
    host::parallel_for(nblock, [&](int b) {
      const int lo = b * case_block;
      count_block(a, b, lo, std::min(n, lo + case_block), keys);
    });
    return finish(a, n, keys, tmp);
  }

  // After count_block has seen every block of a: the scattering pass and
  // the sorts of the ranges, a sorted; false (a untouched) when a value is
  // not finite.  The sorted keys give the splitters of the next sort of n
  // values (the ranges of one C-step's residuals balance the next step's).
  bool finish(double* a, int n, std::uint64_t* keys, std::uint64_t* tmp) {
    const int nblock = (n + case_block - 1) / case_block;
    for (int b = 0; b < nblock; ++b)
      if (!finite_[b]) return false;
    // Range k fills tmp[start[k], start[k + 1]), block by block in order.
    std::vector<int> start(nb + 1, 0), at(count_.size());
    for (int k = 0, pos = 0; k < nb; ++k) {
      start[k] = pos;
      for (int b = 0; b < nblock; ++b) {
        at[static_cast<std::size_t>(b) * nb + k] = pos;
        pos += count_[static_cast<std::size_t>(b) * nb + k];
      }
      start[k + 1] = pos;
    }
    host::parallel_for(nblock, [&](int b) {
      const int lo = b * case_block, hi = std::min(n, lo + case_block);
      int next[nb];
      std::copy(at.begin() + static_cast<std::ptrdiff_t>(b) * nb,
                at.begin() + static_cast<std::ptrdiff_t>(b + 1) * nb, next);
      for (int i = lo; i < hi; ++i) tmp[next[bucket(keys[i])]++] = keys[i];
    });
    host::parallel_for(nb, [&](int k) {
      const int lo = start[k], len = start[k + 1] - lo;
      if (len > 0) radix_sort_keys(tmp + lo, keys + lo, len);
      for (int i = lo; i < lo + len; ++i) a[i] = key_value(tmp[i]);
    });
    for (int k = 0; k < nb - 1; ++k) split_[k] = tmp[static_cast<std::int64_t>(k + 1) * n / nb];
    split_n_ = n;
    return true;
  }

 private:
  static constexpr int nb = sort_buckets;
  int bucket(std::uint64_t key) const {
    int k = 0;
    for (int s = 0; s < nb - 1; ++s) k += key >= split_[s];
    return k;
  }
  std::uint64_t split_[nb - 1] = {};
  int split_n_ = -1;  // the number of values the splitters come from
  std::vector<int> count_;
  std::vector<char> finite_;
};

bool sort_finite(double* a, int n, std::uint64_t* keys, std::uint64_t* tmp, bool fork,
                 range_sort& ranges) {
  if (!split_cases(fork, n)) {
    for (int i = 0; i < n; ++i)
      if (!std::isfinite(a[i])) return false;
    for (int i = 0; i < n; ++i) keys[i] = sort_key(a[i]);
    radix_sort_keys(keys, tmp, n);
    for (int i = 0; i < n; ++i) a[i] = key_value(keys[i]);
    return true;
  }
  return ranges.sort(a, n, keys, tmp);
}

// Start (1-based) of the block of the hh smallest absolute values in the
// ascending r[0..nn-1] when that block and its smallest value are unique;
// 0 when ties leave them to the selection order.
int unique_abs_block(const double* r, int nn, int hh) {
  // r(a) + r(a + hh) increases with a; the block moves right while the
  // value entering it is smaller in magnitude than the one leaving it.
  int lo = 0, hi = nn - hh;  // 0-based starts
  while (lo < hi) {
    const int a = lo + (hi - lo) / 2;
    if (r[a] + r[a + hh] >= 0.0)
      hi = a;
    else
      lo = a + 1;
  }
  const int a = lo;
  const double top = std::max(std::fabs(r[a]), std::fabs(r[a + hh - 1]));
  if (a > 0 && !(std::fabs(r[a - 1]) > top)) return 0;
  if (a + hh < nn && !(std::fabs(r[a + hh]) > top)) return 0;
  if (hh > 1 && !(r[a] < r[a + 1])) return 0;
  return a + 1;
}

// Location (0 unless `centre`) and scale of the n values xj as the
// standardization takes them: the median, then the normalized MAD, or the
// normalized mean absolute deviation when the MAD vanishes.  work and index
// hold n values.  False: the scale is at most eps (zero).
// Normalizing constants of the median and mean absolute deviations, held to
// single precision: the scales, and through them every standardized value
// and fit, depend on these exact constants.
const double mad_const = static_cast<double>(1.4826f);
const double mean_const = static_cast<double>(1.2533f);

bool column_location_scale(const double* xj, int n, bool centre, double eps, double* work,
                           int* index, double& loc, double& scale) {
  const int pass = 0;
  loc = 0.0;
  if (centre) {
    for (int i = 0; i < n; ++i) work[i] = xj[i];
    loc = rfamdan_(&pass, work, &n, index);
    for (int i = 0; i < n; ++i) work[i] = std::fabs(work[i] - loc);
  } else {
    for (int i = 0; i < n; ++i) work[i] = std::fabs(xj[i]);
  }
  scale = rfamdan_(&pass, work, &n, index) * mad_const;
  if (std::fabs(scale) <= eps) {
    double sum = 0.0;
    for (int i = 0; i < n; ++i) sum = sum + work[i];
    scale = sum / n * mean_const;
    if (eps >= std::fabs(scale)) return false;
  }
  return true;
}

// The median rfamdan_ takes (the same order statistics: of rank
// (n + 1) / 2, or the mean of the two around n / 2, n / 2 rounded as
// rfamdan_ rounds it) by a selection that leaves v as it is.
double median_value(const double* v, int n, std::vector<double>& sel) {
  const int half = static_cast<int>(static_cast<float>(n) * 0.5f);
  if (n % 2 != 0) return select_kth(v, n, half + 1, sel);
  double upper = 0.0;
  const double lower = select_kth(v, n, half, sel, &upper);
  return (lower + upper) * 0.5;
}

// column_location_scale with its medians by median_value: the same location
// and scale.  Only a vanishing MAD, whose fall-back sums the deviations in
// the order rffindq_ leaves them, goes to column_location_scale itself.
bool column_location_scale_by_value(const double* xj, int n, bool centre, double eps,
                                    double* work, int* index, std::vector<double>& sel,
                                    double& loc, double& scale) {
  loc = centre ? median_value(xj, n, sel) : 0.0;
  for (int i = 0; i < n; ++i) work[i] = std::fabs(xj[i] - loc);
  scale = median_value(work, n, sel) * mad_const;
  if (std::fabs(scale) <= eps)
    return column_location_scale(xj, n, centre, eps, work, index, loc, scale);
  return true;
}

}  // namespace

int standardize_columns(double* x, double* loc, double* scale, double* work,
                        bool intercept, int ncol, int n, double eps, double* ones,
                        double* ystd, int jint, int* index, bool fork, bool by_value) {
  if (intercept) {
    loc[jint - 1] = 0.0;
    scale[jint - 1] = 1.0;
  }
  std::vector<int> cols;  // the columns to standardize
  for (int j = 1; j <= ncol; ++j)
    if (!intercept || j != jint) cols.push_back(j);
  const int m = static_cast<int>(cols.size());
  auto column = [&](int j) { return x + static_cast<std::ptrdiff_t>(j - 1) * n; };
  // Each column takes two to four selections.  On many cases the columns'
  // locations and scales are found side by side, each column by the same
  // operations as alone; they are then taken in column order up to the
  // first of zero scale, as one column after another would.
  // (by_value: the medians by median_value.)  Columns are claimed by
  // whichever thread is free.
  const int width = fork && n >= parallel_cases ? std::min(host::threads(), m) : 1;
  std::vector<double> locs(m), scales(m);
  std::vector<char> ok(m, 0);
  std::vector<std::vector<double>> sels(width);
  auto measure = [&](int c, double* w, int* ix, std::vector<double>& sel) {
    host::check_interrupt();
    ok[c] = by_value ? column_location_scale_by_value(column(cols[c]), n, intercept, eps, w,
                                                      ix, sel, locs[c], scales[c])
                     : column_location_scale(column(cols[c]), n, intercept, eps, w, ix,
                                             locs[c], scales[c]);
  };
  if (width > 1) {
    std::vector<std::vector<double>> works(width - 1, std::vector<double>(n));
    std::vector<std::vector<int>> indexes(width - 1, std::vector<int>(n));
    std::atomic<int> next(0);
    host::parallel_for(width, [&](int t) {
      double* w = t == 0 ? work : works[t - 1].data();
      int* ix = t == 0 ? index : indexes[t - 1].data();
      for (int c = next++; c < m; c = next++) measure(c, w, ix, sels[t]);
    });
  }
  int good = 0;  // columns before the first of zero scale
  for (int c = 0; c < m; ++c) {
    const int j = cols[c];
    if (width <= 1) measure(c, work, index, sels[0]);
    loc[j - 1] = locs[c];
    scale[j - 1] = scales[c];
    if (!ok[c]) break;
    ++good;
  }
  auto standardize = [&](int c) {
    double* xj = column(cols[c]);
    const double l = locs[c], sc = scales[c];
    if (intercept) {
      for (int i = 0; i < n; ++i) xj[i] = (xj[i] - l) / sc;
    } else {
      for (int i = 0; i < n; ++i) xj[i] = xj[i] / sc;
    }
  };
  if (width > 1) {
    host::parallel_for(good, standardize);
  } else {
    for (int c = 0; c < good; ++c) standardize(c);
  }
  if (good < m) return cols[good];
  const double* y = x + static_cast<std::ptrdiff_t>(ncol - 1) * n;
  for (int i = 0; i < n; ++i) {
    ones[i] = 1.0;
    ystd[i] = y[i];
  }
  return 0;
}

}  // namespace kelvara

extern "C" void rfstatis_(double* x, double* loc, double* scale, double* work,
                          const int* intercept, const int* pncol, const int*, const int*,
                          const int* pn, int* flag, const double* peps, double* ones,
                          double* ystd, const int* pjint, int* index) {
  const int bad =
      kelvara::standardize_columns(x, loc, scale, work, *intercept != 0, *pncol, *pn,
                                   *peps, ones, ystd, *pjint, index, false, false);
  *flag = bad != 0 ? 1 : 0;
}

// ---- the FAST-LTS search ------------------------------------------------------

namespace kelvara {
namespace {

constexpr double empty_coef = 1000000.0;  // first coefficient of an empty slot
constexpr double empty_objective = 1e26;
constexpr int empty_index = 1000000;  // case number of an unused position
constexpr int lts_group_size = 300;
constexpr int group_rows = max_groups * lts_group_size;  // rows of the group matrix
constexpr double zero_scale_tol = 1e-6;  // a column scale at most this is zero
constexpr int stage_csteps = 2;          // C-steps of every stage but the last
constexpr int poll_cases = 100000;       // stages this large poll in every C-step
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

enum class stage_kind { subset, group, merged, final };

// What one stage works on: its cases, coverage, C-steps and where its data
// stand (rows 1..nn, columns 1..p+1, leading dimension ld).
struct stage_data {
  stage_kind kind;
  const double* src;
  int ld;
  int nn;
  int hh;
  int csteps;
  bool windows;  // intercept search by windows (merged and final stages of groups)
};

class lts_search {
 public:
  lts_search(const lts_problem& pb, const lts_arrays& a) : pb_(pb), a_(a) {
    factor_ = consistency_factor(pb.h, pb.n);
  }
  // A worker: the C-steps of starts in its own arrays.
  lts_search(const lts_problem& pb, const lts_arrays& a, bool worker) : lts_search(pb, a) {
    fork_ = !worker;
  }

  // The location-only case: the univariate LTS of column 1, left in
  // mcd_loc[0].
  void location() {
    for (int i = 0; i < pb_.n; ++i) a_.sorted_y[i] = a_.x[i];
    rfshsort_(a_.sorted_y, &pb_.n);
    int len;
    univariate_mcd(a_.sorted_y, pb_.n, pb_.h, len);
  }

  lts_result run() {
    choose_plan();
    initialise();
    lts_result out;
    out.bad_column = standardize_columns(
        a_.x, a_.loc, a_.scale, a_.window, pb_.intercept != 0, pb_.ncol, pb_.n,
        zero_scale_tol, a_.unit_weights, a_.ystd, pb_.p, a_.hidx, true, pb_.select_in_order);
    if (out.bad_column != 0) {
      out.status = lts_zero_scale;
      return out;
    }
    list_objs_.assign(best_list_len, empty_objective);
    group_objs_.assign(group_list_len, empty_objective);
    if (plan_.partitioned) {
      run_stage(stage_kind::group);
      run_stage(stage_kind::merged);
    } else {
      run_stage(stage_kind::subset);
    }
    run_stage(stage_kind::final);
    out.status = recorded_ ? lts_ok : lts_no_subset;
    return out;
  }

 private:
  const lts_problem pb_;
  const lts_arrays a_;
  double factor_ = 0.0;
  group_plan plan_{};
  std::vector<int> table_{};  // the grouped draw: (case, group) pairs
  int group_h_ = 0, merged_h_ = 0, nrep_ = 0;
  bool all_subsets_ = false;
  std::vector<double> list_objs_{}, group_objs_{};
  double best_so_far_ = empty_objective;
  bool recorded_ = false;
  // The main search may split a pass over many cases between threads; a
  // worker (already on a thread of its own) may not.
  bool fork_ = true;
  std::vector<unsigned char> marks_{};  // the refit's cases, by case number
  std::vector<int> rows_{};             // the refit's cases, in increasing order
  std::vector<double> z_{}, cross_{};   // their rows; the cross-products
  std::vector<std::uint64_t> keys_{}, key_work_{};  // sort work
  range_sort ranges_{};     // the two-thread sort of many residuals
  bool keys_ready_ = false;  // residuals() made the sort's keys and counts
  bool hidx_sorted_ = false;  // hidx(1..hh) holds its cases in increasing order
  long_selection selection_{};

  // ---- trace printing ----
  void trace_int(const char* label, int value) const {
    if (pb_.trace > 1) host::intpr(label, &value, 1);
  }

  // ---- set-up ----
  void choose_plan() {
    const int n = pb_.n, p = pb_.p, h = pb_.h;
    table_.assign(2 * group_rows, empty_index);
    plan_ = plan_groups(n, lts_group_size, pb_.krep);
    if (plan_.partitioned) {
      // The coverage of a group is an integer share of h (the first group's
      // size for every group).
      group_h_ = static_cast<int>(static_cast<std::int64_t>(plan_.sizes[0]) * h / n);
      merged_h_ = static_cast<int>(static_cast<std::int64_t>(plan_.merged_size) * h / n);
      nrep_ = pb_.krep / plan_.ngroup;
      if (pb_.start_every_group) nrep_ = std::max(1, nrep_);
      int ngroup = plan_.ngroup, merged = plan_.merged_size, kmini = max_groups;
      rfrdraw_(table_.data(), &pb_.n, &merged, plan_.sizes, &ngroup, &kmini);
      return;
    }
    if (pb_.krep == 0 || n <= replow_(&p)) {
      all_subsets_ = true;
      nrep_ = rfncomb_(&p, &n);
      trace_int("will use *all* combinations: ", nrep_);
    } else {
      nrep_ = pb_.krep;
    }
  }

  void initialise() {
    const int n = pb_.n, p = pb_.p, pp1 = p + 1;
    std::fill(a_.group_coef_list, a_.group_coef_list + group_list_len * p, empty_coef);
    std::fill(a_.coef_list, a_.coef_list + best_list_len * p, empty_coef);
    std::fill(a_.best_coef, a_.best_coef + p, 0.0);
    for (double* v : {a_.subset_system, a_.sscp, a_.work}) std::fill(v, v + p * pp1, 0.0);
    // The arrays of n values (on many cases filled on the call's threads,
    // which also share the first touch of fresh memory).
    double* const zeros[] = {a_.res,  a_.sorted_y, a_.unit_weights, a_.rsorted, a_.window,
                             a_.ystd, a_.mcd_sums, a_.mcd_sums2,    a_.mcd_loc};
    int* const empties[] = {a_.sub_index, a_.hidx, a_.hsubset};
    const int nzero = 9, nfill = nzero + 3;
    auto fill = [&](int k) {
      if (k < nzero)
        std::fill(zeros[k], zeros[k] + n, 0.0);
      else
        std::fill(empties[k - nzero], empties[k - nzero] + n, empty_index);
    };
    if (split_cases(fork_, n)) {
      host::parallel_for(nfill, fill);
    } else {
      for (int k = 0; k < nfill; ++k) fill(k);
    }
    for (double* v : {a_.theta, a_.loc, a_.scale, a_.se}) std::fill(v, v + pp1, 0.0);
    std::fill(a_.ipiv, a_.ipiv + pp1, 0);
    std::fill(a_.group_data, a_.group_data + group_rows * pp1, 0.0);
    std::fill(a_.best_index, a_.best_index + pb_.h, 0);
  }

  // ---- stages ----
  void run_stage(stage_kind kind) {
    trace_int("Main loop - number of trials nrep: ", nrep_);
    switch (kind) {
      case stage_kind::subset:
        subset_stage();
        break;
      case stage_kind::group:
        group_stage();
        break;
      case stage_kind::merged:
        merged_stage();
        break;
      case stage_kind::final:
        final_stage();
        break;
    }
  }

  // Exact fits of random (or all) p-subsets of all cases.
  void subset_stage() {
    const stage_data s{stage_kind::subset, a_.x, pb_.n, pb_.n, pb_.h,
                       stage_csteps,       false};
    if (all_subsets_) {
      for (int j = 0; j < pb_.p; ++j) a_.sub_index[j] = j + 1;
      a_.sub_index[pb_.p - 1] = pb_.p - 1;  // the first advance gives 1..p
    }
    bool redraw = true;
    for (int i = 1; i <= nrep_;) {
      int count = 0;
      for (; count < batch_len && i <= nrep_; ++i) {
        host::check_interrupt();
        if (draw_subset(s, i, redraw)) take_start(count++, i, a_.theta);
      }
      concentrate_starts(s, count);
      for (int j = 0; j < count; ++j)
        offer(list_objs_.data(), a_.coef_list, best_list_len, 0, slot_obj_[j], slot_theta(j));
    }
  }

  // A p-subset of the stage with a regular exact fit in theta.  From the
  // third random start on a singular subset is drawn again (see
  // max_singular_redraws); false when the start has no fit.
  bool draw_subset(const stage_data& s, int start, bool& redraw) {
    for (int draws = 0;; ++draws) {
      if (all_subsets_)
        rfgenpn_(&s.nn, &pb_.p, a_.sub_index);
      else
        rfrangen_(&s.nn, &pb_.p, a_.sub_index);
      if (subset_fit(s)) return true;
      if (all_subsets_ || start <= 2 || !redraw) return false;
      if (draws >= max_singular_redraws) {
        redraw = false;
        return false;
      }
    }
  }

  // Random p-subsets within each group; ten best per group.
  void group_stage() {
    std::vector<int> members(group_rows, 0);
    for (int k = 1; k <= plan_.ngroup; ++k) {
      const int gsize = plan_.sizes[k - 1];
      int m = 0;
      for (int j = 0; j < plan_.merged_size; ++j)
        if (table_[2 * j + 1] == k) members[m++] = table_[2 * j];
      for (int c = 1; c <= pb_.ncol; ++c)
        for (int j = 1; j <= m; ++j)
          at(a_.group_data, group_rows, j, c) = at(a_.x, pb_.n, members[j - 1], c);
      const stage_data s{stage_kind::group, a_.group_data, group_rows, gsize,
                         group_h_,          stage_csteps,  false};
      for (int i = 1; i <= nrep_;) {
        int count = 0;
        for (; count < batch_len && i <= nrep_; ++i) {
          host::check_interrupt();
          rfrangen_(&gsize, &pb_.p, a_.sub_index);
          if (subset_fit(s)) take_start(count++, i, a_.theta);
        }
        concentrate_starts(s, count);
        for (int j = 0; j < count; ++j)
          offer(group_objs_.data() + best_list_len * (k - 1), a_.group_coef_list,
                group_list_len, best_list_len * (k - 1), slot_obj_[j], slot_theta(j));
      }
    }
  }

  // The groups' candidates on the union of the groups.
  void merged_stage() {
    nrep_ = best_list_len;
    for (int c = 1; c <= pb_.ncol; ++c)
      for (int j = 1; j <= plan_.merged_size; ++j)
        at(a_.group_data, group_rows, j, c) = at(a_.x, pb_.n, table_[2 * (j - 1)], c);
    const stage_data s{stage_kind::merged, a_.group_data, group_rows, plan_.merged_size,
                       merged_h_,          stage_csteps,  true};
    int count = 0;
    for (int k = 1; k <= plan_.ngroup; ++k) {
      for (int i = 1; i <= nrep_; ++i) {
        const int row = best_list_len * (k - 1) + i;
        if (!load_candidate(a_.group_coef_list, group_list_len, row)) break;
        take_start(count++, i, a_.theta);
      }
    }
    concentrate_starts(s, count);
    for (int j = 0; j < count; ++j)
      offer(list_objs_.data(), a_.coef_list, best_list_len, 0, slot_obj_[j], slot_theta(j));
  }

  // ---- starts evaluated in parallel ----
  //
  // The starts of a stage are drawn (and their exact fits solved) on this
  // thread in their order; their C-steps then run on the call's threads,
  // each worker in its own arrays, and the results enter the lists in the
  // order of the starts, as if each had been concentrated right after its
  // draw.  Nothing in the C-steps feeds back into the draws, so the result
  // and the random draws do not depend on the number of threads.

  // Starts drawn ahead of their C-steps (the lists of the merged stage fit
  // in one batch).
  static constexpr int batch_len = 256;
  // Operations (roughly) below which a batch is concentrated on this thread
  // alone: starting threads would cost more than they save.  (A group's
  // hundred starts on 300 cases, about 2^21 operations and a few
  // milliseconds, are well worth a second thread.)
  static constexpr double min_parallel_work = 1 << 19;
  static_assert(batch_len >= group_list_len, "one batch per merged stage");

  struct worker_arrays {
    std::vector<double> window, rsorted, res, mcd_sums, mcd_sums2, mcd_loc, theta, se, sscp,
        work;
    std::vector<int> sub_index, hidx, ipiv;
    void fit(int p, int nn) {
      const size_t un = nn, up = p;
      for (auto* v : {&window, &rsorted, &res, &mcd_sums, &mcd_sums2, &mcd_loc})
        if (v->size() < un) v->resize(un);
      for (auto* v : {&sub_index, &hidx})
        if (v->size() < un) v->resize(un);
      ipiv.resize(up + 1);
      theta.resize(up + 1);
      se.resize(up + 1);
      sscp.resize(up * (up + 1));
      work.resize(up * (up + 1));
    }
    lts_arrays view(const lts_arrays& a) {
      lts_arrays w = a;
      w.window = window.data();
      w.rsorted = rsorted.data();
      w.res = res.data();
      w.mcd_sums = mcd_sums.data();
      w.mcd_sums2 = mcd_sums2.data();
      w.mcd_loc = mcd_loc.data();
      w.theta = theta.data();
      w.se = se.data();
      w.sscp = sscp.data();
      w.work = work.data();
      w.sub_index = sub_index.data();
      w.hidx = hidx.data();
      w.ipiv = ipiv.data();
      return w;
    }
  };
  std::vector<worker_arrays> workers_{};
  // One slot per start of a batch: its number, its coefficients (replaced
  // by those of its last C-step) and its objective.
  std::vector<int> slot_start_{};
  std::vector<double> slot_coef_{}, slot_obj_{};

  double* slot_theta(int j) { return slot_coef_.data() + static_cast<size_t>(j) * pb_.p; }
  void take_start(int j, int start, const double* theta) {
    if (slot_start_.empty()) {
      slot_start_.assign(batch_len, 0);
      slot_coef_.assign(static_cast<size_t>(batch_len) * pb_.p, 0.0);
      slot_obj_.assign(batch_len, 0.0);
    }
    slot_start_[j] = start;
    std::copy(theta, theta + pb_.p, slot_theta(j));
  }

  void concentrate_starts(const stage_data& s, int count) {
    if (count == 0) return;
    const double work = static_cast<double>(count) * s.nn * (pb_.p + 16) * (s.csteps + 1);
    const int width =
        work < min_parallel_work ? 1 : std::max(1, std::min(host::threads(), count));
    if (static_cast<int>(workers_.size()) < width) workers_.resize(width);
    for (int k = 0; k < width; ++k) workers_[k].fit(pb_.p, s.nn);
    // Each worker claims the next start (in increasing order) as it becomes
    // free, so that uneven starts or a late thread do not leave the other
    // waiting.  A failure or interrupt stops the claims after its start; the
    // failure of the smallest start is rethrown, as one thread would meet it
    // first.
    std::atomic<int> next(0), failed(count);
    std::vector<std::exception_ptr> errs(count);
    host::parallel_for(width, [&](int k) {
      const lts_arrays wa = workers_[k].view(a_);
      lts_search worker(pb_, wa, true);
      for (;;) {
        const int j = next.fetch_add(1);
        if (j >= count || j > failed.load()) break;
        try {
          host::check_interrupt();
          std::copy(slot_theta(j), slot_theta(j) + pb_.p, wa.theta);
          slot_obj_[j] = worker.concentrate(s, slot_start_[j]);
          std::copy(wa.theta, wa.theta + pb_.p, slot_theta(j));
        } catch (...) {
          errs[j] = std::current_exception();
          int cur = failed.load();
          while (j < cur && !failed.compare_exchange_weak(cur, j)) {
          }
        }
      }
    });
    if (failed.load() < count) std::rethrow_exception(errs[failed.load()]);
  }

  // The stored candidates on all cases, to convergence.
  void final_stage() {
    const int n = pb_.n;
    nrep_ = n > 5000 ? 1 : best_list_len;
    const stage_data s{stage_kind::final,
                       a_.x,
                       n,
                       n,
                       pb_.h,
                       final_csteps(static_cast<std::int64_t>(n) * pb_.p),
                       plan_.partitioned};
    best_so_far_ = empty_objective;
    for (int i = 1; i <= nrep_; ++i) {
      host::check_interrupt();
      if (!load_candidate(a_.coef_list, best_list_len, i)) break;
      concentrate(s, i);
    }
  }

  // theta = row `row` of a candidate list; false for an empty slot.
  bool load_candidate(const double* list, int ldl, int row) {
    if (at(list, ldl, row, 1) == empty_coef) return false;
    for (int j = 1; j <= pb_.p; ++j) a_.theta[j - 1] = at(list, ldl, row, j);
    return true;
  }

  // Puts (obj, theta) into a ten-slot list: objs are the list's objectives,
  // slot m's coefficients row row0 + m of coefs (leading dimension ldc).  A
  // NaN objective is never kept.
  void offer(double* objs, double* coefs, int ldc, int row0, double obj,
             const double* theta) {
    if (std::isnan(obj)) return;
    const int p = pb_.p;
    auto coef = [&](int slot, int k) -> double& {
      return coefs[row0 + slot + static_cast<std::ptrdiff_t>(k) * ldc];
    };
    auto same = [&](int slot) {
      for (int k = 0; k < p; ++k)
        if (coef(slot, k) != theta[k]) return false;
      return true;
    };
    const int m = best_list_slot(objs, 0, obj, same);
    if (m < 0) return;
    for (int l = best_list_len - 1; l > m; --l) {
      objs[l] = objs[l - 1];
      for (int k = 0; k < p; ++k) coef(l, k) = coef(l - 1, k);
    }
    objs[m] = obj;
    for (int k = 0; k < p; ++k) coef(m, k) = theta[k];
  }

  // ---- one start ----

  // Exact fit of the p cases sub_index(1..p) of the stage; false if singular.
  bool subset_fit(const stage_data& s) {
    const int p = pb_.p;
    if (p == 1) {
      const int r = a_.sub_index[0];
      const double xr = at(s.src, s.ld, r, 1);
      a_.theta[0] = xr != 0.0 ? at(s.src, s.ld, r, 2) / xr : 0.0;
      return true;
    }
    for (int k = 1; k <= p + 1; ++k)
      for (int j = 1; j <= p; ++j)
        at(a_.subset_system, p, j, k) = at(s.src, s.ld, a_.sub_index[j - 1], k);
    int pp1 = p + 1, size = p * (p + 1), one = 1, ierr = 0;
    rfequat_(a_.subset_system, &p, &pp1, a_.work, &size, &p, &one, &ierr);
    if (ierr < 0) return false;
    for (int j = 0; j < p; ++j) a_.theta[j] = a_.subset_system[j];
    return true;
  }

  // The starting fit in theta, then C-steps.  Returns the last objective.
  double concentrate(const stage_data& s, int start) {
    const int hh = s.hh;
    evaluate(s);
    double obj = 0.0, older = 0.0, old = 0.0;  // objectives of steps s-2, s-1
    for (int step = 1; step <= s.csteps; ++step) {
      if (s.nn > poll_cases) host::check_interrupt();  // a step on many cases is long
      refit(s);
      evaluate(s);
      obj = 0.0;
      for (int j = 0; j < hh; ++j) obj = obj + a_.res[j] * a_.res[j];
      if (step > 1 && obj == older) break;
      older = old;
      old = obj;
      if (s.kind == stage_kind::final &&
          (obj < best_so_far_ || (step == 1 && start == 1 && !plan_.partitioned)))
        record(obj);
    }
    return obj;
  }

  void record(double obj) {
    best_so_far_ = obj;
    recorded_ = true;
    *a_.best_objective = obj;
    std::copy(a_.hidx, a_.hidx + pb_.h, a_.best_index);
    std::copy(a_.theta, a_.theta + pb_.p, a_.best_coef);
  }

  // Residuals, intercept adjustment, and the positions hidx(1..hh) of the hh
  // smallest absolute residuals (whose values then stand in res(1..hh)).
  void evaluate(const stage_data& s) {
    int nn = s.nn, hh = s.hh;
    residuals(s);
    double* res = a_.res;
    if (pb_.adjust == 1 && pb_.intercept == 1) {
      const double loc = adjust_intercept(nn, hh, s.windows);
      for_case_blocks(nn, fork_, [&](int lo, int hi) {
        for (int j = lo; j < hi; ++j) res[j] = std::fabs(res[j] - loc);
      });
    } else {
      for_case_blocks(nn, fork_, [&](int lo, int hi) {
        for (int j = lo; j < hi; ++j) res[j] = std::fabs(res[j]);
      });
    }
    hidx_sorted_ = select_in_order(nn, hh);
    if (!hidx_sorted_) rffindq_(res, &nn, &hh, a_.hidx);
  }

  // The package's search selects the hh smallest of many absolute residuals
  // in passes over fixed blocks on the call's threads; the cases come out in
  // increasing order, their values in res(1..hh) in that order.  Where a tie
  // at the hh-th value leaves the set to the order of the selection (or a
  // residual is NaN), false, and rffindq_ selects as it always does.
  bool select_in_order(int nn, int hh) {
    if (!pb_.select_in_order || !fork_ || nn < parallel_cases) return false;
    double kth = 0.0;
    double* res = a_.res;
    if (!selection_.smallest(res, nn, hh, a_.hidx, kth)) return false;
    for (int j = 0; j < hh; ++j) res[j] = res[a_.hidx[j] - 1];  // (hidx(j) - 1 >= j)
    return true;
  }

  // Signed residuals of theta on the stage's cases 1..nn, with a copy in
  // rsorted for the intercept search to sort.  Each fit is summed over the
  // coefficients in order.  When that sort splits the residuals into value
  // ranges on the call's threads and has splitters from its last sort of as
  // many, its counting pass goes with this one (keys_ready_), and the sort
  // writes rsorted itself.
  void residuals(const stage_data& s) {
    const int p = pb_.p, nn = s.nn;
    double* res = a_.res;
    double* copy = a_.rsorted;
    const double* theta = a_.theta;
    const double* y = s.src + static_cast<std::ptrdiff_t>(p) * s.ld;
    keys_ready_ = pb_.select_in_order && pb_.adjust == 1 && pb_.intercept == 1 &&
                  nn >= radix_cases && split_cases(fork_, nn) && ranges_.ready(nn);
    if (keys_ready_) {
      sort_work(nn);
      ranges_.begin(nn);
    }
    for_case_blocks(nn, fork_, [&](int lo, int hi) {
      for (int j = lo; j < hi; ++j) res[j] = theta[0] * s.src[j];
      for (int k = 1; k < p; ++k) {
        const double* xk = s.src + static_cast<std::ptrdiff_t>(k) * s.ld;
        const double t = theta[k];
        for (int j = lo; j < hi; ++j) res[j] = res[j] + t * xk[j];
      }
      if (keys_ready_) {
        for (int j = lo; j < hi; ++j) res[j] = y[j] - res[j];
        ranges_.count_block(res, lo / case_block, lo, hi, keys_.data());
        return;
      }
      for (int j = lo; j < hi; ++j) {
        res[j] = y[j] - res[j];
        copy[j] = res[j];
      }
    });
  }

  void sort_work(int nn) {
    if (keys_.size() < static_cast<size_t>(nn)) {
      keys_.resize(nn);
      key_work_.resize(nn);
    }
  }

  // Least-squares fit of the stage's cases hidx(1..hh).
  //
  // The normal equations are those of rflsreg_ on the selected rows in
  // increasing case order with unit weights: every sum runs over the cases
  // in that order (a weight of 1 multiplies exactly, and a product does not
  // depend on the order of its factors), so the coefficients are the same.
  // The cases are marked rather than sorted, their rows copied side by side,
  // and all cross-products formed in one pass over them (on many cases, the
  // rows of the cross-product matrix split between two threads; each sum
  // still runs over all cases in order).  Only theta is needed, so neither
  // the residual sum of squares nor the covariance is formed.
  void refit(const stage_data& s) {
    const int nn = s.nn, hh = s.hh;
    int p = pb_.p, np1 = p + 1, one = 1;
    rows_.resize(hh + 1);  // (the compaction writes one past the last case)
    if (hidx_sorted_) {
      for (int j = 0; j < hh; ++j) rows_[j] = a_.hidx[j] - 1;
    } else {
      if (marks_.size() < static_cast<size_t>(nn)) marks_.assign(nn, 0);
      for (int j = 0; j < hh; ++j) marks_[a_.hidx[j] - 1] = 1;
      for (int i = 0, m = 0; i < nn; ++i) {
        rows_[m] = i;
        m += marks_[i];
        marks_[i] = 0;
      }
    }
    // z: row j holds x(rows_[j], 1..p) and y; cross: (p + 1)^2 sums.
    const size_t w = np1;
    z_.resize(static_cast<size_t>(hh) * w);
    const double* x = s.src;
    const std::ptrdiff_t ld = s.ld;
    for_case_blocks(hh, fork_, [&](int lo, int hi) {
      for (int k = 0; k <= p; ++k) {
        const double* xk = x + k * ld;
        for (int j = lo; j < hi; ++j) z_[j * w + k] = xk[rows_[j]];
      }
    });
    cross_.assign(w * w, 0.0);
    const int parts = fork_ && hh >= parallel_cases / 2 && host::threads() >= 2 ? 2 : 1;
    // Rows 0..split-1 of the lower triangle hold split (split + 1) / 2 of its
    // w (w + 1) / 2 sums: the split that comes nearest to half of them.
    const int total = static_cast<int>(w * (w + 1) / 2);
    int split = 0;
    for (int c = 1; c <= static_cast<int>(w); ++c)
      if (std::abs(total - c * (c + 1)) < std::abs(total - split * (split + 1))) split = c;
    host::parallel_for(parts, [&](int t) {
      // Rows k of the cross-product matrix, about half of the sums each,
      // summed in the thread's own array (two threads adding into one small
      // shared array would fight over its cache lines on every case).
      const int k0 = parts == 1 || t == 0 ? 0 : split;
      const int k1 = parts == 1 || t == 1 ? static_cast<int>(w) : split;
      std::vector<double> own(w * w, 0.0);
      const double* zj = z_.data();
      for (int j = 0; j < hh; ++j, zj += w) {
        for (int k = k0; k < k1; ++k) {
          double* ck = own.data() + k * w;
          const double zk = zj[k];
          for (int l = 0; l <= k; ++l) ck[l] = ck[l] + zk * zj[l];
        }
      }
      std::copy(own.begin() + k0 * w, own.begin() + k1 * w, cross_.begin() + k0 * w);
    });
    double* sscp = a_.sscp;
    for (int k = 1; k <= p; ++k) {
      at(sscp, p, k, np1) = cross_[p * w + (k - 1)];
      for (int l = 1; l <= k; ++l)
        at(sscp, p, k, l) = at(sscp, p, l, k) = cross_[(k - 1) * w + (l - 1)];
    }
    rfmatnv_(sscp, &p, &p, a_.work, &p, &p, &one, a_.ipiv);
    for (int j = 1; j <= p; ++j) a_.theta[j - 1] = at(sscp, p, j, np1);
  }

  // ---- intercept adjustment ----

  double univariate_mcd(const double* w, int ncas, int hh, int& len) {
    double bstd;
    len = ncas - hh + 1;
    rfmcduni_(w, &ncas, &hh, a_.mcd_loc, &bstd, a_.mcd_sums, a_.mcd_sums2, &factor_,
              &len);
    return a_.mcd_loc[0];
  }

  // Replaces the intercept by the location of the best window of hh sorted
  // residuals (the exact univariate LTS).
  // Returns the shift, which the caller subtracts from the residuals.
  double adjust_intercept(int nn, int hh, bool windows) {
    // Any ascending order of the residuals gives the same location: the
    // window sums, squares and selections below do not see where -0 and +0
    // stand among the zeros.
    bool sorted = false;
    if (keys_ready_) {
      keys_ready_ = false;
      sorted = ranges_.finish(a_.rsorted, nn, keys_.data(), key_work_.data());
      if (!sorted) std::copy(a_.res, a_.res + nn, a_.rsorted);  // (no copy was made)
    } else if (nn >= radix_cases) {
      sort_work(nn);
      sorted = sort_finite(a_.rsorted, nn, keys_.data(), key_work_.data(), fork_, ranges_);
    }
    if (!sorted) rfshsort_(a_.rsorted, &nn);
    const double loc = windows && nn - hh > 200 ? window_location(nn, hh, sorted)
                                                 : whole_location(nn, hh);
    a_.theta[pb_.p - 1] = a_.theta[pb_.p - 1] + loc;
    return loc;
  }

  double whole_location(int nn, int hh) {
    int len;
    return univariate_mcd(a_.rsorted, nn, hh, len);
  }

  // The search looks only near the block of the hh smallest absolute
  // residuals, on windows of hh + 200 values, and moves a window by 100
  // while its optimum touches an end.
  //
  // The block starts at j0, the position of the smallest residual among the
  // hh smallest in magnitude.  On finite sorted residuals where that block
  // and its smallest value are unique, j0 is found by bisection; where ties
  // make it depend on the selection, the selection decides.
  double window_location(int nn, int hh, bool finite) {
    const double* r = a_.rsorted;
    int j0 = finite ? unique_abs_block(r, nn, hh) : 0;
    if (j0 == 0) {
      for (int j = 0; j < nn; ++j) a_.mcd_sums2[j] = std::fabs(r[j]);
      rffindq_(a_.mcd_sums2, &nn, &hh, a_.sub_index);
      for (int j = 0; j < hh; ++j) a_.window[j] = r[a_.sub_index[j] - 1];
      int one = 1;
      rffindq_(a_.window, &hh, &one, a_.hidx);
      j0 = a_.sub_index[a_.hidx[0] - 1];
    }
    if (j0 + hh + 99 > nn || j0 <= 100) return whole_location(nn, hh);
    int d = 100, e = 200, g = 201, len;
    bool left = false, right = false;
    double loc;
    for (;;) {
      const int first = j0 - d;
      loc = univariate_mcd(r + first - 1, hh + e, hh, len);  // (reads the window in place)
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
    return loc;
  }
};

// Work arrays for the package's own entry point.  Those of n values are
// not initialised here: the search fills them before it starts (and the
// location-only case writes each before reading it).  The small ones are
// zero-filled.  The refits read the selected rows where they stand, so the
// fit matrix is not needed (it stays empty).
struct lts_scratch {
  std::vector<double> fit_data, theta, se, sscp, work, subset_system, coef_list,
      group_coef_list, group_data;
  std::vector<int> ipiv;
  std::unique_ptr<double[]> unit_weights, window, rsorted, res, ystd, sorted_y, mcd_sums,
      mcd_sums2, mcd_loc;
  std::unique_ptr<int[]> hsubset, sub_index, hidx;

  lts_scratch(int n, int p, int ncol) {
    const size_t un = n, up = p, pp1 = up + 1;
    for (auto* v : {&unit_weights, &window, &rsorted, &res, &ystd, &sorted_y, &mcd_sums,
                    &mcd_sums2, &mcd_loc})
      v->reset(new double[un]);
    for (auto* v : {&hsubset, &sub_index, &hidx}) v->reset(new int[un]);
    ipiv.assign(pp1, 0);
    for (auto* v : {&theta, &se}) v->assign(pp1, 0.0);
    for (auto* v : {&sscp, &work, &subset_system}) v->assign(up * pp1, 0.0);
    coef_list.assign(best_list_len * up, 0.0);
    group_coef_list.assign(group_list_len * up, 0.0);
    group_data.assign(static_cast<size_t>(group_rows) * ncol, 0.0);
  }

  lts_arrays arrays(double* x, double* loc, double* scale, int* best_index,
                    double* best_objective, double* best_coef) {
    return {x,
            fit_data.data(),
            unit_weights.get(),
            hsubset.get(),
            sub_index.get(),
            hidx.get(),
            window.get(),
            rsorted.get(),
            res.get(),
            ystd.get(),
            sorted_y.get(),
            mcd_sums.get(),
            mcd_sums2.get(),
            mcd_loc.get(),
            ipiv.data(),
            loc,
            scale,
            theta.data(),
            se.data(),
            sscp.data(),
            work.data(),
            subset_system.data(),
            coef_list.data(),
            group_coef_list.data(),
            group_data.data(),
            best_index,
            best_objective,
            best_coef};
  }
};

}  // namespace

lts_result run_lts(const lts_problem& pb, const lts_arrays& a) {
  if (pb.trace > 1) host::intpr("Entering rfltsreg() - krep: ", &pb.krep, 1);
  host::rng_scope rng;
  lts_search search(pb, a);
  if (pb.ncol == 1) {
    search.location();
    return lts_result{};
  }
  return search.run();
}

}  // namespace kelvara

extern "C" void rfltsreg_(double* x, int* pn, int* pp, int* ph, int* pkrep,
                          int* best_index, double* best_objective, int* pintercept,
                          int* padjust, int* pncol, double* fit_data, void*,
                          double* unit_weights, int* hsubset, int* sub_index, int* hidx,
                          double* window, double* rsorted, double* res, double* ystd,
                          double* unused21, double* sorted_y, double* mcd_sums,
                          double* mcd_sums2, double* mcd_loc, int* ipiv, double* loc,
                          double* scale, double* theta, double* se, double* sscp,
                          double* work, double* subset_system, double* unused34,
                          double* coef_list, double* unused36, double* group_coef_list,
                          double* group_data, double* unused39, double* unused40,
                          double* best_coef, int* ptrace) {
  kelvara::host::run_entry([&] {
    using namespace kelvara;
    const lts_problem pb{*pn,         *pp,      *ph,     *pkrep, *pncol,
                         *pintercept, *padjust, *ptrace, false};
    if (pb.ncol != 1) {
      // Arguments the search does not use, given defined contents.
      const int n = pb.n, p = pb.p;
      std::fill(unused21, unused21 + n, 0.0);
      std::fill(unused34, unused34 + best_list_len * p * p, empty_coef);
      std::fill(unused36, unused36 + group_list_len * p * p, empty_coef);
      std::fill(unused39, unused39 + p, 0.0);
      std::fill(unused40, unused40 + p, 0.0);
    }
    const lts_arrays a{x,
                       fit_data,
                       unit_weights,
                       hsubset,
                       sub_index,
                       hidx,
                       window,
                       rsorted,
                       res,
                       ystd,
                       sorted_y,
                       mcd_sums,
                       mcd_sums2,
                       mcd_loc,
                       ipiv,
                       loc,
                       scale,
                       theta,
                       se,
                       sscp,
                       work,
                       subset_system,
                       coef_list,
                       group_coef_list,
                       group_data,
                       best_index,
                       best_objective,
                       best_coef};
    run_lts(pb, a);
  });
}

extern "C" void kv_ltsreg(void* data, int* n, int* p, int* h, int* krep, int* intercept,
                          int* adjust, int* ncol, int* trace, int* status,
                          int* best_index, double* best_objective, double* best_coef,
                          double* loc, double* scale, double* location) {
  kelvara::host::run_entry([&] {
    using namespace kelvara;
    const lts_problem pb{*n, *p, *h, *krep, *ncol, *intercept, *adjust, *trace, true, true};
    // Arguments that would make the search read or write outside its arrays
    // are refused.
    const int q = pb.ncol == 1 ? 0 : pb.p - (pb.intercept != 0);
    if (pb.n < 1 || pb.p < 1 || pb.h < 1 || pb.h > pb.n || q < 0 ||
        (pb.ncol != 1 && (pb.ncol != pb.p + 1 || pb.n <= pb.p)))
      host::fail("kv_ltsreg: invalid arguments (n = %d, p = %d, h = %d, ncol = %d)", pb.n,
                 pb.p, pb.h, pb.ncol);
    // data = list(x, y), read in place: the design without its intercept
    // (n x q; none for the location) and the response.
    const std::size_t un = pb.n;
    const double* xin = host::shared_doubles(data, 0, un * q, "kv_ltsreg: the design");
    const double* yin = host::shared_doubles(data, 1, un, "kv_ltsreg: the response");
    lts_scratch w(pb.n, pb.p, pb.ncol);
    // The search standardises its matrix in place: cbind(x, 1, y) (without
    // the 1 when there is no intercept), or y alone.
    std::unique_ptr<double[]> xy(new double[un * pb.ncol]);
    std::vector<char> finite(pb.ncol, 1);
    host::parallel_chunks(pb.ncol, [&](int j) {
      double* dst = xy.get() + j * un;
      if (j >= q && j < pb.ncol - 1) {
        std::fill(dst, dst + un, 1.0);
        return;
      }
      const double* src = j < q ? xin + j * un : yin;
      bool ok = true;
      for (std::size_t i = 0; i < un; ++i) {
        dst[i] = src[i];
        ok &= std::isfinite(src[i]);
      }
      finite[j] = ok;
    }, pb.n >= 20000 ? 2 : pb.ncol + 1);
    for (char ok : finite)
      if (!ok) host::fail("kv_ltsreg: the data hold NA, NaN or infinite values");
    const lts_result r =
        run_lts(pb, w.arrays(xy.get(), loc, scale, best_index, best_objective, best_coef));
    status[0] = r.status;
    status[1] = r.bad_column;
    if (pb.ncol == 1) *location = w.mcd_loc[0];
  });
}

// ---- the triangular factor of a subset of rows ---------------------------------

namespace kelvara {
namespace {

// Rows of a block of the factor below.  Fixed, so that the blocks (and with
// them every rounding) are the same whatever the number of threads.
constexpr int factor_block_rows = 2048;
// Blocks taken together by one thread, and the runs of them from which the
// blocks are factored on the call's threads (about 16000 rows).
constexpr int factor_run_blocks = 4;
constexpr int factor_parallel_runs = 2;

// Householder QR of the m x q matrix a (column-major, leading dimension
// lda) by LAPACK's unblocked dgeqr2 (which scales the column norms against
// overflow and underflow): on return its upper triangle holds R of a = Q R,
// up to the signs of its rows; the rest of a holds the reflections.
void householder_triangle(double* a, int m, int q, int lda) {
  if (m < 1 || q < 1) return;
  std::vector<double> tau(q), work(q);
  int info = 0;
  F77_CALL(dgeqr2)(&m, &q, a, &lda, tau.data(), work.data(), &info);
}

}  // namespace

// R (q x q, column-major, upper triangular) with R'R = Z'Z for Z the rows
// rows[0..m-1] (1-based) of [x | y] (x n x p, y n values or none; q = p + 1
// with y, else p).  The rows are taken in blocks of factor_block_rows in the
// given order; each block is reduced to its own triangle (on the call's
// threads when there are many), and the triangles are folded into R in
// block order by a QR of the triangle so far stacked over the next, so R
// does not depend on the number of threads.  Being orthogonal reductions of
// Z, R keeps every column norm of Z and every norm left after projecting
// other columns out, which is what a pivoted QR judges the rank by.
void rows_triangle(const double* x, int n, int p, const double* y, const int* rows, int m,
                   double* r) {
  const int q = p + (y != nullptr);
  const int nblock = (m + factor_block_rows - 1) / factor_block_rows;
  const std::size_t qq = static_cast<std::size_t>(q) * q;
  std::vector<double> tri(static_cast<std::size_t>(nblock) * qq, 0.0);
  auto column = [&](int k) {
    return k < p ? x + static_cast<std::ptrdiff_t>(k) * n : y;
  };
  auto factor = [&](int b, std::vector<double>& z) {
    const int lo = b * factor_block_rows, len = std::min(m, lo + factor_block_rows) - lo;
    z.resize(static_cast<std::size_t>(len) * q);
    for (int k = 0; k < q; ++k) {
      const double* src = column(k);
      double* dst = z.data() + static_cast<std::size_t>(k) * len;
      for (int i = 0; i < len; ++i) dst[i] = src[rows[lo + i] - 1];
    }
    householder_triangle(z.data(), len, q, len);
    double* t = tri.data() + b * qq;
    for (int k = 0; k < q; ++k)
      for (int i = 0; i <= std::min(k, len - 1); ++i)
        t[i + static_cast<std::size_t>(k) * q] = z[i + static_cast<std::size_t>(k) * len];
  };
  // Runs of factor_run_blocks blocks, on the call's threads when there are
  // enough of them (a block's triangle is the same whichever thread forms it).
  const int nrun = (nblock + factor_run_blocks - 1) / factor_run_blocks;
  host::parallel_chunks(nrun, [&](int t) {
    std::vector<double> z;
    for (int b = t * factor_run_blocks; b < std::min(nblock, (t + 1) * factor_run_blocks); ++b)
      factor(b, z);
  }, factor_parallel_runs);
  std::fill(r, r + qq, 0.0);
  if (nblock > 0) std::copy(tri.begin(), tri.begin() + qq, r);
  std::vector<double> pair(2 * qq);
  for (int b = 1; b < nblock; ++b) {
    for (int k = 0; k < q; ++k) {
      double* c = pair.data() + static_cast<std::size_t>(k) * 2 * q;
      std::copy(r + static_cast<std::size_t>(k) * q, r + static_cast<std::size_t>(k + 1) * q, c);
      std::copy(tri.begin() + b * qq + static_cast<std::size_t>(k) * q,
                tri.begin() + b * qq + static_cast<std::size_t>(k + 1) * q, c + q);
    }
    householder_triangle(pair.data(), 2 * q, q, 2 * q);
    for (int k = 0; k < q; ++k)
      for (int i = 0; i < q; ++i)
        r[i + static_cast<std::size_t>(k) * q] =
            i <= k ? pair[i + static_cast<std::size_t>(k) * 2 * q] : 0.0;
  }
}

}  // namespace kelvara

extern "C" void kv_rows_triangle(double* x, int* n, int* p, double* y, int* has_y,
                                 int* rows, int* m, double* r) {
  kelvara::host::run_entry([&] {
    // Arguments that would read outside x are refused.
    if (*n < 0 || *p < 0 || *m < 0 || *p + (*has_y != 0) < 1)
      kelvara::host::fail("kv_rows_triangle: invalid dimensions");
    for (int i = 0; i < *m; ++i)
      if (rows[i] < 1 || rows[i] > *n) kelvara::host::fail("kv_rows_triangle: row outside 1..n");
    kelvara::rows_triangle(x, *n, *p, *has_y != 0 ? y : nullptr, rows, *m, r);
  });
}

// ---- the cross-product of a long matrix ----------------------------------------

namespace kelvara {

// x'x of the n x p matrix x (column-major) into out (q x q, q = p + ones):
// with `ones`, a column of ones after the last, whose cross-products are
// the column sums and n.  The rows are taken in fixed blocks (on the call's
// threads), each block's sums formed in row order, and the blocks' sums
// added in block order: the result does not depend on the thread count.
void cross_product(const double* x, int n, int p, bool ones, double* out) {
  const int q = p + ones;
  const std::size_t qq = static_cast<std::size_t>(q) * q;
  const int nblock = (n + case_block - 1) / case_block;
  std::vector<double> part(static_cast<std::size_t>(nblock) * qq, 0.0);
  // Each entry of a block is a sum in row order; four entries of a column
  // are summed side by side (independent additions, which the processor
  // overlaps).
  const std::vector<double> unit(case_block, 1.0);
  host::parallel_chunks(nblock, [&](int b) {
    const int lo = b * case_block, len = std::min(n, lo + case_block) - lo;
    double* c = part.data() + b * qq;
    auto col = [&](int j) {
      return j < p ? x + static_cast<std::ptrdiff_t>(j) * n + lo : unit.data();
    };
    for (int k = 0; k < q; ++k) {
      const double* vk = col(k);
      for (int j0 = 0; j0 <= k; j0 += 4) {
        const int m = std::min(4, k + 1 - j0);
        const double* u0 = col(j0);
        const double* u1 = m > 1 ? col(j0 + 1) : u0;
        const double* u2 = m > 2 ? col(j0 + 2) : u0;
        const double* u3 = m > 3 ? col(j0 + 3) : u0;
        double s0 = 0.0, s1 = 0.0, s2 = 0.0, s3 = 0.0;
        for (int i = 0; i < len; ++i) {
          const double w = vk[i];
          s0 += u0[i] * w;
          s1 += u1[i] * w;
          s2 += u2[i] * w;
          s3 += u3[i] * w;
        }
        const double sums[4] = {s0, s1, s2, s3};
        for (int l = 0; l < m; ++l) c[j0 + l + static_cast<std::size_t>(k) * q] = sums[l];
      }
    }
  }, 2);
  std::fill(out, out + qq, 0.0);
  for (int b = 0; b < nblock; ++b)
    for (std::size_t e = 0; e < qq; ++e) out[e] += part[b * qq + e];
  for (int k = 0; k < q; ++k)
    for (int j = k + 1; j < q; ++j)
      out[j + static_cast<std::size_t>(k) * q] = out[k + static_cast<std::size_t>(j) * q];
}

}  // namespace kelvara

extern "C" void kv_cross_product(void* data, int* n, int* p, int* ones, double* out) {
  kelvara::host::run_entry([&] {
    if (*n < 0 || *p < 0) kelvara::host::fail("kv_cross_product: invalid dimensions");
    const double* x = kelvara::host::shared_doubles(
        data, 0, static_cast<std::size_t>(*n) * *p, "kv_cross_product: the matrix");
    kelvara::cross_product(x, *n, *p, *ones != 0, out);
  });
}

// ---- the fit of the reweighted coefficients ---------------------------------------

namespace kelvara {

// fitted = x b for the n x p matrix x (fitted_block: R's product; fixed
// blocks on the call's threads), and ss, the sum of the squared residuals y - fitted
// of the cases with keep[i] != 0, added in case order in long double (as
// R's sum() adds them).
void kept_fit(const double* x, int n, int p, const double* y, const int* keep,
              const double* b, double* fitted, double& ss) {
  const int nblock = (n + case_block - 1) / case_block;
  host::parallel_chunks(nblock, [&](int blk) {
    const int lo = blk * case_block, hi = std::min(n, lo + case_block);
    fitted_block(x, n, p, b, lo, hi, fitted + lo);
  }, 2);
  long double sum = 0.0L;
  for (int i = 0; i < n; ++i) {
    if (keep[i] == 0) continue;
    const double r = y[i] - fitted[i];
    sum += r * r;
  }
  ss = static_cast<double>(sum);
}

}  // namespace kelvara

extern "C" void kv_lts_kept_fit(void* data, int* n, int* p, double* b, double* fitted,
                                double* ss) {
  kelvara::host::run_entry([&] {
    if (*n < 0 || *p < 0) kelvara::host::fail("kv_lts_kept_fit: invalid dimensions");
    const std::size_t un = *n;
    const double* x =
        kelvara::host::shared_doubles(data, 0, un * *p, "kv_lts_kept_fit: the design");
    const double* y = kelvara::host::shared_doubles(data, 1, un, "kv_lts_kept_fit: the response");
    const int* keep = kelvara::host::shared_logicals(data, 2, un, "kv_lts_kept_fit: the flags");
    kelvara::kept_fit(x, *n, *p, y, keep, b, fitted, *ss);
  });
}

// ---- the pass over the cases after the search ------------------------------------

namespace kelvara {

// The pass over the cases that follows the search, for the fit of y on x
// (n x p).  With nbest > 0, coef is first replaced by the least-squares fit
// of the rows best[0..nbest-1] (1-based): the triangular factor of those
// rows of [x | y] (rows_triangle), then qr() of its first p columns and
// qr.coef() of its last, by the LINPACK routines those R functions call
// (tolerance 1e-7), so rank and coefficients are theirs on that factor;
// refit = 1 then, or 2 when the rank falls short (coef is left as given).
// Then: fitted values and residuals (each fit summed over the columns in
// order from 0, as the reference matrix-vector product sums it), the
// criterion crit (the sum of the h smallest squared residuals, in long
// double), the raw scale factor * sqrt(crit / h), the tolerance
// 1e-9 max(1, |y|) of an exact fit, and the kept cases ok: those with
// |residual| at most 2.5 scales, or at most the tolerance when the scale is
// below it (exact).  Unless exact, r receives the triangular factor of the
// kept rows of [x | y].  The per-case work runs over fixed blocks on the
// call's threads, so nothing depends on the thread count.
void lts_case_pass(const double* x, int n, int p, const double* y, double* coef,
                   const int* best, int nbest, int h, double factor, double* fitted,
                   double* res, double& crit, double& scale, bool& exact, int* ok, double* r,
                   int& refit) {
  refit = 0;
  if (nbest > 0) {
    int q = p + 1, np = p, rank = 0, job = 100, info = 0;
    double tol = 1e-7, dummy = 0.0;
    std::vector<double> tri(static_cast<std::size_t>(q) * q), qraux(p), work(2 * p), b(p);
    std::vector<int> pivot(p);
    rows_triangle(x, n, p, y, best, nbest, tri.data());
    for (int j = 0; j < p; ++j) pivot[j] = j + 1;
    F77_CALL(dqrdc2)(tri.data(), &q, &q, &np, &tol, &rank, qraux.data(), pivot.data(),
                     work.data());
    refit = 2;
    if (rank == p) {
      double* z = tri.data() + static_cast<std::size_t>(p) * q;
      F77_CALL(dqrsl)(tri.data(), &q, &q, &np, qraux.data(), z, &dummy, z, b.data(), &dummy,
                      &dummy, &job, &info);
      if (info != 0) host::fail("exact singularity in 'qr.coef'");
      std::copy(b.begin(), b.end(), coef);
      refit = 1;
    }
  }
  const int nblock = (n + case_block - 1) / case_block;
  // (sq and index are written in full before they are read)
  std::unique_ptr<double[]> sq(new double[n]);
  std::unique_ptr<int[]> index(new int[n]);
  std::vector<double> ymax(nblock, 0.0);
  std::vector<char> finite(nblock, 1);  // (the data are read where R keeps them, unchecked)
  host::parallel_chunks(nblock, [&](int b) {
    const int lo = b * case_block, hi = std::min(n, lo + case_block);
    fitted_block(x, n, p, coef, lo, hi, fitted + lo);
    bool all_finite = true;
    for (int j = 0; j < p; ++j) {
      const double* xj = x + static_cast<std::ptrdiff_t>(j) * n;
      for (int i = lo; i < hi; ++i) all_finite &= std::isfinite(xj[i]);
    }
    double big = 0.0;
    for (int i = lo; i < hi; ++i) {
      res[i] = y[i] - fitted[i];
      sq[i] = res[i] * res[i];
      big = std::max(big, std::fabs(y[i]));
      all_finite &= std::isfinite(y[i]);
    }
    ymax[b] = big;
    finite[b] = all_finite;
  }, 2);
  for (char f : finite)
    if (!f) host::fail("the LTS case pass met NA, NaN or infinite data");
  // (The sum of the h smallest squares, over the cases in increasing order
  // where the selection gives them so.)
  double kth = 0.0;
  long double sum = 0.0L;
  long_selection selection;
  if (selection.smallest(sq.get(), n, h, index.get(), kth)) {
    for (int i = 0; i < h; ++i) sum += sq[index[i] - 1];
  } else {
    rffindq_(sq.get(), &n, &h, index.get());
    for (int i = 0; i < h; ++i) sum += sq[i];
  }
  crit = static_cast<double>(sum);
  scale = factor * std::sqrt(crit / h);
  const double tol = 1e-9 * std::max(1.0, *std::max_element(ymax.begin(), ymax.end()));
  exact = scale <= tol;
  const double cut = exact ? tol : 2.5 * scale;
  host::parallel_chunks(nblock, [&](int b) {
    const int lo = b * case_block, hi = std::min(n, lo + case_block);
    for (int i = lo; i < hi; ++i) ok[i] = std::fabs(res[i]) <= cut;
  }, 2);
  if (exact) return;
  int m = 0;
  for (int i = 0; i < n; ++i) {
    index[m] = i + 1;
    m += ok[i];
  }
  rows_triangle(x, n, p, y, index.get(), m, r);
}

}  // namespace kelvara

extern "C" void kv_lts_case_pass(void* data, int* n, int* p, double* coef, int* nbest,
                                 int* h, double* factor, double* fitted, double* crit,
                                 double* scale, int* exact, int* ok, double* r, int* refit) {
  kelvara::host::run_entry([&] {
    using kelvara::host::shared_doubles;
    if (*n < 1 || *p < 1 || *h < 1 || *h > *n || *nbest < 0 || *nbest > *n)
      kelvara::host::fail("kv_lts_case_pass: invalid dimensions");
    // The design, the response and the best subset, read in place (data is
    // list(x, y, best)).
    const std::size_t un = *n;
    const double* x = shared_doubles(data, 0, un * *p, "kv_lts_case_pass: the design");
    const double* y = shared_doubles(data, 1, un, "kv_lts_case_pass: the response");
    const int* best =
        kelvara::host::shared_ints(data, 2, *nbest, "kv_lts_case_pass: the best subset");
    for (int i = 0; i < *nbest; ++i)
      if (best[i] < 1 || best[i] > *n) kelvara::host::fail("kv_lts_case_pass: row outside 1..n");
    // (The residuals y - fitted are the R layer's to form: the same
    // subtraction, without a second long output.)
    std::unique_ptr<double[]> res(new double[*n]);
    bool ex = false;
    kelvara::lts_case_pass(x, *n, *p, y, coef, best, *nbest, *h, *factor, fitted, res.get(),
                           *crit, *scale, ex, ok, r, *refit);
    *exact = ex;
  });
}
