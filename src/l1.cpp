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

void rllarsbi(double* x, double* y, const int* pn, const int* pnp, const int* pmdx,
              const int* /* mdt: not used */, const double* ptol, int* nit, int* k,
              int* kode, double* sigma, double* theta, double* rs, double* sc1,
              double* sc2, double* sc3, double* sc4, const double* bet0) {
  const int n = *pn, np = *pnp;
  const std::ptrdiff_t mdx = *pmdx;
  const double tol = *ptol;
  // 1-based views of the caller's arrays.
  auto X = [x, mdx](int i, int j) -> double& { return x[(i - 1) + (j - 1) * mdx]; };
  double* const Y = y - 1;
  double* const TH = theta - 1;
  double* const RS = rs - 1;
  double* const S1 = sc1 - 1;
  double* const S2 = sc2 - 1;
  double* const S3 = sc3 - 1;
  double* const S4 = sc4 - 1;
  auto negate_column = [&](int j) {
    for (int i = 1; i <= n; ++i) X(i, j) = -X(i, j);
  };

  for (int j = 1; j <= np; ++j) {
    S2[j] = 0.0;
    S4[j] = j;
  }
  for (int i = 1; i <= n; ++i) {
    TH[i] = Y[i];
    S1[i] = np + i;
    if (!(Y[i] >= 0.0)) {
      for (int j = 1; j <= np; ++j) X(i, j) = -X(i, j);
      TH[i] = -TH[i];
      S1[i] = -S1[i];
    }
  }
  for (int j = 1; j <= np; ++j) {
    double s = 0.0;
    for (int i = 1; i <= n; ++i) s += X(i, j);
    S3[j] = s;
  }

  int kl = 1, kr = 1, iterations = 0, stage = 1;
  bool optimal = false;
  *kode = L1_PRECISION_LOST;
  candidate_rows candidates(n > 0 ? n : 1);

  for (;;) {
    // A pivot costs O(n np): polling once per pivot answers an interrupt
    // promptly on any design.
    host::check_interrupt();
    if (stage == 1 && iterations + kl - 1 == np) stage = 2;

    // Entering column.
    int in = 0;
    if (stage == 1) {
      double best = stage1_start;
      for (int j = kl; j <= np; ++j) {
        if (!(std::fabs(S4[j]) <= np)) continue;
        const double a = std::fabs(S3[j]);
        if (a > best + improvement_tol) {
          best = a;
          in = j;
        }
      }
      // No column can be chosen only when the costs are NaN (overflow).
      if (in == 0) break;
      if (S3[in] < 0.0) {
        negate_column(in);
        S3[in] = -S3[in];
        S4[in] = -S4[in];
      }
    } else {
      double best = stage2_start;
      for (int j = kl; j <= np; ++j) {
        const double c = S3[j];
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
      if (kl > np || best <= tol) {
        optimal = true;
        break;
      }
      if (S3[in] <= 0.0) {
        negate_column(in);
        S4[in] = -S4[in];
        S3[in] = -2.0 - S3[in];
      }
    }

    // Candidate rows and their ratios.
    candidates.clear();
    for (int i = kr; i <= n; ++i)
      if (X(i, in) > tol) candidates.add(TH[i] / X(i, in), i);
    candidates.seal();

    // Leaving row, passing through the vertices where the objective still
    // decreases.
    int out = 0;
    double pivot = 0.0;
    for (;;) {
      out = candidates.take();
      if (out <= 0) break;
      pivot = X(out, in);
      if (!(S3[in] - 2.0 * pivot > tol)) break;
      for (int j = kl; j <= np; ++j) {
        S3[j] = S3[j] - 2.0 * X(out, j);
        X(out, j) = -X(out, j);
      }
      S1[out] = -S1[out];
      TH[out] = -TH[out];
    }
    if (out < 0) break;  // only unusable ratios remain
    if (out == 0) {
      if (stage == 2) break;
      // Column `in` is linearly dependent on the columns in the basis.
      for (int i = 1; i <= n; ++i) rlichgbi_(&X(i, kl), &X(i, in));
      rlichgbi_(&S3[kl], &S3[in]);
      rlichgbi_(&S4[kl], &S4[in]);
      ++kl;
      continue;
    }

    // Pivot on x(out, in).
    for (int j = kl; j <= np; ++j)
      if (j != in) X(out, j) = X(out, j) / pivot;
    TH[out] = TH[out] / pivot;
    for (int j = kl; j <= np; ++j) {
      if (j == in) continue;
      S3[j] = S3[j] - X(out, j) * S3[in];
      rlcolbi_(&X(1, j), &X(1, in), &X(out, j), pn, &out);
    }
    for (int i = 1; i <= n; ++i) {
      if (i == out) continue;
      TH[i] = TH[i] - X(i, in) * TH[out];
      X(i, in) = -X(i, in) / pivot;
    }
    ++iterations;
    X(out, in) = 1.0 / pivot;
    S3[in] = -S3[in] / pivot;
    rlichgbi_(&S1[out], &S4[in]);
    if (stage == 1) {
      for (int j = kl; j <= np; ++j) rlichgbi_(&X(out, j), &X(kr, j));
      rlichgbi_(&TH[out], &TH[kr]);
      rlichgbi_(&S1[out], &S1[kr]);
      ++kr;
    }
  }

  for (int i = 1; i <= n; ++i) RS[i] = 0.0;
  if (optimal) {
    for (int i = 1; i < kr; ++i) {
      if (!(TH[i] < 0.0)) continue;
      for (int j = kl; j <= np; ++j) X(i, j) = -X(i, j);
      TH[i] = -TH[i];
      S1[i] = -S1[i];
    }
    *kode = L1_OPTIMAL;
    bool unique = kl == 1;
    for (int j = 1; j <= np && unique; ++j) {
      const double a = std::fabs(S3[j]);
      unique = tol < a && tol < 2.0 - a;
    }
    if (unique) *kode = L1_OPTIMAL_UNIQUE;
  }

  for (int i = 1; i <= n; ++i) {
    const int l = static_cast<int>(std::fabs(S1[i]));
    const double v = S1[i] < 0.0 ? -TH[i] : TH[i];
    if (i < kr) {
      if (l >= 1 && l <= np) S2[l] = v;
    } else if (l > np && l <= np + n) {
      RS[l - np] = v;
    }
  }
  *nit = iterations;
  *k = np + 1 - kl;
  for (int j = 1; j <= np; ++j) TH[j] = S2[j];
  for (int i = 1; i <= n; ++i) Y[i] = std::fabs(RS[i]);
  const int half = n / 2 + 1;
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
