#include "utilities.h"

#include <algorithm>
#include <limits>
#include <cmath>
#include <cstring>
#include <vector>

#include "host.h"

#define USE_FC_LEN_T
#include <R_ext/BLAS.h>

namespace kelvara {

double kthplace(double* a, int n, int k) {
  const int k0 = k - 1;
  int l = 0, r = n - 1;
  if (r <= 0) return a[k0];
  while (l < r) {
    const double x = a[k0];
    int i = l, j = r;
    do {
      while (a[i] < x) ++i;
      while (x < a[j]) --j;
      if (j < i) break;
      const double w = a[i];
      a[i] = a[j];
      a[j] = w;
      ++i;
      --j;
    } while (i <= j);
    if (j < k0) l = i;
    if (k0 < i) r = j;
  }
  return a[k0];
}

namespace {
// Median of aux[0..n-1], which the caller has filled; reorders aux.
double median_in_place(double* aux, int n) {
  const int h = n / 2;
  if (static_cast<double>(h) == n * 0.5) {
    // Two selections on the same, already partly ordered, work array.
    const double lo = kthplace(aux, n, h);
    const double hi = kthplace(aux, n, h + 1);
    return (lo + hi) * 0.5;
  }
  return kthplace(aux, n, h + 1);
}
}  // namespace

double median(const double* x, int n, double* aux) {
  for (int i = 0; i < n; ++i) aux[i] = x[i];
  return median_in_place(aux, n);
}

double median_abs(const double* x, int n, double* aux) {
  bool nan = false;
  for (int i = 0; i < n; ++i) {
    aux[i] = std::fabs(x[i]);
    nan = nan || std::isnan(aux[i]);
  }
  const int h = n / 2;
  if (nan || n < 2 || n % 2 != 0) return median_in_place(aux, n);
  // One selection instead of two: kthplace leaves the values after the
  // selected one not below it, so the upper middle value is the least of
  // them.  Order statistics are unique values (and absolute values have no
  // negative zeros), so this is the two selections' result to the bit.
  const double lo = kthplace(aux, n, h), hi = *std::min_element(aux + h, aux + n);
  return (lo + hi) * 0.5;
}

double MAD(const double* x, int n, double center, double* t, double* aux) {
  for (int i = 0; i < n; ++i) t[i] = x[i] - center;
  // Exactly 1.4826, not 1/qnorm(3/4) to more digits.
  return median_abs(t, n, aux) * 1.4826;
}

double norm(const double* x, int n) {
  const int one = 1;
  return F77_CALL(dnrm2)(&n, x, &one);
}

double norm2(const double* x, int n) {
  const double r = norm(x, n);
  return r * r;
}

double norm1(const double* x, int n) {
  const int one = 1;
  return F77_CALL(dasum)(&n, x, &one);
}

double norm_diff2(const double* x, const double* y, int n) {
  double s = 0.0;
  for (int i = 0; i < n; ++i) {
    const double d = x[i] - y[i];
    s = std::fma(d, d, s);
  }
  return s;
}

double norm_diff(const double* x, const double* y, int n) {
  return std::sqrt(norm_diff2(x, y, n));
}

double norm1_diff(const double* x, const double* y, int n) {
  double s = 0.0;
  for (int i = 0; i < n; ++i) s = s + std::fabs(x[i] - y[i]);
  return s;
}

int find_max(const double* a, int n) {
  if (n <= 1) return 0;
  double m = a[0];
  int k = 0;
  for (int i = 1; i < n; ++i)
    if (m < a[i]) {
      m = a[i];
      k = i;
    }
  return k;
}

void fitted_block(const double* x, int n, int p, const double* beta, int i0, int i1,
                  double* f) {
  const int m = i1 - i0;
  for (int i = 0; i < m; ++i) f[i] = 0.0;
  for (int j = 0; j < p; ++j) {
    const double b = beta[j];
    const double* xj = x + static_cast<std::size_t>(j) * n + i0;
    for (int i = 0; i < m; ++i) f[i] = f[i] + b * xj[i];
  }
}

double r_mean(const double* v, long m) {
  long double s = 0.0;
  for (long i = 0; i < m; ++i) s += v[i];
  s /= m;
  if (std::isfinite(static_cast<double>(s))) {
    long double t = 0.0;
    for (long i = 0; i < m; ++i) t += (v[i] - s);
    s += t / m;
  }
  return static_cast<double>(s);
}

bool sample_bracket(const double* d, long nn, long k, double& lo, double& hi) {
  const long ns = std::min<long>(nn, 8192);
  std::vector<double> sample(ns);
  for (long i = 0; i < ns; ++i) {
    sample[i] = d[(i * nn) / ns];
    if (std::isnan(sample[i])) return false;
  }
  const double q = static_cast<double>(k) / static_cast<double>(nn);
  const long margin = 16 + static_cast<long>(4.0 * std::sqrt(ns * q * (1.0 - q) + 1.0));
  const long r_lo = std::max(0L, static_cast<long>(q * ns) - margin);
  const long r_hi = std::min(ns - 1, static_cast<long>(q * ns) + margin);
  std::nth_element(sample.begin(), sample.begin() + r_lo, sample.end());
  lo = sample[r_lo];
  std::nth_element(sample.begin() + r_lo, sample.begin() + r_hi, sample.end());
  hi = sample[r_hi];
  return true;
}

double select_kth(const double* v, long m, long k, std::vector<double>& work,
                  double* next) {
  const bool two = next != nullptr && k < m;
  long below = 0, in = m;
  double lo = 0.0, hi = 0.0;
  if (m >= (1L << 14) && sample_bracket(v, m, k, lo, hi)) {
    work.resize(m);
    double* w = work.data();
    in = 0;
    for (long i = 0; i < m; ++i) {
      const double x = v[i];
      below += x < lo;
      w[in] = x;
      in += (x >= lo) & (x <= hi);
    }
  }
  if (in == m || !(below < k && (two ? k + 1 : k) <= below + in)) {
    work.assign(v, v + m);
    below = 0;
    in = m;
  }
  double* w = work.data();
  const long r = k - below - 1;
  std::nth_element(w, w + r, w + in);
  if (two) *next = *std::min_element(w + r + 1, w + in);
  return w[r];
}

double r_median(const double* v, long m, std::vector<double>& work) {
  const long half = (m + 1) / 2;
  if (m % 2 == 1) return select_kth(v, m, half, work);
  double two[2];
  two[0] = select_kth(v, m, half, work, &two[1]);
  return r_mean(two, 2);
}

// ---- selection on long passes ----
//
// The k smallest of many values, in passes over blocks on the call's
// threads.  A deterministic sample brackets the k-th smallest value; one
// pass counts the values below the bracket and gathers those inside it, and
// the k-th is selected among the latter.  When exactly k values are at most
// that value, the selected set is that of every selection, and a second pass
// writes the cases out in increasing order.  A bracket that misses, a NaN,
// or a tie at the k-th value returns false, and the caller selects otherwise.
// The passes do not branch on the values (a gathered value is written at the
// next place and kept only when it counts): such branches are unpredictable.

namespace {

constexpr long select_block = 1L << 12;

// Runs body(b, lo, hi) for the selection blocks [lo, hi) of 0..nn - 1 on the
// call's threads, block b as item b.
template <class F>
void for_select_blocks(long nn, F&& body) {
  const long nblocks = (nn + select_block - 1) / select_block;
  host::parallel_for(static_cast<int>(nblocks), [&](int b) {
    body(b, b * select_block, std::min(nn, (b + 1) * select_block));
  });
}

}  // namespace

bool long_selection::bracket(const double* d, long nn, long k, double& kth) {
  valid = false;
  double lo = 0.0, hi = 0.0;
  if (!sample_bracket(d, nn, k, lo, hi)) return false;
  const long nblocks = (nn + select_block - 1) / select_block;
  if (scratch_len < nn) {
    scratch.reset(new double[nn]);
    scratch_len = nn;
  }
  below_n.assign(nblocks, 0);
  inside_n.assign(nblocks, 0);
  std::vector<char> nan(nblocks, 0);
  for_select_blocks(nn, [&](long b, long b_lo, long b_hi) {
    long m_below = 0, in = 0;
    bool bad = false;
    double* out = scratch.get() + b_lo;
    for (long i = b_lo; i < b_hi; ++i) {
      const double v = d[i];
      m_below += v < lo;
      out[in] = v;
      in += (v >= lo) & (v <= hi);
      bad |= std::isnan(v);
    }
    below_n[b] = m_below;
    inside_n[b] = in;
    nan[b] = bad;
  });
  long total_below = 0, total_inside = 0;
  for (long b = 0; b < nblocks; ++b) {
    if (nan[b]) return false;
    total_below += below_n[b];
    total_inside += inside_n[b];
  }
  if (!(total_below < k && k <= total_below + total_inside)) return false;
  inside.resize(total_inside);
  for (long b = 0, at = 0; b < nblocks; at += inside_n[b], ++b)
    std::copy(scratch.get() + b * select_block,
              scratch.get() + b * select_block + inside_n[b], inside.begin() + at);
  below = total_below;
  valid = true;
  return rank(k, kth);
}

bool long_selection::rank(long k, double& kth) {
  const long r = k - below - 1;
  if (!valid || r < 0 || r >= static_cast<long>(inside.size())) return false;
  std::nth_element(inside.begin(), inside.begin() + r, inside.end());
  kth = inside[r];
  return true;
}

bool long_selection::smallest(const double* d, long nn, long k, int* index, double& kth) {
  if (!bracket(d, nn, k, kth)) return false;
  const long nblocks = static_cast<long>(below_n.size());
  std::vector<long> start(nblocks + 1, 0);
  for (long b = 0; b < nblocks; ++b) {
    long m = below_n[b];
    const double* v = scratch.get() + b * select_block;
    for (long t = 0; t < inside_n[b]; ++t) m += v[t] <= kth;
    start[b + 1] = start[b] + m;
  }
  if (start[nblocks] != k) return false;
  for_select_blocks(nn, [&](long b, long lo, long hi) {
    long at = start[b];
    const long end = start[b + 1];
    for (long i = lo; i < hi && at < end; ++i) {
      index[at] = static_cast<int>(i + 1);
      at += d[i] <= kth;
    }
  });
  return true;
}

group_plan plan_groups(int n, int group_size, int krep) {
  group_plan plan;
  const std::int64_t gs = group_size, nn = n;
  if (krep < 1 || nn < 2 * gs) return plan;
  plan.partitioned = true;
  plan.ngroup = static_cast<int>(std::min<std::int64_t>(nn / gs, max_groups));
  if (nn < static_cast<std::int64_t>(max_groups) * gs) {
    const int q = n / plan.ngroup, rem = n - q * plan.ngroup;
    for (int g = 0; g < plan.ngroup; ++g) plan.sizes[g] = q + (g >= 1 && g <= rem);
  } else {
    for (int g = 0; g < max_groups; ++g) plan.sizes[g] = group_size;
  }
  for (int g = 0; g < plan.ngroup; ++g) {
    plan.merged_size += plan.sizes[g];
    plan.largest = std::max(plan.largest, plan.sizes[g]);
  }
  return plan;
}

int final_csteps(std::int64_t np) {
  if (np <= 100000) return 100;
  if (np <= 200000) return 10;
  if (np > 1000000) return 1;
  return static_cast<int>(12 - (np + 99999) / 100000);  // 9 .. 2
}

void disp_vec(const double* a, int n) {
  for (int i = 0; i < n; ++i) host::print("%lf ", a[i]);
  host::print("\n");
}

void disp_veci(const int* a, int n) {
  for (int i = 0; i < n; ++i) host::print("%d ", a[i]);
  host::print("\n");
}

}  // namespace kelvara

// ---- subset drawing, combinatorics, sorting, selection, univariate MCD ----
// The kernels the FAST-MCD and FAST-LTS searches share.

namespace host = kelvara::host;

namespace {

// Rank insertion shared by the grouped and the single draw: with m sorted
// case numbers in a(0..m-1) (stride `stride` between entries, group tag in
// the next slot when `tag` is nonzero), insert the nrand-th smallest case
// number that is not yet in the list, keeping the list sorted.
void insert_by_rank(int* a, int stride, int m, int nrand, int tag) {
  a[m * stride] = nrand + m;
  if (tag) a[m * stride + 1] = tag;
  for (int i = 0; i < m; ++i) {
    const int cand = nrand + i;
    if (a[i * stride] > cand) {
      for (int k = m; k > i; --k) {
        a[k * stride] = a[(k - 1) * stride];
        if (tag) a[k * stride + 1] = a[(k - 1) * stride + 1];
      }
      a[i * stride] = cand;
      if (tag) a[i * stride + 1] = tag;
      return;
    }
  }
}

// One uniform rank in 1..range.
inline int draw_rank(int range) {
  return static_cast<int>(kelvara::host::unif_rand() * static_cast<double>(range)) + 1;
}

// Halving-gap (Shell) sort: std::sort needs a strict weak order, which NaN
// breaks, so inputs holding NaN are ordered by this sort, whose outcome is
// defined for any input.
template <class T>
void halving_gap_sort(T* a, int n) {
  for (int gap = n / 2; gap > 0; gap /= 2) {
    for (int i = 0; i < n - gap; ++i) {
      for (int j = i; j >= 0 && a[j] > a[j + gap]; j -= gap) std::swap(a[j], a[j + gap]);
    }
  }
}

// aw[j] = w[j] + w[j+1] + ... + w[j+h-1], added in that order, for j = 0..m-1.
// Several windows are summed in one pass over the data, each in its own
// accumulator (a lane of a vector register), so the additions of different
// windows overlap while every sum keeps its order, and so its value: a lane
// of a vector addition is an ordinary double addition.  A last partial batch
// is summed again from the end (m - batch), which gives the same values.
#if defined(__GNUC__)
// Four accumulators of V (a vector of doubles) cover 4 * lanes windows.
template <class V>
inline __attribute__((always_inline)) void window_batch(const double* wj, int h,
                                                        double* out) {
  constexpr int lanes = sizeof(V) / sizeof(double);
  V s0 = {}, s1 = {}, s2 = {}, s3 = {};
  for (int i = 0; i < h; ++i) {
    V v0, v1, v2, v3;
    std::memcpy(&v0, wj + i, sizeof v0);
    std::memcpy(&v1, wj + i + lanes, sizeof v1);
    std::memcpy(&v2, wj + i + 2 * lanes, sizeof v2);
    std::memcpy(&v3, wj + i + 3 * lanes, sizeof v3);
    s0 += v0;
    s1 += v1;
    s2 += v2;
    s3 += v3;
  }
  std::memcpy(out, &s0, sizeof s0);
  std::memcpy(out + lanes, &s1, sizeof s1);
  std::memcpy(out + 2 * lanes, &s2, sizeof s2);
  std::memcpy(out + 3 * lanes, &s3, sizeof s3);
}
typedef double lanes2_t __attribute__((vector_size(16)));
#endif

#if defined(__GNUC__) && defined(__x86_64__)
#define KELVARA_WINDOW_AVX2 1
typedef double lanes4_t __attribute__((vector_size(32)));
__attribute__((target("avx2"))) void window_batch16(const double* wj, int h,
                                                    double* out) {
  window_batch<lanes4_t>(wj, h, out);
}
#endif

void window_batch8(const double* wj, int h, double* out) {
#if defined(__GNUC__)
  window_batch<lanes2_t>(wj, h, out);
#else
  double s[8] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
  for (int i = 0; i < h; ++i)
    for (int b = 0; b < 8; ++b) s[b] += wj[i + b];
  for (int b = 0; b < 8; ++b) out[b] = s[b];
#endif
}

void window_sums(const double* w, int m, int h, double* aw) {
  int batch = 8;
  void (*one_batch)(const double*, int, double*) = window_batch8;
#ifdef KELVARA_WINDOW_AVX2
  static const bool wide = __builtin_cpu_supports("avx2");
  if (wide && m >= 16) {
    batch = 16;
    one_batch = window_batch16;
  }
#endif
  if (m < batch) {
    for (int j = 0; j < m; ++j) {
      double sum = 0.0;
      for (int i = 0; i < h; ++i) sum += w[j + i];
      aw[j] = sum;
    }
    return;
  }
  // All windows of a long sample cost (m * h) additions, minutes for a
  // million values: poll for an interrupt about every 2^24 additions.
  const long batches_per_poll = std::max(1L, (1L << 24) / (static_cast<long>(h) * batch));
  const int full = m / batch;  // whole batches; a last one overlaps them
  if (host::threads() > 1 && full >= 2 && static_cast<long>(m) * h >= (1L << 22)) {
    // Many windows: runs of batches on the call's threads.  Each sum is
    // formed by the same additions whichever thread forms it.  (Runs of
    // about an eighth: a thread that starts late still takes its share.)
    const int per_run =
        static_cast<int>(std::max<long>(1, std::min<long>(batches_per_poll, full / 8)));
    host::parallel_for((full + per_run - 1) / per_run, [&](int r) {
      const int b1 = std::min(full, (r + 1) * per_run);
      for (int b = r * per_run; b < b1; ++b) one_batch(w + b * batch, h, aw + b * batch);
    });
    if (full * batch < m) one_batch(w + m - batch, h, aw + m - batch);
    return;
  }
  long batches = 0;
  int j = 0;
  for (; j + batch <= m; j += batch) {
    if (++batches % batches_per_poll == 0) host::check_interrupt();
    one_batch(w + j, h, aw + j);
  }
  if (j < m) one_batch(w + m - batch, h, aw + m - batch);
}

}  // namespace

extern "C" {

// ---- random subsets and combinatorics ------------------------------------

void rfrangen_(const int* n, const int* nsel, int* index) {
  const int nn = *n, ns = *nsel;
  // Rejection sampling cannot finish when more cases are asked for than exist.
  if (ns > nn) host::fail("cannot draw %d distinct cases out of %d", ns, nn);
  for (int i = 0; i < ns; ++i) {
    for (;;) {
      const int num = draw_rank(nn);
      bool seen = false;
      for (int j = 0; j < i; ++j) {
        if (index[j] == num) {
          seen = true;
          break;
        }
      }
      if (!seen) {
        index[i] = num;
        break;
      }
    }
  }
}

void rfrdraw_(int* a, const int* n, const int* /*ntot*/, const int* mini,
              const int* ngroup, const int* /*kmini*/) {
  int m = 0;
  for (int k = 1; k <= *ngroup; ++k) {
    for (int s = 0; s < mini[k - 1]; ++s) {
      insert_by_rank(a, 2, m, draw_rank(*n - m), k);
      ++m;
    }
  }
}

void prdraw_(int* a, const int* pnsel, const int* nn) {
  const int m = *pnsel;
  // With every case already drawn there is none left to add.
  if (m >= *nn) host::fail("cannot add a case to a subset of all %d cases", *nn);
  insert_by_rank(a, 1, m, draw_rank(*nn - m), 0);
}

void rfgenpn_(const int* n, const int* nsel, int* index) {
  const int ns = *nsel;
  if (ns < 1) return;
  int k = ns;
  ++index[k - 1];
  while (k > 1 && index[k - 1] > *n - (ns - k)) {
    --k;
    ++index[k - 1];
    for (int i = k + 1; i <= ns; ++i) index[i - 1] = index[i - 2] + 1;
  }
}

int rfncomb_(const int* k, const int* n) {
  double comb = 1.0;
  for (int j = 1; j <= *k; ++j) {
    // Both operands pass through single precision: exact below 2^24, and
    // above it the rounded count stays the one that fixes how many subsets
    // the plan enumerates.
    const double num = static_cast<float>(*n - j + 1);
    const double den = static_cast<float>(*k - j + 1);
    comb = comb * (num / den);
  }
  if (comb > 2147483647.0) {
    comb = 2147483647.0;
    host::dblepr("** too many combinations; using max.integer instead:", &comb, 1);
  }
  return static_cast<int>(comb + 0.5);
}

int replow_(const int* k) {
  static const int limit[6] = {500, 50, 22, 17, 15, 14};
  return (*k >= 1 && *k <= 6) ? limit[*k - 1] : 0;
}

int rfodd_(const int* n) { return (*n % 2) != 0; }

// ---- sorting and order statistics -------------------------------------------
// The sorted order of these keys does not depend on the method (equal keys
// are indistinguishable, but for the sign of a zero), so an O(n log n) sort
// replaces the halving-gap Shell sort, whose cost grows much faster inside
// every C-step.  NaN has no place in a strict weak order; an input holding one
// keeps the Shell sort's exact outcome.

void rfshsort_(double* a, const int* n) {
  const int nn = *n;
  if (nn <= 1) return;
  for (int i = 0; i < nn; ++i) {
    if (std::isnan(a[i])) {
      halving_gap_sort(a, nn);
      return;
    }
  }
  std::sort(a, a + nn);
}

void rfishsort_(int* a, const int* n) {
  if (*n > 1) std::sort(a, a + *n);
}

double rffindq_(double* aw, const int* ncas, const int* k, int* index) {
  const int nc = *ncas, kk = *k;
  if (kk < 1 || kk > nc) host::fail("rffindq: order %d outside 1..%d", kk, nc);
  // 1-based views.
  double* w = aw - 1;
  int* ix = index - 1;
  for (int j = 1; j <= nc; ++j) ix[j] = j;
  if (nc <= 1) return w[kk];
  int l = 1, lr = nc;
  while (l < lr) {
    const double ax = w[kk];
    int jnc = l, j = lr;
    while (jnc <= j) {
      while (w[jnc] < ax) ++jnc;
      while (ax < w[j]) --j;
      if (jnc <= j) {
        std::swap(w[jnc], w[j]);
        std::swap(ix[jnc], ix[j]);
        ++jnc;
        --j;
      }
    }
    if (j < kk) l = jnc;
    if (kk < jnc) lr = j;
  }
  return w[kk];
}

// ---- univariate MCD ----------------------------------------------------------

void rfmcduni_(const double* w, const int* ncas, const int* jqu, double* slutn,
               double* bstd, double* aw, double* aw2, const double* factor, int* len) {
  const int h = *jqu;
  if (h < 1 || h > *ncas) host::fail("rfmcduni: coverage %d outside 1..%d", h, *ncas);
  const int m = *ncas - h + 1;
  const double dh = h;
  for (int j = 0; j < m; ++j) slutn[j] = 0.0;
  double sq = 0.0, sqmin = 0.0;
  int ndup = 1;
  // Each window sum is formed afresh, w(j) + ... + w(j+h-1) in that order;
  // only the sum of squares is updated.
  window_sums(w, m, h, aw);
  for (int i = 0; i < h; ++i) sq += w[i] * w[i];
  for (int j = 0; j < m; ++j) {
    const double sum = aw[j];
    aw2[j] = sum * sum / dh;
    if (j == 0) {
      sq -= aw2[0];
      sqmin = sq;
      slutn[0] = aw[0];
      *len = 1;
    } else {
      const double win = w[j + h - 1], wout = w[j - 1];
      sq = ((win * win + (sq - wout * wout)) - aw2[j]) + aw2[j - 1];
      if (sq < sqmin) {
        ndup = 1;
        sqmin = sq;
        slutn[0] = aw[j];
        *len = j + 1;
      } else if (sq == sqmin) {
        ++ndup;
        slutn[ndup - 1] = aw[j];
      }
    }
  }
  slutn[0] = slutn[(ndup + 1) / 2 - 1] / dh;
  // The running sum of squares can round below zero when a window is
  // (nearly) constant; its spread is then 0, not NaN.
  *bstd = *factor * std::sqrt(std::max(sqmin, 0.0) / dh);
}

namespace {

// The robust location and spread of the R layer of v[0..m), with w (m
// values) and work as work: the median (R's median, so the mean of two middle
// values is R's mean), the median absolute deviation, else the mean absolute
// deviation (summed in order as R's mean() sums), else |median|.  Returns
// false, computing nothing, when a value is not finite: R's median of NaN is
// NA, which the R layer must meet itself.  Finite values give no NaN below (a
// difference may overflow to Inf, which orders and sums as in R).
bool robust_spread(const double* v, long m, double* w, std::vector<double>& work,
                   double* loc, double* spread) {
  for (long k = 0; k < m; ++k)
    if (!std::isfinite(v[k])) return false;
  const double c = kelvara::r_median(v, m, work);
  for (long k = 0; k < m; ++k) w[k] = std::fabs(v[k] - c);
  double s = kelvara::r_median(w, m, work);
  if (!(s > 0)) s = kelvara::r_mean(w, m);
  if (!(s > 0)) s = std::fabs(c);
  *loc = c;
  *spread = s;
  return true;
}

}  // namespace

// The units of the standardisation: loc (median), spread and status of the
// columns of x (n x p) but column `skip` (1-based; 0: none) and, when
// *has_y, of y (n values; its entry is p + 1), on the rows `rows` (m of
// them, 1-based; when m == n every row in order, and rows is not read),
// from the list(x, y, rows) data.  Each column's sample is gathered by the
// thread that measures it.  status 0: measured; 1: a value is not finite
// (left to the R layer); 2: not measured.
extern "C" void kv_sample_spreads(const void* data, const int* n, const int* p,
                                  const int* m, const int* has_y, const int* skip,
                                  double* loc, double* spread, int* status) {
  host::run_entry([&] {
    const long nn = *n, mm = *m;
    const int pp = *p;
    if (nn < 0 || pp < 0 || mm < 0 || mm > nn)
      host::fail("kv_sample_spreads: invalid dimensions");
    const double* x = host::shared_doubles(
        data, 0, static_cast<std::size_t>(nn) * static_cast<std::size_t>(pp),
        "the design");
    const double* y = host::shared_doubles(
        data, 1, *has_y != 0 ? static_cast<std::size_t>(nn) : 0, "the response");
    const int* rows = nullptr;
    if (mm < nn) {
      rows = host::shared_ints(data, 2, static_cast<std::size_t>(mm), "the sample rows");
      for (long k = 0; k < mm; ++k)
        if (rows[k] < 1 || rows[k] > nn)
          host::fail("kv_sample_spreads: a row out of range");
    }
    const int tasks = pp + (*has_y != 0);
    if (*has_y == 0) status[pp] = 2;
    auto measure = [&](int j) {
      status[j] = 2;
      if (j == *skip - 1) return;
      status[j] = 1;
      if (mm == 0) return;
      const double* col = j < pp ? x + static_cast<std::size_t>(j) * nn : y;
      std::vector<double> v, w(static_cast<std::size_t>(mm)), work;
      if (rows) {
        v.resize(static_cast<std::size_t>(mm));
        for (long k = 0; k < mm; ++k) v[k] = col[rows[k] - 1];
        col = v.data();
      }
      if (robust_spread(col, mm, w.data(), work, loc + j, spread + j)) status[j] = 0;
    };
    // About 2^15 values are worth waking a second thread for.
    if (mm * tasks >= (1L << 15)) {
      host::parallel_for(tasks, measure);
    } else {
      for (int j = 0; j < tasks; ++j) measure(j);
    }
  });
}

// Whether every value of a double vector is finite, by fixed blocks on the
// call's threads (the vector read in place: data = list(v)).
void kv_all_finite(void* data, double* len, int* finite) {
  host::run_entry([&] {
    if (!(*len >= 0)) host::fail("kv_all_finite: invalid length");
    const std::size_t m = static_cast<std::size_t>(*len);
    const double* v = host::shared_doubles(data, 0, m, "kv_all_finite: the vector");
    constexpr std::size_t block = 1 << 16;
    const std::size_t nblock = (m + block - 1) / block;
    if (nblock > static_cast<std::size_t>(std::numeric_limits<int>::max()))
      host::fail("kv_all_finite: vector too long");
    std::vector<char> ok(nblock, 1);
    host::parallel_chunks(static_cast<int>(nblock), [&](int b) {
      const std::size_t lo = b * block, hi = std::min(m, lo + block);
      bool all = true;
      for (std::size_t i = lo; i < hi; ++i) all &= std::isfinite(v[i]);
      ok[b] = all;
    }, 2);
    *finite = std::find(ok.begin(), ok.end(), 0) == ok.end();
  });
}

void kv_threads(int* used, int* openmp) {
  kelvara::host::run_entry([&] {
    *used = kelvara::host::threads();
    *openmp = kelvara::host::openmp() ? 1 : 0;
  });
}

}  // extern "C"
