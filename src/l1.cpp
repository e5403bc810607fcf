#include "l1.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

#include "host.h"
#include "utilities.h"

namespace kelvara {

namespace {

// Improvements smaller than this (absolute) are not improvements.
constexpr double improvement_tol = 1e-10;
// Start values of the searches for the entering column and the leaving row.
constexpr double stage1_start = -1.0;
constexpr double stage2_start = -3.401e38;
constexpr double ratio_start = 3.401e38;

// The candidate rows of one simplex iteration, in the order in which the
// leaving-row search scans them.  The search keeps a running best that a
// candidate replaces only when its ratio is smaller by more than 1e-10, and
// a chosen candidate leaves the list with the last one taking its place, so
// ties are decided by that order.  Scanning the whole list for every
// pass-through vertex costs O(n) each; instead the ratios sit in a heap, and
// only the cluster of the smallest ratios (neighbours closer than 1e-9) is
// scanned in list order: any candidate outside the cluster exceeds the
// cluster's largest ratio by more than 2e-10, so whichever such candidate
// the full scan holds as best when it reaches the cluster, the first cluster
// member replaces it, and none of them can replace a cluster member.  The
// full scan and the cluster scan therefore choose the same row.
class candidate_rows {
 public:
  explicit candidate_rows(int n)
      : ratio_(n), row_(n), at_(n), pos_(n), heap_(), cluster_() {
    heap_.reserve(n);
  }

  void clear() {
    count_ = 0;
    heap_.clear();
  }

  void add(double ratio, int row) {
    const int id = count_++;
    ratio_[id] = ratio;
    row_[id] = row;
    at_[id] = id;
    pos_[id] = id;
    // A NaN ratio never wins the search; it stays in the list only.
    if (!std::isnan(ratio)) heap_.push_back(keyed{ratio, id});
  }

  void seal() { std::make_heap(heap_.begin(), heap_.end(), later); }

  // Takes the leaving row out of the list and returns it; 0 when the list is
  // empty, -1 when only candidates without a usable ratio remain.
  int take() {
    if (count_ == 0) return 0;
    if (heap_.empty()) return -1;
    cluster_.clear();
    double last = pop();
    cluster_.push_back(last_id_);
    while (!heap_.empty() && heap_.front().ratio - last <= 1e-9) {
      last = pop();
      cluster_.push_back(last_id_);
      // Ties can make a cluster of most of the rows.
      if ((cluster_.size() & 4095u) == 0) host::check_interrupt();
    }
    std::sort(cluster_.begin(), cluster_.end(),
              [this](int a, int b) { return pos_[a] < pos_[b]; });
    double best = ratio_start;
    int chosen = -1;
    for (int id : cluster_)
      if (ratio_[id] < best - improvement_tol) {
        best = ratio_[id];
        chosen = id;
      }
    if (chosen < 0) {
      // Every ratio is at or beyond the search's start value: the search
      // would choose nothing.  Take the smallest, first in list order.
      chosen = cluster_.front();
      for (int id : cluster_)
        if (ratio_[id] < ratio_[chosen]) chosen = id;
    }
    if (!std::isfinite(ratio_[chosen])) return -1;
    for (int id : cluster_)
      if (id != chosen) {
        heap_.push_back(keyed{ratio_[id], id});
        std::push_heap(heap_.begin(), heap_.end(), later);
      }
    const int p = pos_[chosen];
    const int moved = at_[count_ - 1];
    at_[p] = moved;
    pos_[moved] = p;
    --count_;
    return row_[chosen];
  }

 private:
  // Heap entries carry their ratio: comparisons then read contiguous memory.
  struct keyed {
    double ratio;
    int id;
  };
  struct later_cmp {
    bool operator()(const keyed& a, const keyed& b) const {
      return a.ratio > b.ratio || (a.ratio == b.ratio && a.id > b.id);
    }
  };
  static constexpr later_cmp later{};

  double pop() {
    std::pop_heap(heap_.begin(), heap_.end(), later);
    last_id_ = heap_.back().id;
    heap_.pop_back();
    return ratio_[last_id_];
  }

  std::vector<double> ratio_;
  std::vector<int> row_;
  std::vector<int> at_;   // at_[position] = candidate
  std::vector<int> pos_;  // pos_[candidate] = position
  std::vector<keyed> heap_;
  std::vector<int> cluster_;
  int count_ = 0;
  int last_id_ = 0;
};

}  // namespace

namespace {

// The simplex tableau of one L1 fit on the caller's arrays, with 1-based
// access: X(i, j) the design (then the tableau), TH the current values of
// the basic variables, S1 the row labels (signed by orientation), S2 the
// coefficients as they are read out, S3 the marginal costs and S4 the
// column labels.  Columns kl..np and rows kr..n are still free.
struct l1_tableau {
  int n, np;
  std::ptrdiff_t mdx;
  double tol;
  double* x;
  double *Y, *TH, *RS, *S1, *S2, *S3, *S4;
  int kl = 1, kr = 1;

  double& X(int i, int j) const { return x[(i - 1) + (j - 1) * mdx]; }
  void negate_column(int j) const {
    for (int i = 1; i <= n; ++i) X(i, j) = -X(i, j);
  }
};

// Orients every row so that its response is not negative, and sets the
// marginal costs to the column sums.
void l1_start(l1_tableau& t) {
  for (int j = 1; j <= t.np; ++j) {
    t.S2[j] = 0.0;
    t.S4[j] = j;
  }
  for (int i = 1; i <= t.n; ++i) {
    t.TH[i] = t.Y[i];
    t.S1[i] = t.np + i;
    if (!(t.Y[i] >= 0.0)) {
      for (int j = 1; j <= t.np; ++j) t.X(i, j) = -t.X(i, j);
      t.TH[i] = -t.TH[i];
      t.S1[i] = -t.S1[i];
    }
  }
  for (int j = 1; j <= t.np; ++j) {
    double s = 0.0;
    for (int i = 1; i <= t.n; ++i) s += t.X(i, j);
    t.S3[j] = s;
  }
}

// The entering column of the first stage (0 when the costs are NaN).
int l1_enter_stage1(l1_tableau& t) {
  int in = 0;
  double best = stage1_start;
  for (int j = t.kl; j <= t.np; ++j) {
    if (!(std::fabs(t.S4[j]) <= t.np)) continue;
    const double a = std::fabs(t.S3[j]);
    if (a > best + improvement_tol) {
      best = a;
      in = j;
    }
  }
  if (in != 0 && t.S3[in] < 0.0) {
    t.negate_column(in);
    t.S3[in] = -t.S3[in];
    t.S4[in] = -t.S4[in];
  }
  return in;
}

// The entering column of the second stage; 0 when the fit is optimal.
int l1_enter_stage2(l1_tableau& t) {
  int in = 0;
  double best = stage2_start;
  for (int j = t.kl; j <= t.np; ++j) {
    const double c = t.S3[j];
    double d;
    if (c >= 0.0)
      d = c;
    else if (c <= -2.0)
      d = -c - 2.0;
    else
      continue;
    if (d > best + improvement_tol) {
      best = d;
      in = j;
    }
  }
  if (t.kl > t.np || best <= t.tol) return 0;
  if (t.S3[in] <= 0.0) {
    t.negate_column(in);
    t.S4[in] = -t.S4[in];
    t.S3[in] = -2.0 - t.S3[in];
  }
  return in;
}

// The leaving row for column `in`, passing through the vertices where the
// objective still decreases: 0 when there is none, -1 when only candidates
// without a usable ratio remain.
int l1_leave(l1_tableau& t, candidate_rows& candidates, int in) {
  candidates.clear();
  for (int i = t.kr; i <= t.n; ++i)
    if (t.X(i, in) > t.tol) candidates.add(t.TH[i] / t.X(i, in), i);
  candidates.seal();
  int out = 0;
  for (unsigned passed = 1;; ++passed) {
    // A pivot may pass through very many vertices.
    if ((passed & 1023u) == 0) host::check_interrupt();
    out = candidates.take();
    if (out <= 0) break;
    const double pivot = t.X(out, in);
    if (!(t.S3[in] - 2.0 * pivot > t.tol)) break;
    for (int j = t.kl; j <= t.np; ++j) {
      t.S3[j] = t.S3[j] - 2.0 * t.X(out, j);
      t.X(out, j) = -t.X(out, j);
    }
    t.S1[out] = -t.S1[out];
    t.TH[out] = -t.TH[out];
  }
  return out;
}

// Column `in` is linearly dependent on the columns in the basis: it leaves
// the free columns.
void l1_drop_column(l1_tableau& t, int in) {
  for (int i = 1; i <= t.n; ++i) rlichgbi_(&t.X(i, t.kl), &t.X(i, in));
  rlichgbi_(&t.S3[t.kl], &t.S3[in]);
  rlichgbi_(&t.S4[t.kl], &t.S4[in]);
  ++t.kl;
}

// The exchange step on x(out, in); in the first stage the row leaves the
// free rows.
void l1_pivot(l1_tableau& t, int in, int out, int stage) {
  const double pivot = t.X(out, in);
  const int n = t.n;
  for (int j = t.kl; j <= t.np; ++j)
    if (j != in) t.X(out, j) = t.X(out, j) / pivot;
  t.TH[out] = t.TH[out] / pivot;
  for (int j = t.kl; j <= t.np; ++j) {
    if (j == in) continue;
    host::check_interrupt();  // a column costs O(n)
    t.S3[j] = t.S3[j] - t.X(out, j) * t.S3[in];
    rlcolbi_(&t.X(1, j), &t.X(1, in), &t.X(out, j), &n, &out);
  }
  for (int i = 1; i <= n; ++i) {
    if (i == out) continue;
    t.TH[i] = t.TH[i] - t.X(i, in) * t.TH[out];
    t.X(i, in) = -t.X(i, in) / pivot;
  }
  t.X(out, in) = 1.0 / pivot;
  t.S3[in] = -t.S3[in] / pivot;
  rlichgbi_(&t.S1[out], &t.S4[in]);
  if (stage == 1) {
    for (int j = t.kl; j <= t.np; ++j) rlichgbi_(&t.X(out, j), &t.X(t.kr, j));
    rlichgbi_(&t.TH[out], &t.TH[t.kr]);
    rlichgbi_(&t.S1[out], &t.S1[t.kr]);
    ++t.kr;
  }
}

// The status of an optimal tableau, after orienting its basic rows.
int l1_optimal_status(l1_tableau& t) {
  for (int i = 1; i < t.kr; ++i) {
    if (!(t.TH[i] < 0.0)) continue;
    for (int j = t.kl; j <= t.np; ++j) t.X(i, j) = -t.X(i, j);
    t.TH[i] = -t.TH[i];
    t.S1[i] = -t.S1[i];
  }
  bool unique = t.kl == 1;
  for (int j = 1; j <= t.np && unique; ++j) {
    const double a = std::fabs(t.S3[j]);
    unique = t.tol < a && t.tol < 2.0 - a;
  }
  return unique ? L1_OPTIMAL_UNIQUE : L1_OPTIMAL;
}

// Reads the coefficients into theta(1..np), the residuals into rs and their
// absolute values into y.
void l1_read_out(l1_tableau& t) {
  for (int i = 1; i <= t.n; ++i) {
    const int l = static_cast<int>(std::fabs(t.S1[i]));
    const double v = t.S1[i] < 0.0 ? -t.TH[i] : t.TH[i];
    if (i < t.kr) {
      if (l >= 1 && l <= t.np) t.S2[l] = v;
    } else if (l > t.np && l <= t.np + t.n) {
      t.RS[l - t.np] = v;
    }
  }
  for (int j = 1; j <= t.np; ++j) t.TH[j] = t.S2[j];
  for (int i = 1; i <= t.n; ++i) t.Y[i] = std::fabs(t.RS[i]);
}

}  // namespace

void rllarsbi(double* x, double* y, const int* pn, const int* pnp, const int* pmdx,
              const int* /* mdt: not used */, const double* ptol, int* nit, int* k,
              int* kode, double* sigma, double* theta, double* rs, double* sc1,
              double* sc2, double* sc3, double* sc4, const double* bet0) {
  l1_tableau t;
  t.n = *pn;
  t.np = *pnp;
  t.mdx = *pmdx;
  t.tol = *ptol;
  t.x = x;
  t.Y = y - 1;
  t.TH = theta - 1;
  t.RS = rs - 1;
  t.S1 = sc1 - 1;
  t.S2 = sc2 - 1;
  t.S3 = sc3 - 1;
  t.S4 = sc4 - 1;
  l1_start(t);

  int iterations = 0, stage = 1;
  bool optimal = false;
  *kode = L1_PRECISION_LOST;
  candidate_rows candidates(t.n > 0 ? t.n : 1);

  for (;;) {
    // A pivot costs O(n np): polling once per pivot answers an interrupt
    // promptly on any design.
    host::check_interrupt();
    if (stage == 1 && iterations + t.kl - 1 == t.np) stage = 2;
    const int in = stage == 1 ? l1_enter_stage1(t) : l1_enter_stage2(t);
    if (in == 0) {
      // No column can enter: optimal in the second stage; in the first only
      // when the costs are NaN (overflow).
      optimal = stage == 2;
      break;
    }
    const int out = l1_leave(t, candidates, in);
    if (out < 0) break;  // only unusable ratios remain
    if (out == 0) {
      if (stage == 2) break;
      l1_drop_column(t, in);
      continue;
    }
    l1_pivot(t, in, out, stage);
    ++iterations;
  }

  for (int i = 1; i <= t.n; ++i) t.RS[i] = 0.0;
  if (optimal) *kode = l1_optimal_status(t);
  l1_read_out(t);
  *nit = iterations;
  *k = t.np + 1 - t.kl;
  const int half = t.n / 2 + 1;
  double kth = 0.0;
  rlstorm2_(y, pn, &half, &kth);
  *sigma = kth / *bet0;
}

}  // namespace kelvara

extern "C" {

void rllarsbi_(double* x, double* y, int* n, int* np, int* mdx, int* mdt, double* tol,
               int* nit, int* k, int* kode, double* sigma, double* theta, double* rs,
               double* sc1, double* sc2, double* sc3, double* sc4, double* bet0) {
  kelvara::host::run_entry([&] {
    kelvara::rllarsbi(x, y, n, np, mdx, mdt, tol, nit, k, kode, sigma, theta, rs, sc1,
                      sc2, sc3, sc4, bet0);
  });
}

void rlichgbi_(double* a, double* b) {
  const double t = *a;
  *a = *b;
  *b = t;
}

void rlcolbi_(double* col, const double* pcol, const double* s, const int* n,
              const int* ip) {
  const double f = *s;
  const int skip = *ip - 1;
  for (int i = 0; i < *n; ++i)
    if (i != skip) col[i] = col[i] - pcol[i] * f;
}

// The partition-exchange selection of the shared utilities, 1-based k.
void rlstorm2_(double* a, const int* n, const int* k, double* result) {
  *result = *n < 1 ? 0.0 : kelvara::kthplace(a, *n, *k);  // nothing to select from
}

}  // extern "C"
