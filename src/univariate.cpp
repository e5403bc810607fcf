#include "univariate.h"
#include "utilities.h"

#include <R_ext/Utils.h>  // R_qsort
#include <Rmath.h>        // Rf_fmax2, Rf_fmin2, Rf_sign

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#include "host.h"

namespace kelvara {

namespace {

// Long loops poll for a user interrupt once every `poll_stride` steps: often
// enough to answer within a few milliseconds, rarely enough to cost nothing.
// host::check_interrupt itself passes to R's event loop at most every 20 ms.
constexpr unsigned poll_stride = 1u << 14;
inline void poll_at(std::size_t step) {
  if ((step & (poll_stride - 1)) == 0) host::check_interrupt();
}

// The element of rank k (0-based) of a[0..n-1], which is reordered.  Large
// ranges are split by three-way partitions around a median of three,
// polling for interrupts between passes; a pass that removes less than an
// eighth (or a range below 2^16) hands over to std::nth_element.  The value
// of a rank is unique, so the order of the work does not change it.
double select_rank(double* a, int n, int k) {
  int lo = 0, hi = n;  // a[k] lies in a[lo..hi-1]
  while (hi - lo > (1 << 16)) {
    host::check_interrupt();
    const double u = a[lo], v = a[lo + (hi - lo) / 2], w = a[hi - 1];
    const double pivot = std::max(std::min(u, v), std::min(std::max(u, v), w));
    double* m1 = std::partition(a + lo, a + hi, [pivot](double d) { return d < pivot; });
    double* m2 = std::partition(m1, a + hi, [pivot](double d) { return d == pivot; });
    const int i1 = static_cast<int>(m1 - a), i2 = static_cast<int>(m2 - a);
    if (k >= i1 && k < i2) return pivot;
    const int before = hi - lo;
    if (k < i1)
      hi = i1;
    else
      lo = i2;
    if (hi - lo > before - before / 8) break;
  }
  std::nth_element(a + lo, a + k, a + hi);
  return a[k];
}

// Weighted high median by repeated halving of the candidate set.  W is the
// weight type, S the type of the weight sums.
template <class W, class S>
double whimed_impl(double* a, W* w, int n, double* a_cand, double* a_srt, W* w_cand) {
  S w_tot = 0;
  for (int i = 0; i < n; ++i) w_tot += static_cast<S>(w[i]);
  S w_rest = 0;
  for (;;) {
    host::check_interrupt();
    for (int i = 0; i < n; ++i) a_srt[i] = a[i];
    const double trial = select_rank(a_srt, n, n / 2);

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
  return select_rank(b.data(), n, k - 1);
}

// ---- Qn ---------------------------------------------------------------------

namespace {

// Sorts y[0..n-1] ascending by a radix sort on the order-preserving integer
// image of the values, using t1 and t2 (n doubles each) as scratch for the
// keys.  For finite values without negative zeros, equal values have equal
// bits, so the sorted array is the same as any other sort leaves.
inline std::uint64_t load_key(const double* a, int i) {
  std::uint64_t u;
  std::memcpy(&u, a + i, sizeof u);
  return u;
}
inline void store_key(double* a, std::size_t i, std::uint64_t u) { std::memcpy(a + i, &u, sizeof u); }

void radix_sort(double* y, int n, double* t1, double* t2) {
  constexpr int bits = 11, passes = 6, buckets = 1 << bits;
  std::vector<std::size_t> count(static_cast<std::size_t>(passes) * buckets, 0);
  for (int i = 0; i < n; ++i) {
    poll_at(static_cast<std::size_t>(i));
    const std::uint64_t u = sort_key(y[i]);
    store_key(t1, i, u);
    for (int d = 0; d < passes; ++d) ++count[d * buckets + ((u >> (d * bits)) & (buckets - 1))];
  }
  for (int d = 0; d < passes; ++d) {
    host::check_interrupt();
    std::size_t* c = &count[d * buckets];
    if (c[(load_key(t1, 0) >> (d * bits)) & (buckets - 1)] == static_cast<std::size_t>(n)) continue;
    std::size_t sum = 0;
    for (int v = 0; v < buckets; ++v) {
      const std::size_t t = c[v];
      c[v] = sum;
      sum += t;
    }
    for (int i = 0; i < n; ++i) {
      poll_at(static_cast<std::size_t>(i));
      const std::uint64_t u = load_key(t1, i);
      store_key(t2, c[(u >> (d * bits)) & (buckets - 1)]++, u);
    }
    std::swap(t1, t2);
  }
  for (int i = 0; i < n; ++i) y[i] = key_value(load_key(t1, i));
}

// Whether the radix sort leaves y as any other sort would: finite values
// without negative zeros (the one pair of distinct values that compare equal).
bool radix_sortable(const double* y, int n) {
  for (int i = 0; i < n; ++i)
    if (!std::isfinite(y[i]) || (y[i] == 0.0 && std::signbit(y[i]))) return false;
  return true;
}

// The power of two 2^k near a robust spread of the sorted sample y[0..n-1]:
// the interquartile distance, or the range when more than half of the sample
// is one value; 0 when the sample is constant.  Dividing by it is exact, so
// statistics that are computed from the scaled sample keep their values
// bit for bit, while tolerances and single-precision rounding act in units
// of the spread: a result then depends neither on the units of the data nor
// on a single far outlier.  k is capped so that the largest scaled value
// and the differences of scaled values stay far from overflow.
int spread_exponent(const double* y, int n) {
  double spread = y[(3 * static_cast<std::int64_t>(n)) / 4] - y[n / 4];
  if (!(spread > 0.0)) spread = y[n - 1] - y[0];
  if (!(spread > 0.0)) return 0;
  int k = std::isfinite(spread) ? std::ilogb(spread) : 1023;
  const double big = std::max(std::fabs(y[0]), std::fabs(y[n - 1]));
  return std::max(k, std::ilogb(big) - 1016);
}

// y[i] * 2^-k for i in [0, n): exact unless a value falls below the normal
// range, where it loses digits far below the spread.
void scale_by_power_of_two(double* y, int n, int k) {
  if (k == 0) return;
  if (k > -1000 && k < 1000) {
    const double f = std::ldexp(1.0, -k);
    for (int i = 0; i < n; ++i) y[i] *= f;
  } else {
    for (int i = 0; i < n; ++i) y[i] = std::ldexp(y[i], -k);
  }
}

// Sorts y[0..n-1] ascending.  Large samples go through the radix sort, which
// polls for interrupts between its passes; t1 and t2 are scratch of n doubles
// (allocated here when null).
void sort_sample(double* y, int n, double* t1 = nullptr, double* t2 = nullptr) {
  if (n < 4096 || !radix_sortable(y, n)) {
    R_qsort(y, 1, static_cast<std::size_t>(n));
    return;
  }
  std::vector<double> s1, s2;
  if (t1 == nullptr) {
    s1.resize(static_cast<std::size_t>(n));
    t1 = s1.data();
  }
  if (t2 == nullptr) {
    s2.resize(static_cast<std::size_t>(n));
    t2 = s2.data();
  }
  radix_sort(y, n, t1, t2);
}

// Weighted high median of a[0..n-1] with positive weights: the smallest a[i]
// = t such that twice the weight of the values at or below t exceeds the
// total.  That value is unique, so this gives what whimed_i gives, by a
// faster route: an evenly spaced sample brackets the answer and one pass keeps
// only the values inside the bracket.  a and w are overwritten; a2 and w2 are
// scratch of n elements.
double whimed_select(double* a, int* w, int n, double* a2, int* w2) {
  std::int64_t total = 0;
  for (int i = 0; i < n; ++i) total += w[i];
  std::int64_t below = 0;       // weight of the values dropped below the current ones
  std::int64_t w_cur = total;   // weight of the current values
  constexpr int small = 2048, sample = 1023, reach = 64;
  std::vector<std::pair<double, int>> s;
  while (n > small) {
    host::check_interrupt();
    s.clear();
    const double stride = static_cast<double>(n) / sample;
    for (int k = 0; k < sample; ++k) {
      const int i = static_cast<int>(k * stride);
      s.emplace_back(a[i], w[i]);
    }
    std::sort(s.begin(), s.end(),
              [](const std::pair<double, int>& u, const std::pair<double, int>& v) {
                return u.first < v.first;
              });
    std::int64_t s_tot = 0;
    for (const auto& e : s) s_tot += e.second;
    // Where the answer should fall among the sample, by weight.
    const double frac = (0.5 * static_cast<double>(total) - static_cast<double>(below)) /
                        static_cast<double>(w_cur);
    const double aim = frac * static_cast<double>(s_tot);
    int at = 0;
    std::int64_t cum = 0;
    while (at < sample - 1 && static_cast<double>(cum + s[at].second) < aim) cum += s[at++].second;
    const double lo = s[std::max(0, at - reach)].first;
    const double hi = s[std::min(sample - 1, at + reach)].first;

    std::int64_t w_lo = 0, w_in = 0;
    int m = 0;
    for (int i = 0; i < n; ++i) {
      const double v = a[i];
      const int wi = w[i];
      w_lo += (v < lo) ? wi : 0;
      a2[m] = v;
      w2[m] = wi;
      const int inside = (v >= lo) & (v <= hi);
      w_in += inside ? wi : 0;
      m += inside;
    }
    if (2 * (below + w_lo) > total) {
      // The answer lies below the bracket.
      m = 0;
      for (int i = 0; i < n; ++i) {
        a2[m] = a[i];
        w2[m] = w[i];
        m += a[i] < lo;
      }
      w_cur = w_lo;
    } else if (2 * (below + w_lo + w_in) > total) {
      if (lo == hi) return lo;
      below += w_lo;
      w_cur = w_in;
    } else {
      // The answer lies above the bracket.
      m = 0;
      for (int i = 0; i < n; ++i) {
        a2[m] = a[i];
        w2[m] = w[i];
        m += a[i] > hi;
      }
      below += w_lo + w_in;
      w_cur -= w_lo + w_in;
    }
    std::swap(a, a2);
    std::swap(w, w2);
    const bool slow = m > n - n / 4;
    n = m;
    // A sample that keeps missing (data with a pattern in step with it)
    // must not cost a pass per few values: finish by sorting.
    if (slow) break;
  }
  s.clear();
  s.reserve(static_cast<std::size_t>(n));
  for (int i = 0; i < n; ++i) s.emplace_back(a[i], w[i]);
  std::sort(s.begin(), s.end(),
            [](const std::pair<double, int>& u, const std::pair<double, int>& v) {
              return u.first < v.first;
            });
  std::int64_t cum = below;
  for (int i = 0; i < n; ++i) {
    cum += s[i].second;
    if ((i + 1 == n || s[i + 1].first != s[i].first) && 2 * cum > total) return s[i].first;
  }
  return s[n - 1].first;  // not reached: the weights add up to the total
}

// The counts of one Qn search step: p[i] = #{jj : y[i] - y[n-jj] < below}
// and q[i] - 1 = #{jj : !(y[i] - y[n-jj] > above)}, jj = 1..n.  y[-3..-1]
// must hold -Inf (they stop both counts at n).  Both counts grow as i falls;
// the rows are cut into blocks whose scans start from an exact count found by
// bisection, and the scans of all blocks advance together, each step testing
// the next three differences at once, without branches on the data: this keeps
// the processor busy instead of waiting on mispredicted loop exits.
constexpr int qn_pad = 3;
// Samples from this size on start with bracketing steps.
constexpr int qn_sample_from = 4096;

// One step of a block scan: row i, count j so far.  Returns whether the
// block was still busy.
template <bool Strict>
inline bool qn_step(int& i, int stop, int& j, const double* y, const double* yr, double bound,
                    int* out, int offset) {
  if (i < stop) return false;
  const double yi = y[i];
  const double* yy = yr - j;  // yy[-t] = y[n-1-j-t]
  int a0, a1, a2;
  if (Strict) {
    a0 = yi - yy[0] < bound;
    a1 = yi - yy[-1] < bound;
    a2 = yi - yy[-2] < bound;
  } else {
    a0 = !(yi - yy[0] > bound);
    a1 = !(yi - yy[-1] > bound);
    a2 = !(yi - yy[-2] > bound);
  }
  // The tests are monotone in the column, so their sum is the advance.
  const int adv = a0 + (a0 & a1) + (a0 & a1 & a2);
  j += adv;
  out[i] = j + offset;  // final once the row stops advancing
  i -= (adv < 3);
  return true;
}

void qn_counts(const double* y, int n, double below, double above, int* p, int* q) {
  constexpr int blocks = 2;
  const auto count = [&](int i, bool strict, double bound) {
    int lo = 0, hi = n;  // the count lies in [lo, hi]
    while (lo < hi) {
      const int mid = lo + (hi - lo + 1) / 2;
      const double d = y[i] - y[n - mid];
      if (strict ? d < bound : !(d > bound)) lo = mid; else hi = mid - 1;
    }
    return lo;
  };
  int ip[blocks], iq[blocks], jp[blocks], jq[blocks], stop[blocks];
  for (int b = 0; b < blocks; ++b) {
    const int top = static_cast<int>(static_cast<std::int64_t>(n) * (blocks - b) / blocks) - 1;
    stop[b] = static_cast<int>(static_cast<std::int64_t>(n) * (blocks - b - 1) / blocks);
    const bool first = top + 1 >= n || top < stop[b];
    ip[b] = iq[b] = top;
    jp[b] = first ? 0 : count(top + 1, true, below);
    jq[b] = first ? 0 : count(top + 1, false, above);
  }
  static_assert(blocks == 2, "the scan loop below is written out for two blocks");
  int ip0 = ip[0], ip1 = ip[1], iq0 = iq[0], iq1 = iq[1];
  int jp0 = jp[0], jp1 = jp[1], jq0 = jq[0], jq1 = jq[1];
  const int stop0 = stop[0], stop1 = stop[1];
  const double* yr = y + n - 1;
  for (std::size_t step = 1;; ++step) {
    poll_at(step);
    bool busy = qn_step<true>(ip0, stop0, jp0, y, yr, below, p, 0);
    busy |= qn_step<true>(ip1, stop1, jp1, y, yr, below, p, 0);
    busy |= qn_step<false>(iq0, stop0, jq0, y, yr, above, q, 1);
    busy |= qn_step<false>(iq1, stop1, jq1, y, yr, above, q, 1);
    if (!busy) break;
  }
}

}  // namespace

namespace {

// The working state of one Qn search over the differences y[i] - y[n - jj]
// of the sorted sample; the candidates of row i are jj = left[i]..right[i].
struct qn_search {
  const double* y;
  int n;
  bool fast;   // finite data without negative zeros: the branch-free scans
  bool exact;  // trial values in full precision (else rounded to single)
  int *left, *right, *weight, *p, *q;
  double *work, *a_cand, *a_srt;
};

// The weighted high median of the middle candidates of the rows, each
// weighted by its number of candidates.
double qn_trial(qn_search& st) {
  const double* y = st.y;
  const int n = st.n;
  int j = 0;
  if (st.fast) {
    // The same rows without a branch on each: an empty row's entry is
    // written and then overwritten by the next.  Its column is clamped
    // into the sample; its value is never used.
    for (int i = 1; i < n; ++i) {
      const int wt = st.right[i] - st.left[i] + 1;
      const int jhelp = st.left[i] + wt / 2;
      const int col = std::min(std::max(n - jhelp, 0), n - 1);
      const double d = y[i] - y[col];
      st.weight[j] = wt;
      st.work[j] = st.exact ? d : to_single(d);
      j += wt > 0;
    }
    return whimed_select(st.work, st.weight, j, st.a_cand, st.p);
  }
  for (int i = 1; i < n; ++i) {
    if (st.left[i] <= st.right[i]) {
      st.weight[j] = st.right[i] - st.left[i] + 1;
      const int jhelp = st.left[i] + st.weight[j] / 2;
      const double d = y[i] - y[n - jhelp];
      st.work[j] = st.exact ? d : to_single(d);
      ++j;
    }
  }
  return whimed_i(st.work, st.weight, j, st.a_cand, st.a_srt, st.p);
}

// p[i] = #{jj : diff < trial} and q[i] - 1 = #{jj : diff <= trial} over the
// whole of row i, the differences compared as the search rounds them.
void qn_count(qn_search& st, double trial) {
  const double* y = st.y;
  const int n = st.n;
  int* p = st.p;
  int* q = st.q;
  const single_bounds tb =
      st.exact ? single_bounds{true, trial, trial} : bounds_of_single(trial);
  if (tb.ok && st.fast) {
    qn_counts(y, n, tb.below, tb.above, p, q);
  } else if (tb.ok) {
    // Both counts in one pass, the differences of row i growing with jj.
    int jp = 0, jq = 0;
    for (int i = n - 1; i >= 0; --i) {
      while (jp < n && y[i] - y[n - jp - 1] < tb.below) ++jp;
      while (jq < n && !(y[i] - y[n - jq - 1] > tb.above)) ++jq;
      p[i] = jp;
      q[i] = jq + 1;
    }
  } else {
    int j = 0;
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
}

// Narrows the candidates with one trial value.  nL and nR count the
// differences below the candidates and up to their end; knew is the rank
// sought.  Returns true when the trial value is the answer.
bool qn_narrow(qn_search& st, double trial, std::int64_t knew, std::int64_t& nL,
               std::int64_t& nR) {
  const int n = st.n;
  qn_count(st, trial);
  std::int64_t sum_p = 0, sum_q = 0;
  for (int i = 0; i < n; ++i) {
    sum_p += st.p[i];
    sum_q += st.q[i] - 1;
  }
  if (knew <= sum_p) {
    std::swap(st.right, st.p);
    nR = sum_p;
  } else if (knew > sum_q) {
    std::swap(st.left, st.q);
    nL = sum_q;
  } else if (st.exact) {
    return true;
  } else {
    // The answer rounds to the trial value: it is among the differences
    // that do, which the search goes on to rank in full precision.
    for (int i = 0; i < n; ++i) {
      st.left[i] = st.p[i] + 1;
      st.right[i] = st.q[i] - 1;
    }
    nL = sum_p;
    nR = sum_q;
    st.exact = true;
  }
  return false;
}

// A bracket of the answer from a sample of m of the candidates, spread
// evenly over them (the differences of each row in proportion to its count),
// the answer ranking at `rank` among them: the sample values of ranks about
// 4 standard errors below and above.  Two narrowing steps with these values
// usually leave a fraction of a per cent of the candidates, where a step with
// the weighted median of the row middles removes a quarter or more.  A side
// whose rank falls outside the sample is left open (an infinite value).
void qn_bracket(qn_search& st, std::int64_t rank, int m, double& lo, double& hi) {
  const double* y = st.y;
  const int n = st.n;
  double* v = st.work;
  // The first upper bounds of the rows are not tight: count the candidates.
  std::int64_t count = 0;
  for (int i = 1; i < n; ++i) count += std::max(st.right[i] - st.left[i] + 1, 0);
  lo = -HUGE_VAL;
  hi = HUGE_VAL;
  if (count <= 0) return;
  const double step = static_cast<double>(count) / m;
  std::int64_t before = 0;  // candidates in the rows before row i
  int t = 0;
  for (int i = 1; i < n && t < m; ++i) {
    const int c = st.right[i] - st.left[i] + 1;
    if (c <= 0) continue;
    for (;;) {
      // One value from each of m equal strata, at a position within the
      // stratum that moves by the golden ratio: evenly spaced positions
      // would fall in step with the equal rows of the first candidates.
      const double u = static_cast<double>(t) * 0.6180339887498949;
      const double at_t = static_cast<double>(t) + (u - std::floor(u));
      const std::int64_t pos = std::min(static_cast<std::int64_t>(at_t * step), count - 1);
      if (pos >= before + c || t >= m) break;
      const int jj = st.left[i] + static_cast<int>(pos - before);
      const double d = y[i] - y[n - jj];
      v[t++] = st.exact ? d : to_single(d);
    }
    before += c;
  }
  m = t;
  const double at = (static_cast<double>(rank) - 0.5) / static_cast<double>(count) * m;
  const double reach = 2.0 * std::sqrt(static_cast<double>(m)) + 2.0;
  const double lo_at = std::floor(at - reach), hi_at = std::ceil(at + reach);
  if (lo_at >= 0) {
    std::nth_element(v, v + static_cast<int>(lo_at), v + m);
    lo = v[static_cast<int>(lo_at)];
  }
  if (hi_at <= m - 1) {
    std::nth_element(v, v + static_cast<int>(hi_at), v + m);
    hi = v[static_cast<int>(hi_at)];
  }
}

}  // namespace

double qn0(const double* x, int n) {
  if (n < 2) return 0.0;  // no pair: no spread to measure
  qn_search st;
  st.n = n;
  st.exact = false;
  // Finite data without negative zeros take the fast route (radix sort,
  // sampled weighted median, block scans); any other data the plain one.
  // Both give the same values.
  st.fast = radix_sortable(x, n);
  double* y_mem = host::transient_array<double>(static_cast<std::size_t>(n) + qn_pad);
  for (int i = 0; i < qn_pad; ++i) y_mem[i] = -HUGE_VAL;  // stops the block scans
  double* y = y_mem + qn_pad;
  st.y = y;
  st.work = host::transient_array<double>(n);
  st.a_cand = host::transient_array<double>(n);
  st.a_srt = st.fast ? nullptr : host::transient_array<double>(n);
  st.left = host::transient_array<int>(n);
  st.right = host::transient_array<int>(n);
  st.weight = host::transient_array<int>(n);
  st.p = host::transient_array<int>(n);
  st.q = host::transient_array<int>(n);

  // Counts reach n^2: 64-bit.
  const std::int64_t h = n / 2 + 1;
  const std::int64_t rank = h * (h - 1) / 2;
  for (int i = 0; i < n; ++i) {
    y[i] = x[i];
    st.left[i] = n - i + 1;
    st.right[i] = (i <= h) ? n : static_cast<int>(n - i + h);
  }
  if (st.fast && n >= 4096)
    radix_sort(y, n, st.work, st.a_cand);
  else
    R_qsort(y, 1, static_cast<std::size_t>(n));
  // The search runs in units of the spread, so that its single-precision
  // trial values neither underflow nor overflow; the scaling is exact.
  const int e2 = spread_exponent(y, n);
  scale_by_power_of_two(y, n, e2);

  std::int64_t nL = static_cast<std::int64_t>(n) * (n + 1) / 2;
  std::int64_t nR = static_cast<std::int64_t>(n) * n;
  const std::int64_t knew = rank + nL;

  // Large samples are first narrowed by brackets from samples of the
  // candidates, as long as that pays; then, and on small samples, by the
  // weighted median of the row middles, which never removes less than a
  // quarter.  Every path ends at the same, exact, order statistic.
  bool sampled = n >= qn_sample_from;
  while (nR - nL > n) {
    host::check_interrupt();
    if (sampled && nR - nL > 8 * static_cast<std::int64_t>(n)) {
      const std::int64_t before = nR - nL;
      double lo, hi;
      qn_bracket(st, knew - nL, n / 2, lo, hi);
      if (std::isfinite(lo) && qn_narrow(st, lo, knew, nL, nR)) return std::ldexp(lo, e2);
      if (nR - nL > n && std::isfinite(hi) && qn_narrow(st, hi, knew, nL, nR))
        return std::ldexp(hi, e2);
      // Data in step with the sample can defeat it: then it is not used again.
      sampled = nR - nL < before / 16;
      continue;
    }
    const double trial = qn_trial(st);
    if (qn_narrow(st, trial, knew, nL, nR)) return std::ldexp(trial, e2);
  }

  // At most n candidates remain: select among them in full precision.
  int j = 0;
  for (int i = 1; i < n; ++i)
    for (int jj = st.left[i]; jj <= st.right[i]; ++jj) st.work[j++] = y[i] - y[n - jj];
  const int r = static_cast<int>(knew - nL);
  return std::ldexp(select_rank(st.work, j, r - 1), e2);
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
  if (!is_sorted) sort_sample(x, n, a2);
  // 1-based view of the sorted sample.
  const auto y = [x](int i) { return x[i - 1]; };

  a2[0] = y(n / 2 + 1) - y(1);

  // Lower half: the distances to the left and to the right of y(i) form
  // two sorted runs; medA(tryA) and medB(tryB) are their elements.
  for (int i = 2; i <= (n + 1) / 2; ++i) {
    poll_at(static_cast<std::size_t>(i));
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
    poll_at(static_cast<std::size_t>(i));
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

// ---- medcouple -----------------------------------------------------------------

double h_kern(double a, double b, int ai, int bi, int ab, double eps) {
  // Ties are ordered by their position in the kernel matrix.
  if (std::fabs(a - b) < 2.0 * eps || b > 0)
    return Rf_sign(static_cast<double>(ab - ai - bi));
  return (a + b) / (a - b);
}

namespace {

// The working state of one medcouple search.  The kernel matrix has rows
// x1(j) = x[j] >= 0 (j = 1..h1) and columns x2(i) = x[j1 - 1 + i] <= 0
// (i = 1..h2), both decreasing; the candidates of column i are the rows
// left[i]..right[i].
struct mc_search {
  const double* x1;
  const double* x2;
  int h1, h2, ab, trace;
  double eps1, eps2;
  int *left, *right, *p, *q, *weight, *iw_cand;
  double *work, *a_cand, *a_srt;
  std::int64_t nl, nr, neq, knew;

  double kern(int j, int i) const { return h_kern(x1[j], x2[i], j, i, ab, eps2); }
};

// ---- trace output of the search, by level ------------------------------------

void trace_candidates(const mc_search& st, int m) {
  host::print(" before whimed(): work[0:(%d-1)], weight[] :\n", m);
  for (int r = 0; r < m; ++r) host::print(" %8g", st.work[r]);
  host::print("\n");
  for (int r = 0; r < m; ++r) host::print(" %8d", st.weight[r]);
  host::print("\n");
}

void trace_counts(const mc_search& st, std::int64_t sum_p, std::int64_t sum_q) {
  if (st.trace == 3)
    host::print("sum_(p,q)= (%lld,%lld)", static_cast<long long>(sum_p),
                static_cast<long long>(sum_q));
  if (st.trace < 4) return;
  host::print("\n%3s p[]:", "");
  for (int i = 1; i <= st.h2; ++i) host::print(" %2d", st.p[i]);
  host::print(" sum= %3lld\n%3s q[]:", static_cast<long long>(sum_p), "");
  for (int i = 1; i <= st.h2; ++i) host::print(" %2d", st.q[i]);
  host::print(" sum= %3lld\n", static_cast<long long>(sum_q));
}

// ---- the search ----------------------------------------------------------------

// The weighted high median of the middle candidates of the columns, each
// weighted by its number of candidates.
double mc_trial(mc_search& st, int it) {
  int m = 0;
  for (int i = 1; i <= st.h2; ++i) {
    if (st.left[i] <= st.right[i]) {
      st.weight[m] = st.right[i] - st.left[i] + 1;
      const int mid = st.left[i] + st.weight[m] / 2;
      st.work[m] = st.kern(mid, i);
      ++m;
    }
  }
  if (st.trace >= 4) trace_candidates(st, m);
  const double trial = whimed_i(st.work, st.weight, m, st.a_cand, st.a_srt, st.iw_cand);
  if (st.trace >= 3) host::print("%4s it=%2d, whimed(n=%3d)= %8g ", " ", it, m, trial);
  return trial;
}

// p[i]: the rows of column i whose kernel value lies above the trial value
// by more than tol; q[i] - 1: those not below it by more than tol.  The row
// index carries over between columns since the matrix decreases along both
// axes.
void mc_count(mc_search& st, double trial, double tol) {
  int j = 1;
  for (int i = st.h2; i >= 1; --i) {
    poll_at(static_cast<std::size_t>(i));
    for (; j <= st.h1; ++j) {
      const double hv = st.kern(j, i);
      if (!(hv - trial > tol)) break;
      if (st.trace >= 5)
        host::print("\nj=%3d, i=%3d, x[j]=%g, x2[i]=%g, h=%g", j, i, st.x1[j], st.x2[i], hv);
    }
    st.p[i] = j - 1;
  }
  j = st.h1;
  for (int i = 1; i <= st.h2; ++i) {
    poll_at(static_cast<std::size_t>(i));
    while (j >= 1 && trial - st.kern(j, i) > tol) --j;
    st.q[i] = j + 1;
  }
}

// One step of the search: narrows the candidates around the trial value.
// Returns true when the trial value is the medcouple.
bool mc_step(mc_search& st, double trial) {
  const double tol = st.eps1 * (st.eps1 + std::fabs(trial));
  mc_count(st, trial, tol);
  std::int64_t sum_p = 0, sum_q = 0;
  for (int i = 1; i <= st.h2; ++i) {
    sum_p += st.p[i];
    sum_q += st.q[i] - 1;
  }
  trace_counts(st, sum_p, sum_q);

  if (st.knew <= sum_p) {
    if (st.trace >= 3) host::print("; sum_p >= kn\n");
    st.neq = 0;
    for (int i = 1; i <= st.h2; ++i) {
      st.right[i] = st.p[i];
      if (st.left[i] > st.right[i] + 1) st.neq += st.left[i] - st.right[i] - 1;
    }
    st.nr = sum_p;
    return false;
  }
  const bool found = st.knew <= sum_q;
  if (st.trace >= 3) host::print("; s_p < kn ?<=? s_q: %s\n", found ? "TRUE" : "no");
  if (found) return true;
  // neq is deliberately not reset here (it may over-count, never under-count).
  for (int i = 1; i <= st.h2; ++i) {
    st.left[i] = st.q[i];
    if (st.left[i] > st.right[i] + 1) st.neq += st.left[i] - st.right[i] - 1;
  }
  st.nl = sum_q;
  return false;
}

// The medcouple among the few candidates left, by selection.
double mc_select(mc_search& st, int it) {
  int m = 0;
  for (int i = 1; i <= st.h2; ++i)
    for (int r = st.left[i]; r <= st.right[i]; ++r) st.work[m++] = -st.kern(r, i);
  if (st.trace != 0)
    host::print("  not found [it=%d,  (nr,nl) = (%lld,%lld)], -> (knew-nl, j) = (%lld,%d)\n",
                it, static_cast<long long>(st.nr), static_cast<long long>(st.nl),
                static_cast<long long>(st.knew - st.nl), m);
  const int rank = static_cast<int>(st.knew - st.nl);
  return -select_rank(st.work, m, rank - 1);
}

}  // namespace

double mc_C_d(const double* z, int n, const double* eps, int* iter) {
  const int trace = iter[1];
  const double eps1 = eps[0], eps2 = eps[1];
  if (n < 3) {
    iter[0] = 0;
    iter[1] = MC_CONVERGED;
    return 0.0;
  }
  double* work = host::transient_array<double>(n);
  int* weight = host::transient_array<int>(n);
  double* x = host::transient_array<double>(n + 1);  // x[1..n]

  for (int i = 1; i <= n; ++i) x[i] = -z[i - 1];
  sort_sample(x + 1, n, work);
  // In units of the spread the tolerances below mean the same for every
  // scale of the data; the kernel values are ratios, and power-of-two
  // scaling leaves them unchanged.
  const int k = spread_exponent(x + 1, n);
  scale_by_power_of_two(x + 1, n, k);
  const double xmed = (n % 2 == 1) ? x[n / 2 + 1] : (x[n / 2] + x[n / 2 + 1]) * 0.5;

  // The median at the border: x(1) is the negated largest observation.
  if (std::fabs(x[1] - xmed) < eps1 * (eps1 + std::fabs(xmed))) {
    iter[0] = 0;
    iter[1] = MC_CONVERGED;
    return -1.0;
  }
  if (std::fabs(x[n] - xmed) < eps1 * (eps1 + std::fabs(xmed))) {
    iter[0] = 0;
    iter[1] = MC_CONVERGED;
    return 1.0;
  }
  if (trace != 0) host::print("Median = %g (not at the border)\n", -std::ldexp(xmed, k));

  // Centre, and turn the order to decreasing.
  for (int i = 1; i <= n; ++i) x[i] = xmed - x[i];
  if (trace >= 2) host::print(" x[] is rescaled (* 1/s) with s = %g\n", std::ldexp(1.0, k));

  const double xeps = eps1 * (eps1 + std::fabs(xmed));
  int j1 = 1;
  while (j1 < n && x[j1] > xeps) ++j1;
  if (trace >= 3)
    host::print("   x1[] := {x | x_j > eps}         has %d entries\n", j1 - 1);
  int j2 = j1;
  while (j2 <= n && x[j2] > -xeps) ++j2;
  if (trace >= 2)
    host::print("'median-x' {x | -eps < x_i <= eps} has %d (= 'k') entries\n", j2 - j1);

  mc_search st;
  st.h1 = j2 - 1;
  st.h2 = n - j1 + 1;
  st.x1 = x;
  st.x2 = x + j1 - 1;
  st.ab = st.h1 + 1;
  st.trace = trace;
  st.eps1 = eps1;
  st.eps2 = eps2;
  st.left = host::transient_array<int>(st.h2 + 1);
  st.right = host::transient_array<int>(st.h2 + 1);
  st.p = host::transient_array<int>(st.h2 + 1);
  st.q = host::transient_array<int>(st.h2 + 1);
  st.weight = weight;
  st.work = work;
  st.a_cand = host::transient_array<double>(st.h2);
  st.a_srt = host::transient_array<double>(st.h2);
  st.iw_cand = host::transient_array<int>(st.h2);
  for (int i = 1; i <= st.h2; ++i) {
    st.left[i] = 1;
    st.right[i] = st.h1;
  }
  // The matrix has h1 * h2 (about n^2 / 4) entries: all counts are 64-bit.
  st.nl = 0;
  st.nr = static_cast<std::int64_t>(st.h1) * st.h2;
  st.neq = 0;
  st.knew = st.nr / 2 + 1;
  if (trace >= 2)
    host::print(" (h1,h2,  nr=nr-nl, knew) = (%d,%d,  %lld, %lld)\n", st.h1, st.h2,
                static_cast<long long>(st.nr), static_cast<long long>(st.knew));

  double trial = -2.0, result = 0.0;
  int it = 0;
  bool converged = false, found = false;
  while (st.nr + st.neq - st.nl > n) {
    if (it >= iter[0]) {
      host::warn("maximal number of iterations (%d =? %d) reached prematurely\n", iter[0], it);
      result = trial;
      break;
    }
    ++it;
    host::check_interrupt();
    trial = mc_trial(st, it);
    found = mc_step(st, trial);
    if (found) {
      result = trial;
      converged = true;
      break;
    }
  }

  if (!found && st.nr + st.neq - st.nl <= n) {
    result = mc_select(st, it);
    converged = true;
  }
  if (converged && trace >= 2) host::print("converged in %d iterations\n", it);
  iter[0] = it;
  iter[1] = converged ? MC_CONVERGED : MC_ITERATION_LIMIT;
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
