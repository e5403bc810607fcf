// Minimum covariance determinant (FAST-MCD) and the kernels it shares with
// least trimmed squares.  The kernels follow the conventions stated in
// mcd.h: arguments by reference, 1-based column-major arrays in the
// descriptions; the code below indexes from 0 through small helpers.
#include "mcd.h"

#define USE_FC_LEN_T
#include <R_ext/Arith.h>  // NA_INTEGER
#include <R_ext/BLAS.h>
#include <R_ext/Lapack.h>
#ifndef FCONE
#define FCONE
#endif

#include <algorithm>
#include <atomic>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "host.h"
#include "utilities.h"

namespace host = kelvara::host;

namespace {

// Tolerance below which a projection on a hyperplane counts as zero: the
// case lies on the hyperplane.
constexpr double on_plane_tol = 1e-7;

// Element operations (roughly) below which a pass over the data runs on the
// calling thread alone: waking the other threads would cost more than they
// save on a small sample.
constexpr double min_pass_work = 1 << 18;

// body(i) for i = 0..count-1, on the call's threads when `work` is worth it.
template <class F>
void pass_for(int count, double work, F&& body) {
  if (work < min_pass_work) {
    for (int i = 0; i < count; ++i) {
      host::check_interrupt();
      body(i);
    }
    return;
  }
  host::parallel_for(count, body);
}

// pass_for(count, work, body) while the calling thread first runs lead().
template <class L, class F>
void pass_for_beside(int count, double work, L&& lead, F&& body) {
  if (work < min_pass_work) {
    lead();
    pass_for(count, work, body);
    return;
  }
  host::parallel_for_beside(count, lead, body);
}

}  // namespace

extern "C" {

// ---- covariance, sweep, distance and list kernels ----------------------------

void rfcovinit_(double* a, const int* nr, const int* nc) {
  std::fill(a, a + static_cast<long>(*nr) * *nc, 0.0);
}

void rfcovcopy_(const double* a, double* b, const int* nr, const int* nc) {
  std::copy(a, a + static_cast<long>(*nr) * *nc, b);
}

void rfcovmult_(double* a, const int* nr, const int* nc, const double* fac) {
  const long len = static_cast<long>(*nr) * *nc;
  for (long i = 0; i < len; ++i) a[i] = a[i] * *fac;
}

void rfadmit_(const double* rec, const int* p, const int* p1, double* sscp) {
  const int pp = *p, ld = *p1;
  sscp[0] += 1.0;
  for (int j = 1; j <= pp; ++j) {
    sscp[j * ld] += rec[j - 1];
    sscp[j] = sscp[j * ld];
  }
  for (int j = 1; j <= pp; ++j) {
    const double rj = rec[j - 1];
    double* col = sscp + j * ld;
    for (int i = 1; i <= pp; ++i) col[i] += rec[i - 1] * rj;
  }
}

void rfcovar_(const int* m, const int* p, const int* p1, const double* sscp, double* cov,
              double* means, double* sd) {
  const int pp = *p, ld = *p1;
  const double dm = *m;
  for (int i = 1; i <= pp; ++i) {
    const double s = sscp[i * ld];
    const double f = (sscp[i + i * ld] - s * s / dm) / (dm - 1.0);
    sd[i - 1] = f > 0.0 ? std::sqrt(f) : 0.0;
    means[i - 1] = s / dm;
  }
  for (int j = 1; j <= pp; ++j) {
    for (int i = 1; i <= pp; ++i) {
      cov[(i - 1) + (j - 1) * pp] =
          (sscp[i + j * ld] - dm * means[i - 1] * means[j - 1]) / (dm - 1.0);
    }
  }
}

void rfcorrel_(const int* p, const double* a, double* b, double* sd) {
  const int pp = *p;
  for (int j = 0; j < pp; ++j) sd[j] = 1.0 / std::sqrt(a[j + j * pp]);
  for (int j = 0; j < pp; ++j) {
    for (int i = 0; i < pp; ++i) {
      b[i + j * pp] = (i == j) ? 1.0 : a[i + j * pp] * sd[i] * sd[j];
    }
  }
}

void rfcovsweep_(double* a, const int* p, const int* k) {
  const int pp = *p, kk = *k - 1;
  const double d = a[kk + kk * pp];
  for (int j = 0; j < pp; ++j) a[kk + j * pp] /= d;
  for (int i = 0; i < pp; ++i) {
    if (i == kk) continue;
    const double b = a[i + kk * pp];
    for (int j = 0; j < pp; ++j) a[i + j * pp] -= b * a[kk + j * pp];
    a[i + kk * pp] = -b / d;
  }
  a[kk + kk * pp] = 1.0 / d;
}

double rfmahad_(const double* rec, const int* p, const double* means,
                const double* sigma) {
  const int pp = *p;
  double t = 0.0;
  for (int j = 0; j < pp; ++j) {
    const double dj = rec[j] - means[j];
    for (int k = 0; k < pp; ++k) t += dj * (rec[k] - means[k]) * sigma[j + k * pp];
  }
  return t;
}

void rfdis_(const double* da, const double* z, double* ndist, const int* nm,
            const int* /*nv*/, const int* nn, const int* p, const double* means) {
  const long ld = *nm;
  for (int i = 0; i < *nn; ++i) {
    double t = 0.0;
    for (int j = 0; j < *p; ++j) t += z[j] * (da[i + j * ld] - means[j]);
    ndist[i] = std::fabs(t);
  }
}

void transfo_(double* cov, double* means, double* dat, const double* med,
              const double* mad, const int* p, const int* n) {
  const int pp = *p;
  const long nn = *n;
  for (int j = 0; j < pp; ++j) {
    means[j] = means[j] * mad[j] + med[j];
    for (int k = 0; k < pp; ++k) cov[j + k * pp] = cov[j + k * pp] * mad[j] * mad[k];
    double* col = dat + j * nn;
    for (long i = 0; i < nn; ++i) col[i] = col[i] * mad[j] + med[j];
  }
}

}  // extern "C"

namespace {

// Pushes (means, cov) onto the first row of a 10-entry block starting at row
// `first` (0-based) of arrays with leading dimension `rows`, and its keys
// into slot `slot` (0-based) of keys(10, 2, *).
void push_list_entry(int p, double* covs, double* centers, int rows, int first, int slot,
                     const double* cov, const double* means, int trial, double* keys,
                     int count) {
  const long ld = rows;
  double* key = keys + 20L * slot;
  for (int k = 9; k >= 1; --k) {
    const long to = first + k, from = first + k - 1;
    for (long c = 0; c < static_cast<long>(p) * p; ++c)
      covs[to + c * ld] = covs[from + c * ld];
    for (int c = 0; c < p; ++c) centers[to + c * ld] = centers[from + c * ld];
    key[k] = key[k - 1];
    key[k + 10] = key[k + 9];
  }
  for (int c = 0; c < p; ++c) centers[first + c * ld] = means[c];
  // Element (r, c) goes to column (r - 1) * p + c.
  for (int r = 0; r < p; ++r) {
    for (int c = 0; c < p; ++c)
      covs[first + (static_cast<long>(r) * p + c) * ld] = cov[r + c * p];
  }
  key[0] = trial;
  key[10] = count;
}

}  // namespace

extern "C" {

void rfstore2_(const int* p, double* covs, double* centers, const int* /*d1*/,
               const int* /*d2*/, const int* /*d3*/, const double* cov,
               const double* means, const int* i, double* keys, const int* count) {
  push_list_entry(*p, covs, centers, 10, 0, 0, cov, means, *i, keys, *count);
}

void rfstore1_(const int* p, double* covs, double* centers, const int* /*d1*/,
               const int* /*d2*/, const int* /*d3*/, const double* cov,
               const double* means, const int* i, const int* rows, const int* g,
               double* keys, const int* count) {
  push_list_entry(*p, covs, centers, *rows, (*g - 1) * 10, *g - 1, cov, means, *i, keys,
                  *count);
}

void rfexact_(int* count, const int* nn, const double* ndist, const int* /*p1*/,
              const int* p, double* sscp, double* rec, const double* dat, double* cov,
              double* means, double* sd, const int* /*d*/, int* flags) {
  const int pp = *p, q = pp + 1;
  const long ld = *nn;
  rfcovinit_(sscp, &q, &q);
  *count = 0;
  for (long i = 0; i < ld; ++i) {
    if (std::fabs(ndist[i]) < on_plane_tol) {
      ++*count;
      flags[i] = 1;
      for (int j = 0; j < pp; ++j) rec[j] = dat[i + j * ld];
      rfadmit_(rec, p, &q, sscp);
    } else {
      flags[i] = 0;
    }
  }
  rfcovar_(count, p, &q, sscp, cov, means, sd);
}

// ---- symmetric eigen-decomposition ---------------------------------------------

void rs_(const int* nm, const int* n, const double* a, double* w, const int* matz,
         double* z, double* /*fv1*/, double* /*fv2*/, int* ierr) {
  const int nn = *n, lda = *nm;
  *ierr = 0;
  if (nn <= 0) return;
  std::vector<double> work_a(static_cast<size_t>(nn) * nn);
  for (int j = 0; j < nn; ++j)
    for (int i = 0; i < nn; ++i) work_a[i + static_cast<size_t>(j) * nn] = a[i + j * lda];
  const char jobz = *matz ? 'V' : 'N', range = 'A', uplo = 'L';
  const double vl = 0.0, vu = 0.0, abstol = 0.0;
  const int il = 1, iu = nn;
  int found = 0, info = 0, lwork = -1, liwork = -1, iwork_query = 0;
  double work_query = 0.0;
  std::vector<int> isuppz(2 * static_cast<size_t>(nn));
  std::vector<double> zz(*matz ? static_cast<size_t>(nn) * nn : 1);
  F77_CALL(dsyevr)
  (&jobz, &range, &uplo, &nn, work_a.data(), &nn, &vl, &vu, &il, &iu, &abstol, &found, w,
   zz.data(), &nn, isuppz.data(), &work_query, &lwork, &iwork_query, &liwork,
   &info FCONE FCONE FCONE);
  if (info != 0) {
    *ierr = info;
    return;
  }
  lwork = static_cast<int>(work_query);
  liwork = iwork_query;
  std::vector<double> work(std::max(1, lwork));
  std::vector<int> iwork(std::max(1, liwork));
  F77_CALL(dsyevr)
  (&jobz, &range, &uplo, &nn, work_a.data(), &nn, &vl, &vu, &il, &iu, &abstol, &found, w,
   zz.data(), &nn, isuppz.data(), work.data(), &lwork, iwork.data(), &liwork,
   &info FCONE FCONE FCONE);
  if (info != 0) {
    *ierr = info;
    return;
  }
  if (!*matz) return;
  for (int k = 0; k < nn; ++k) {
    double* col = zz.data() + static_cast<size_t>(k) * nn;
    int big = 0;
    for (int i = 1; i < nn; ++i)
      if (std::fabs(col[i]) > std::fabs(col[big])) big = i;
    const double sgn = col[big] < 0.0 ? -1.0 : 1.0;
    for (int i = 0; i < nn; ++i) z[i + k * lda] = sgn * col[i];
  }
}

}  // extern "C"

// ---- the FAST-MCD driver -------------------------------------------------------

namespace {

using kelvara::long_selection;

constexpr double empty_entry = 1000000.0;  // marks an unused list position
constexpr double no_objective = 1e26;      // key of an empty list position
constexpr int list_len = kelvara::best_list_len;
using kelvara::max_groups;
constexpr int group_list_len = kelvara::group_list_len;  // the lists of all groups
// Keys of every list: (trial, objective) per entry, one block per group.
constexpr int n_best_keys = list_len * 2 * max_groups;

enum class stage_kind { first, group, merged, final_stage };

// What a trial (or one of its steps) leads to.
enum class next_step { go_on, next_trial, list_exhausted, finished };

// The data of one stage: its rows, their number and the coverage.
struct stage_data {
  stage_kind kind;
  const double* rows;  // first element of the stage's data matrix
  long ld;             // its leading dimension
  int nn;              // number of rows in the stage
  int nhalf;           // coverage of the stage
  int kstep;           // C-steps per trial
  int g;               // current group (1-based)
};

// Arguments of rffastmcd_ and the run's own tables.
// Outputs of the search.
struct mcd_outputs {
  double *raw_cov, *raw_center;
  int* best_subset;
  double* mcd_det;
  int *weights, *exact_fit;
  double* hyperplane;
  int* n_on_plane;
  double* cons_cov;
};

// Work arrays of the search (center and cov end with the classical
// estimate when it is singular or covers all cases).
struct mcd_work {
  int *sorted_best, *index_a, *index_b;
  double *class_dist, *dist, *work_a, *work_b, *work_c, *center0, *scale0, *sd, *center,
      *best_center, *eigval, *eig_work1, *eig_work2, *row, *sscp, *cov, *corr, *cov_inv,
      *best_cov, *best_cov_inv, *eigvec, *merged_covs, *merged_centers, *group_covs,
      *group_centers, *merged_x;
};

struct fast_mcd : mcd_outputs, mcd_work {
  double* x;
  int n, p, h, krep, gs;
  double cutoff, chi_median;
  int trace;
  // Run for the package's own R code (kv_fastmcd), which reads only the
  // outputs it returns: the work arrays need not end as the .Fortran entry
  // leaves them, the classical distances and the data in data units are not
  // needed, and the order of a selected subset does not matter.
  bool internal = false;

  int p1 = 0;
  double eps = 0, percen = 0;
  bool partitioned = false, enumerate = false;
  int ngroup = 1, minigr = 0, nrep = 0;
  int group_size[max_groups] = {0, 0, 0, 0, 0};
  std::vector<int> draw_table{};   // 2 x 5 gs grouped draw
  std::vector<int> group_cases{};  // case numbers of one group
  std::vector<int> combination{};  // enumeration state of the (p+1)-subsets
  std::vector<double> normal{};    // a hyperplane normal taken from a list entry
  double best_keys[n_best_keys] = {};
  bool regular[group_list_len] = {};
  double best_objective = no_objective;
  double medi2 = 0;
  bool recorded = false;

  // ---- small helpers ----
  double& x_at(long i, int j) { return x[i + static_cast<long>(j) * n]; }
  double& key(int entry, int which, int slot) {  // all 1-based
    return best_keys[(entry - 1) + (which - 1) * list_len + (slot - 1) * 2 * list_len];
  }
  void load_row(const stage_data& s, int r, double* to) const {  // r 1-based
    for (int j = 0; j < p; ++j) to[j] = s.rows[(r - 1) + j * s.ld];
  }
  void print_int(const char* label, const int* v, int len) {
    if (trace >= 2) host::intpr(label, v, len);
  }
  void print_dbl(const char* label, const double* v, int len) {
    if (trace >= 2) host::dblepr(label, v, len);
  }

  // The arrays that one trial works in: the search's own (`own()`), or a
  // worker's while trials are evaluated in parallel.  Code that may run on a
  // worker reads the search's settings and the data but writes only here.
  struct space {
    double *row, *sscp, *cov, *center, *sd, *cov_inv, *dist, *det;
    int *index_b, *sorted_best;
    double* sel;  // work of the selection (null: none)
  };
  std::vector<double> own_sel{};
  space own() {
    double* sel = own_sel.empty() ? nullptr : own_sel.data();
    return {row, sscp, cov, center, sd, cov_inv, dist, mcd_det, index_b, sorted_best, sel};
  }

  // The cross-product matrix sscp of the m rows `list` (1-based, in list
  // order; all rows 1..m when list is null) of `data`: the same numbers as
  // rfadmit_ row by row.  Every entry is its own sum over the rows, in their
  // order, so the entries may be formed apart: each thread takes a range of
  // columns and passes over all rows.  Entry (i, j) and (j, i) add the same
  // products, so only the lower triangle is summed and then mirrored.  `row`
  // is left holding the last row, as rfadmit_'s callers leave it.
  void cross_products(const double* data, long ld, const int* list, long m, double* ss,
                      double* last_row, bool parallel) const {
    cross_products(data, ld, list, m, ss, last_row, parallel, 1, [] {});
  }
  // The same while this thread first runs lead() (beside the pass when it
  // runs on several threads, with `per_thread` column ranges per thread
  // taken by whichever thread is free).
  template <class L>
  void cross_products(const double* data, long ld, const int* list, long m, double* ss,
                      double* last_row, bool parallel, int per_thread, L&& lead) const {
    const int q = p1;
    rfcovinit_(ss, &q, &q);
    // Column 0 stands for the count and the sums (row 0 of sscp); column c
    // for the products (i, c), i = c..p.  Their costs: p + 1 and p - c + 1.
    // Each range sums in its own matrix (threads writing next to each other
    // would share cache lines) and copies its entries into ss at the end.
    auto sum_columns = [&](int c0, int c1) {
      std::vector<double> rec(p), acc(static_cast<size_t>(q) * q, 0.0);
      const int j0 = std::max(c0, 1) - 1;  // first variable the columns read
      for (long t = 0; t < m; ++t) {
        poll(t);
        const long r = list ? list[t] - 1 : t;
        for (int j = c0 == 0 ? 0 : j0; j < p; ++j) rec[j] = data[r + j * ld];
        if (c0 == 0) {
          acc[0] += 1.0;
          for (int j = 1; j <= p; ++j) acc[j * q] += rec[j - 1];
        }
        for (int c = std::max(c0, 1); c < c1; ++c) {
          const double rc = rec[c - 1];
          double* col = acc.data() + static_cast<long>(c) * q;
          for (int i = c; i <= p; ++i) col[i] += rec[i - 1] * rc;
        }
      }
      if (c0 == 0) {
        ss[0] = acc[0];
        for (int j = 1; j <= p; ++j) ss[j * q] = acc[j * q];
      }
      for (int c = std::max(c0, 1); c < c1; ++c)
        for (int i = c; i <= p; ++i) ss[i + static_cast<long>(c) * q] = acc[i + static_cast<long>(c) * q];
    };
    const double work = static_cast<double>(m) * p * p;
    const int width = parallel && work >= min_parallel_work ? host::threads() : 1;
    if (width <= 1) {
      lead();
      sum_columns(0, p + 1);
    } else {
      // Contiguous column ranges of about equal cost.
      const int parts = width * per_thread;
      std::vector<int> bounds(1, 0);
      const double total = static_cast<double>(p + 1) + p * (p + 1) / 2.0;
      double acc = 0.0;
      for (int c = 0; c <= p && static_cast<int>(bounds.size()) < parts; ++c) {
        acc += c == 0 ? p + 1 : p - c + 1;
        if (acc >= total * static_cast<double>(bounds.size()) / parts) bounds.push_back(c + 1);
      }
      if (bounds.back() != p + 1) bounds.push_back(p + 1);
      host::parallel_for_beside(static_cast<int>(bounds.size()) - 1, lead,
                                [&](int k) { sum_columns(bounds[k], bounds[k + 1]); });
    }
    for (int j = 1; j <= p; ++j) {
      ss[j] = ss[j * q];
      for (int i = j + 1; i <= p; ++i) ss[j + static_cast<long>(i) * q] = ss[i + static_cast<long>(j) * q];
    }
    if (m > 0) {
      const long r = list ? list[m - 1] - 1 : m - 1;
      for (int j = 0; j < p; ++j) last_row[j] = data[r + j * ld];
    }
  }

  // Cross products of the listed rows (1-based, in list order), then the
  // moments of those m rows.
  void moments_of(const stage_data& s, const int* list, int m, const space& w,
                  bool parallel = false) const {
    cross_products(s.rows, s.ld, list, m, w.sscp, w.row, parallel);
    rfcovar_(&m, &p, &p1, w.sscp, w.cov, w.center, w.sd);
  }
  void moments_of(const stage_data& s, const int* list, int m) {
    moments_of(s, list, m, own(), true);
  }

  // Inverse of cov by sweeping; det collects the pivots.  False when a
  // pivot falls below eps (det then holds the partial product).
  bool invert(const space& w) const {
    rfcovcopy_(w.cov, w.cov_inv, &p, &p);
    *w.det = 1.0;
    for (int j = 1; j <= p; ++j) {
      const double pivot = w.cov_inv[(j - 1) + (j - 1) * p];
      *w.det *= pivot;
      if (pivot < eps) return false;
      rfcovsweep_(w.cov_inv, &p, &j);
    }
    return true;
  }
  bool invert() { return invert(own()); }

  // rfmahad_(rec, p, means, sigma) on many cases: the differences
  // rec - means are formed once per case (into tmp, which may be rec itself)
  // instead of once per product; the sum runs in the same order, so the
  // values are the same.
  double quad_form(const double* rec, const double* means, const double* sigma,
                   double* tmp) const {
    for (int j = 0; j < p; ++j) tmp[j] = rec[j] - means[j];
    double t = 0.0;
    for (int j = 0; j < p; ++j) {
      const double dj = tmp[j];
      const double* col = sigma + j;
      for (int k = 0; k < p; ++k) t += dj * tmp[k] * col[static_cast<long>(k) * p];
    }
    return t;
  }

  // out[i] = squared distance of row i + 1 of the nn rows of `data` from
  // means under sigma.  Every row's value is its own sum, so long passes
  // are split into blocks of rows on the call's threads (on the search's
  // own thread only: a worker passes `parallel` false).
  void distances(const double* data, long ld, long nn, const double* means,
                 const double* sigma, double* out, bool parallel) const {
    const long block = std::max(1L, work_per_poll / (static_cast<long>(p) * p) / 16);
    const long nblocks = (nn + block - 1) / block;
    // quad_form on eight rows side by side: each row has its own sum, in
    // the same order, and the rows fill the vector lanes.
    auto rows = [&](long first, long last, double* tmp) {
      constexpr int w = 8;
      long i = first;
      for (; i + w <= last; i += w) {
        for (int j = 0; j < p; ++j) {
          const double* src = data + i + j * ld;
          for (int r = 0; r < w; ++r) tmp[j * w + r] = src[r] - means[j];
        }
        double t[w] = {};
        for (int j = 0; j < p; ++j) {
          const double* dj = tmp + j * w;
          const double* col = sigma + j;
          for (int k = 0; k < p; ++k) {
            const double sk = col[static_cast<long>(k) * p];
            const double* dk = tmp + k * w;
            for (int r = 0; r < w; ++r) t[r] += dj[r] * dk[r] * sk;
          }
        }
        for (int r = 0; r < w; ++r) out[i + r] = t[r];
      }
      for (; i < last; ++i) {
        for (int j = 0; j < p; ++j) tmp[j] = data[i + j * ld];
        out[i] = quad_form(tmp, means, sigma, tmp);
      }
    };
    const long tmp_len = 8L * p;
    if (!parallel || nblocks < 2 || host::threads() < 2) {
      std::vector<double> tmp(tmp_len);
      for (long b = 0; b < nblocks; ++b) {
        host::check_interrupt();
        rows(b * block, std::min(nn, (b + 1) * block), tmp.data());
      }
      return;
    }
    // Each block in its own work row: blocks on different threads must not
    // write to one cache line.
    host::parallel_for(static_cast<int>(nblocks), [&](int b) {
      std::vector<double> tmp(tmp_len);
      rows(b * block, std::min(nn, (b + 1) * block), tmp.data());
    });
  }

  // Squared distances of the stage's rows from center under cov_inv.
  void mahalanobis(const stage_data& s, const space& w, bool parallel) const {
    distances(s.rows, s.ld, s.nn, w.center, w.cov_inv, w.dist, parallel);
  }
  void mahalanobis(const stage_data& s) { mahalanobis(s, own(), true); }

  void eigen() {
    int one = 1, ierr = 0;
    rs_(&p, &p, cov, eigval, &one, eigvec, eig_work1, eig_work2, &ierr);
  }

  // Absolute projections of the first nn rows of `data` on `z` around center.
  void project(const double* data, long ld, int nn, const double* z) {
    int ldi = static_cast<int>(ld);
    rfdis_(data, z, dist, &ldi, &p, &nn, &p, center);
  }

  // Sorted projections of the stage's rows on the current hyperplane; the
  // number of rows on it counted as nhalf plus those beyond position nhalf.
  int count_on_plane(const stage_data& s, const double* z) {
    project(s.rows, s.ld, s.nn, z);
    rfshsort_(dist, &s.nn);
    int count = s.nhalf;
    for (int r = s.nhalf; r < s.nn; ++r)
      if (dist[r] < on_plane_tol) ++count;
    return count;
  }

  // True when at least h of all n cases lie on the hyperplane eigvec(., 1)
  // through center.
  bool h_cases_on_plane() {
    project(x, n, n, eigvec);
    rfshsort_(dist, &n);
    return dist[h - 1] < on_plane_tol;
  }

  void set_hyperplane_row(int g, const double* z) {
    for (int j = 0; j < p; ++j) hyperplane[(g - 1) + j * max_groups] = z[j];
  }

  // Outputs shared by every exact-fit exit: the cases on the hyperplane
  // eigvec(., 1) through center (data units), their moments and the plane.
  void report_plane(kelvara::mcd_status code) {
    project(x, n, n, eigvec);
    int ld = n;
    rfexact_(n_on_plane, &n, dist, &p1, &p, sscp, row, x, cov, center, sd, &ld, weights);
    rfcovcopy_(cov, raw_cov, &p, &p);
    rfcovcopy_(center, raw_center, &p, &one_);
    set_hyperplane_row(1, eigvec);
    *exact_fit = code;
  }
  int one_ = 1;

  // A single pass over a million cases can take most of a second; passes
  // over the cases poll for an interrupt every poll_rows rows (about 2^22
  // multiply-adds), which costs nothing measurable.
  static constexpr long work_per_poll = 1L << 22;
  long poll_rows = 1;
  void poll(long i) const {
    if (i % poll_rows == 0) host::check_interrupt();
  }

  next_step full_exact_fit() {
    transfo_(cov, center, x, center0, scale0, &p, &n);
    eigen();
    report_plane(kelvara::mcd_exact_fit);
    return next_step::finished;
  }

  // A singular covariance met in the group stage: an exact fit of the whole
  // data set ends the run, otherwise the hyperplane becomes the group's
  // exact-fit entry (one per group).
  next_step group_exact_entry(const stage_data& s, int trial) {
    if (*n_on_plane != 0) return next_step::next_trial;
    eigen();
    if (h_cases_on_plane()) return full_exact_fit();
    const int count = count_on_plane(s, eigvec);
    set_hyperplane_row(s.g, eigvec);
    regular[(s.g - 1) * list_len] = false;
    int rows = group_list_len, d = 0;
    rfstore1_(&p, group_covs, group_centers, &d, &d, &d, cov, center, &trial, &rows, &s.g,
              best_keys, &count);
    *n_on_plane = 1;
    return next_step::next_trial;
  }

  // The same in the merged stage, with the merged list.
  next_step merged_exact_entry(const stage_data& s, int trial) {
    if (n <= max_groups * gs) return full_exact_fit();
    if (*n_on_plane != 0) return next_step::next_trial;
    eigen();
    if (h_cases_on_plane()) return full_exact_fit();
    const int count = count_on_plane(s, eigvec);
    store_merged_exact(trial, count, eigvec);
    return next_step::next_trial;
  }

  void store_merged_exact(int trial, int count, const double* z) {
    set_hyperplane_row(1, z);
    regular[0] = false;
    int d = 0;
    rfstore2_(&p, merged_covs, merged_centers, &d, &d, &d, cov, center, &trial, best_keys,
              &count);
    *n_on_plane = 1;
  }

  next_step singular_in_csteps(const stage_data& s, int trial) {
    switch (s.kind) {
      case stage_kind::group:
        return group_exact_entry(s, trial);
      case stage_kind::merged:
        return merged_exact_entry(s, trial);
      default:
        return full_exact_fit();
    }
  }

  // Long selections of the search's own thread run in parallel passes where
  // only the selected set matters (the cases then come out sorted).
  static constexpr int min_parallel_select = 20000;
  bool fast_select(const stage_data& s, bool parallel) const {
    return internal && parallel && s.nn >= min_parallel_select && host::threads() > 1;
  }
  // The bracket of the search's own last long selection.
  mutable long_selection own_bracket{};
  void select_nearest(const stage_data& s, const space& w, bool parallel = false) const {
    double kth = 0.0;
    own_bracket.valid = false;
    if (fast_select(s, parallel) && own_bracket.smallest(w.dist, s.nn, s.nhalf, w.index_b, kth))
      return;
    own_bracket.valid = false;
    if (internal && w.sel && select_sorted(w.dist, s.nn, s.nhalf, w.index_b, w.sel)) return;
    rffindq_(w.dist, &s.nn, &s.nhalf, w.index_b);
  }

  // The case numbers (1-based) of the k smallest of d[0..nn) into index, in
  // increasing order, on one thread: the k-th smallest value is selected on
  // a copy in sel, and the cases at most that value are gathered in one
  // pass.  Where exactly k cases are, they are the set every selection
  // takes (rffindq_ leaves the same set, in another order, which the
  // callers sort or do not use); on a tie at the k-th value, or a NaN,
  // false (rffindq_ then chooses among the tied cases).
  static bool select_sorted(const double* d, int nn, int k, int* index, double* sel) {
    bool nan = false;
    for (int i = 0; i < nn; ++i) {
      sel[i] = d[i];
      nan = nan || std::isnan(d[i]);
    }
    if (nan) return false;
    std::nth_element(sel, sel + (k - 1), sel + nn);
    const double kth = sel[k - 1];
    int count = 0;
    for (int i = 0; i < nn; ++i) count += d[i] <= kth;
    if (count != k) return false;
    for (int i = 0, at = 0; i < nn; ++i)
      if (d[i] <= kth) index[at++] = i + 1;
    return true;
  }
  void select_nearest(const stage_data& s) { select_nearest(s, own(), true); }

  // ---- starting subsets ----

  enum class start_kind { regular, skip, singular };

  // A random (or the next enumerated) subset of p+1 rows, grown one random
  // row at a time while it is singular and fewer than nhalf rows lie on its
  // hyperplane; its moments and inverse are left in the search's own arrays.
  // skip: every row of the stage is taken and it is still singular;
  // singular: at least nhalf rows lie on its hyperplane.
  start_kind draw_start(const stage_data& s, int& grown) {
    int m = p + 1;
    grown = 0;
    if (enumerate) {
      // The enumeration keeps its own state: growing a singular subset
      // below must not disturb the sequence of subsets.
      rfgenpn_(&n, &m, combination.data());
      std::copy(combination.begin(), combination.end(), index_a);
    } else {
      rfrangen_(&s.nn, &m, index_a);
    }
    moments_of(s, index_a, m);
    while (!invert()) {
      eigen();
      project(s.rows, s.ld, s.nn, eigvec);
      rfshsort_(dist, &s.nn);
      if (dist[s.nhalf - 1] >= on_plane_tol) {
        // All rows of the stage taken and still singular: nothing to add.
        if (m >= s.nn) return start_kind::skip;
        rfishsort_(index_a, &m);
        prdraw_(index_a, &m, &s.nn);
        ++m;
        ++grown;
        moments_of(s, index_a, m);
        continue;
      }
      return start_kind::singular;
    }
    return start_kind::regular;
  }

  // A singular start met while drawing (moments in the own arrays): an
  // exact fit of the stage's data.
  next_step singular_start(const stage_data& s, int trial) {
    if (s.kind != stage_kind::group) return full_exact_fit();
    return group_exact_entry(s, trial);
  }

  // Entry `trial` of a list of best solutions as a start.
  next_step start_from_list(const stage_data& s, int trial) {
    const bool from_group = s.kind == stage_kind::merged;
    const double* covs = from_group ? group_covs : merged_covs;
    const double* centers = from_group ? group_centers : merged_centers;
    const long ld = from_group ? group_list_len : list_len;
    const long r = (from_group ? (s.g - 1) * list_len : 0) + trial - 1;
    if (centers[r] == empty_entry) return next_step::list_exhausted;
    for (int j = 0; j < p; ++j) center[j] = centers[r + j * ld];
    for (int c = 0; c < p; ++c)
      for (int rr = 0; rr < p; ++rr)
        cov[rr + c * p] = covs[r + (static_cast<long>(c) * p + rr) * ld];
    const bool is_regular = regular[from_group ? r : trial - 1];
    if (is_regular) {
      if (!invert()) return singular_in_csteps(s, trial);
      mahalanobis(s);
      select_nearest(s);
      return next_step::go_on;
    }
    // An exact-fit entry: start from the cases nearest to its hyperplane.
    const int g = from_group ? s.g : 1;
    for (int j = 0; j < p; ++j) normal[j] = hyperplane[(g - 1) + j * max_groups];
    project(s.rows, s.ld, s.nn, normal.data());
    if (s.kind == stage_kind::final_stage) {
      select_nearest(s);
      return next_step::go_on;
    }
    std::copy(dist, dist + s.nn, work_a);
    rfshsort_(work_a, &s.nn);
    if (work_a[s.nhalf - 1] >= on_plane_tol || n <= max_groups * gs) {
      regular[0] = true;
      select_nearest(s);
      return next_step::go_on;
    }
    if (*n_on_plane == 0) {
      int count = s.nhalf;
      for (int q = s.nhalf; q < s.nn; ++q)
        if (work_a[q] < on_plane_tol) ++count;
      store_merged_exact(trial, count, normal.data());
    }
    return next_step::next_trial;
  }

  // ---- C-steps ----
  // Where the final stage records its best solution so far: the search's
  // own record, or a candidate's while the candidates run in parallel.
  struct record_ref {
    double *objective, *medi2;
    int* subset;  // h cases
    double *cov, *cov_inv, *center;
    bool* recorded;
    int* index_a;  // work of the median selection
  };
  record_ref own_record() {
    return {&best_objective, &medi2, best_subset, best_cov, best_cov_inv,
            best_center,     &recorded, index_a};
  }

  // From the nhalf rows in w.index_b; false when a step meets a singular
  // covariance (left in w).  The final stage records the best solution as
  // it goes in rec.
  bool csteps_in(const stage_data& s, int trial, const space& w, bool parallel) {
    return csteps_in(s, trial, w, parallel, own_record());
  }
  bool csteps_in(const stage_data& s, int trial, const space& w, bool parallel,
                 const record_ref& rec) {
    double det_before = 0.0, det_two_before = 0.0;
    for (int step = 1; step <= s.kstep; ++step) {
      std::copy(w.index_b, w.index_b + s.nhalf, w.sorted_best);
      if (!std::is_sorted(w.sorted_best, w.sorted_best + s.nhalf))
        rfishsort_(w.sorted_best, &s.nhalf);
      moments_of(s, w.sorted_best, s.nhalf, w, parallel);
      if (!invert(w)) return false;
      if (step >= 2 && *w.det == det_two_before) break;
      det_two_before = det_before;
      det_before = *w.det;
      mahalanobis(s, w, parallel);
      select_nearest(s, w, parallel);
      if (s.kind == stage_kind::final_stage &&
          (*w.det < *rec.objective || (trial == 1 && step == 1 && !partitioned))) {
        *rec.objective = *w.det;
        const int half = n / 2;
        double kth = 0.0;
        // The selection just made on these distances bracketed the h-th
        // smallest, a few ranks from the median.
        *rec.medi2 = fast_select(s, parallel) && (own_bracket.rank(half, kth) ||
                                                  own_bracket.bracket(w.dist, s.nn, half, kth))
                         ? kth
                         : rffindq_(w.dist, &s.nn, &half, rec.index_a);
        std::copy(w.index_b, w.index_b + h, rec.subset);
        rfcovcopy_(w.cov, rec.cov, &p, &p);
        rfcovcopy_(w.cov_inv, rec.cov_inv, &p, &p);
        rfcovcopy_(w.center, rec.center, &p, &one_);
        *rec.recorded = true;
      }
    }
    return true;
  }
  next_step csteps(const stage_data& s, int trial) {
    return csteps_in(s, trial, own(), true) ? next_step::go_on : singular_in_csteps(s, trial);
  }

  // ---- lists of the ten best solutions ----
  struct list_ref {
    double* covs;
    double* centers;
    long ld;
    long first;  // row of entry 1 (0-based)
    int slot;    // key slot (1-based)
    int flag0;   // index of the regular flag of entry 1
  };

  list_ref stage_list(const stage_data& s) {
    if (s.kind == stage_kind::group)
      return {group_covs,           group_centers, group_list_len,
              (s.g - 1) * list_len, s.g,           (s.g - 1) * list_len};
    return {merged_covs, merged_centers, list_len, 0, 1, 0};
  }

  bool same_entry(const list_ref& L, int e, const double* c_cov, const double* c_center) {
    const long r = L.first + e - 1;
    for (int j = 0; j < p; ++j)
      if (L.centers[r + j * L.ld] != c_center[j]) return false;
    for (int c = 0; c < p; ++c)
      for (int rr = 0; rr < p; ++rr)
        if (L.covs[r + (static_cast<long>(c) * p + rr) * L.ld] != c_cov[rr + c * p])
          return false;
    return true;
  }

  // Offers the solution (c_cov, c_center) of determinant det, found by
  // `trial`, to the stage's list.
  void offer(const stage_data& s, int trial, const double* c_cov, const double* c_center,
             double det) {
    const list_ref L = stage_list(s);
    // An exact-fit entry in slot 1 keeps its place.
    const int first = regular[L.flag0] ? 0 : 1;
    const int slot0 = kelvara::best_list_slot(
        &key(1, 2, L.slot), first, det,
        [&](int e) { return same_entry(L, e + 1, c_cov, c_center); });
    if (slot0 < 0) return;
    const int j = slot0 + 1;
    const long p2 = static_cast<long>(p) * p;
    for (int e = list_len; e > j; --e) {
      const long to = L.first + e - 1, from = to - 1;
      for (long c = 0; c < p2; ++c) L.covs[to + c * L.ld] = L.covs[from + c * L.ld];
      for (int c = 0; c < p; ++c) L.centers[to + c * L.ld] = L.centers[from + c * L.ld];
      key(e, 1, L.slot) = key(e - 1, 1, L.slot);
      key(e, 2, L.slot) = key(e - 1, 2, L.slot);
    }
    const long r = L.first + j - 1;
    for (int c = 0; c < p; ++c) L.centers[r + c * L.ld] = c_center[c];
    for (int c = 0; c < p; ++c)
      for (int rr = 0; rr < p; ++rr)
        L.covs[r + (static_cast<long>(c) * p + rr) * L.ld] = c_cov[rr + c * p];
    key(j, 1, L.slot) = trial;
    key(j, 2, L.slot) = det;
  }

  // ---- set-up ----

  void choose_plan() {
    const kelvara::group_plan plan = kelvara::plan_groups(n, gs, krep);
    if (plan.partitioned) {
      partitioned = true;
      ngroup = plan.ngroup;
      std::copy(plan.sizes, plan.sizes + max_groups, group_size);
      minigr = plan.merged_size;
      // At least one start per group: fewer starts than groups would leave
      // every list empty and the final stage without a solution.
      nrep = std::max(1, krep / ngroup);
      const int nhalf = static_cast<int>(group_size[0] * percen);
      if (nhalf < p + 1)
        host::fail(
            "rffastmcd: groups of %d cases cover only %d cases, fewer than p + 1 = %d",
            group_size[0], nhalf, p + 1);
      group_cases.assign(std::max((3 * gs) / 2, plan.largest), 0);
      draw_table.assign(2 * static_cast<size_t>(max_groups) * gs, 1000000);
      int ntot = max_groups * gs, kmini = max_groups;
      rfrdraw_(draw_table.data(), &n, &ntot, group_size, &ngroup, &kmini);
      return;
    }
    const int k = p + 1;
    if (krep == 0 || n <= replow_(&k)) {
      enumerate = true;
      nrep = rfncomb_(&k, &n);
      print_int("will use *all* combinations: ", &nrep, 1);
    } else {
      nrep = krep;
    }
  }

  void initialise() {
    const long p2 = static_cast<long>(p) * p;
    std::fill(merged_covs, merged_covs + list_len * p2, empty_entry);
    std::fill(merged_centers, merged_centers + list_len * p, empty_entry);
    std::fill(group_covs, group_covs + group_list_len * p2, empty_entry);
    std::fill(group_centers, group_centers + group_list_len * p, empty_entry);
    std::fill(center, center + p, 0.0);
    std::fill(best_center, best_center + p, 0.0);
    std::fill(sd, sd + p, 0.0);
    std::fill(sorted_best, sorted_best + n, 1000000);
    std::fill(index_a, index_a + n, 1000000);
    std::fill(index_b, index_b + n, 1000000);
    std::fill(class_dist, class_dist + n, 0.0);
    std::fill(dist, dist + n, 0.0);
    std::fill(regular, regular + group_list_len, true);
  }

  // Per-variable centers and scales; the data are standardized in place.  A
  // variable constant on at least h cases is an exact fit.
  //
  // The center is the mean of the order statistics n/2 and n/2 + 1 (1-based,
  // integer division) and the scale the h-th smallest absolute deviation from
  // it.  Only their values matter, so they are selected on copies in the
  // work arrays; the positions of the selection of the h smallest deviations
  // matter only for a constant variable, where that selection is repeated.
  next_step standardize() {
    if (internal) return standardize_columns();
    const int lo = n / 2;  // the upper order statistic is lo + 1 = (n + 2) / 2
    for (int j = 0; j < p; ++j) {
      host::check_interrupt();
      double* col = x + static_cast<long>(j) * n;
      std::copy(col, col + n, work_a);
      std::nth_element(work_a, work_a + (lo - 1), work_a + n);
      const double lower = work_a[lo - 1];
      const double upper = *std::min_element(work_a + lo, work_a + n);
      center0[j] = 0.5 * (lower + upper);
      for (int i = 0; i < n; ++i) dist[i] = std::fabs(col[i] - center0[j]);
      std::copy(dist, dist + n, work_b);
      std::nth_element(work_b, work_b + (h - 1), work_b + n);
      scale0[j] = work_b[h - 1];
      if (scale0[j] < eps) {
        rffindq_(dist, &n, &h, index_b);
        return constant_variable(j);
      }
      for (int i = 0; i < n; ++i) col[i] = (col[i] - center0[j]) / scale0[j];
    }
    return next_step::go_on;
  }

  // The same centers and scales, variables on the call's threads (each
  // thread with its own copies of a column); the data change only when no
  // variable is constant before the first that is, as in the order above.
  next_step standardize_columns() {
    const int lo = n / 2;
    const double work = 10.0 * n * p;
    const int width = work < min_pass_work ? 1 : std::max(1, std::min(host::threads(), p));
    std::vector<double> loc(p), scale(p);
    std::atomic<int> next(0);  // variables go to whichever thread is free
    pass_for(width, work, [&](int) {
      std::vector<double> dev(n), sel;
      for (int j = next.fetch_add(1); j < p; j = next.fetch_add(1)) {
        host::check_interrupt();
        const double* col = x + static_cast<long>(j) * n;
        double upper = 0.0;
        const double lower = kelvara::select_kth(col, n, lo, sel, &upper);
        loc[j] = 0.5 * (lower + upper);
        for (int i = 0; i < n; ++i) dev[i] = std::fabs(col[i] - loc[j]);
        scale[j] = kelvara::select_kth(dev.data(), n, h, sel);
      }
    });
    int last = 0;  // variables standardized: those before the first constant one
    while (last < p && !(scale[last] < eps)) ++last;
    std::copy(loc.begin(), loc.begin() + std::min(p, last + 1), center0);
    std::copy(scale.begin(), scale.begin() + std::min(p, last + 1), scale0);
    pass_for(last, static_cast<double>(n) * last, [&](int j) {
      double* col = x + static_cast<long>(j) * n;
      for (int i = 0; i < n; ++i) col[i] = (col[i] - center0[j]) / scale0[j];
    });
    if (last == p) return next_step::go_on;
    const double* col = x + static_cast<long>(last) * n;
    for (int i = 0; i < n; ++i) dist[i] = std::fabs(col[i] - center0[last]);
    rffindq_(dist, &n, &h, index_b);
    return constant_variable(last);
  }

  next_step constant_variable(int j) {
    for (int k = 0; k < j; ++k)
      for (long i = 0; i < n; ++i) x_at(i, k) = x_at(i, k) * scale0[k] + center0[k];
    const stage_data all{stage_kind::first, x, n, n, h, 0, 1};
    moments_of(all, index_b, p + 1);
    eigen();
    if (eigvec[j] != 1.0) {
      for (int c = 1; c < p; ++c) {
        if (eigvec[j + c * p] == 1.0) {
          std::copy(eigvec + c * p, eigvec + (c + 1) * p, eigvec);
          break;
        }
      }
    }
    report_plane(kelvara::mcd_exact_fit);
    return next_step::finished;
  }

  // ---- stages ----

  // The rows of group `group` (in case order) into to(., p), leading
  // dimension ld.
  void copy_rows_of_group(int group, double* to, long ld) {
    int count = 0;
    for (int t = 0; t < minigr; ++t)
      if (draw_table[2 * t + 1] == group) group_cases[count++] = draw_table[2 * t];
    for (int j = 0; j < p; ++j)
      for (int r = 0; r < count; ++r) to[r + j * ld] = x_at(group_cases[r] - 1, j);
  }
  // The group stage works on group_rows.  Where it ends the search, merged_x
  // is left as the stage leaves it when it copies each group in turn to its
  // first rows.
  std::vector<double> group_rows{};
  void leave_groups_in_merged(int last) {
    for (int g = 1; g <= last; ++g)
      copy_rows_of_group(g, merged_x, static_cast<long>(max_groups) * gs);
  }

  void copy_all_drawn_to_merged() {
    const long ld = static_cast<long>(max_groups) * gs;
    for (int j = 0; j < p; ++j)
      for (int t = 0; t < minigr; ++t)
        merged_x[t + j * ld] = x_at(draw_table[2 * t] - 1, j);
  }

  next_step run_stage(stage_kind kind) {
    print_int("Main loop - number of trials nrep: ", &nrep, 1);
    best_objective = no_objective;
    *n_on_plane = 0;
    const long mld = static_cast<long>(max_groups) * gs;
    stage_data s{kind, x, n, n, h, 2, 1};
    int groups = 1;
    switch (kind) {
      case stage_kind::first:
        break;
      case stage_kind::group:
        s.rows = merged_x;
        s.ld = mld;
        s.nhalf = static_cast<int>(group_size[0] * percen);
        groups = ngroup;
        break;
      case stage_kind::merged:
        s.rows = merged_x;
        s.ld = mld;
        s.nn = minigr;
        s.nhalf = static_cast<int>(minigr * percen);
        nrep = list_len;
        break;
      case stage_kind::final_stage:
        nrep = n > 5000 ? 1 : list_len;
        s.kstep = kelvara::final_csteps(static_cast<std::int64_t>(n) * p);
        break;
    }
    if (kind == stage_kind::first || kind == stage_kind::group) {
      if (standardize() == next_step::finished) return next_step::finished;
    }
    if (kind != stage_kind::final_stage)
      std::fill(best_keys, best_keys + n_best_keys, no_objective);
    if (kind == stage_kind::merged) copy_all_drawn_to_merged();
    if (enumerate && kind == stage_kind::first) {
      combination.resize(p + 1);
      for (int j = 0; j < p; ++j) combination[j] = j + 1;
      combination[p] = p;
    }
    if (kind == stage_kind::merged) return merged_trials(s);
    if (kind == stage_kind::final_stage) {
      if (nrep > 1) return final_candidates(s);
      host::check_interrupt();
      return final_serial(s, 1) == next_step::finished ? next_step::finished
                                                       : next_step::go_on;
    }
    // Every group's rows, one group after the other in group_rows.
    std::vector<stage_data> stages(groups, s);
    if (kind == stage_kind::group) {
      group_rows.resize(static_cast<size_t>(minigr) * p);
      for (int g = 1, first = 0; g <= groups; first += group_size[g - 1], ++g) {
        copy_rows_of_group(g, group_rows.data() + first, minigr);
        stages[g - 1].rows = group_rows.data() + first;
        stages[g - 1].ld = minigr;
        stages[g - 1].nn = group_size[g - 1];
        stages[g - 1].g = g;
      }
    }
    return subset_trials(stages);
  }

  // One candidate of the final stage in the own arrays.
  next_step final_serial(const stage_data& s, int trial) {
    next_step st = start_from_list(s, trial);
    if (st != next_step::go_on) return st;
    return csteps(s, trial);
  }

  // ---- trials evaluated in parallel ----
  //
  // The trials of a stage are drawn on this thread in their order, then
  // evaluated (C-steps from each start) on the call's threads, each worker
  // in its own arrays, and then merged into the lists one by one in trial
  // order, exactly as if each had been evaluated right after its draw.  A
  // batch of trials spans the groups of the group stage; its first trials
  // are evaluated while this thread draws the rest.  A trial whose
  // evaluation meets a singular covariance is settled during the merge, in
  // the own arrays, by the same code as ever.  When that ends the search,
  // the draws made for later trials are taken back: the generator returns
  // to its state at the batch's start and the batch's draws up to that
  // trial are made again (each trial keeps how many cases its start grew
  // by).  The results thus do not depend on the number of threads.

  // Trials drawn ahead of their evaluation, at most (all lists of the
  // merged stage fit in one batch), and the trials of a batch drawn before
  // its evaluation starts.
  static constexpr int batch_len = 512;
  static constexpr int batch_head = 32;
  // Multiply-adds (roughly) below which a batch is evaluated on this thread
  // alone: starting threads would cost more than they save.
  static constexpr double min_parallel_work = 1 << 21;
  static_assert(batch_len >= kelvara::group_list_len, "one batch per merged stage");

  enum class trial_state {
    regular,         // to evaluate in parallel
    skip,            // no usable start
    singular_start,  // the drawn subset lies on a hyperplane
    serial,          // an exact-fit entry of a list: handled in order
  };
  struct worker_arrays {
    std::vector<double> row, sscp, cov, center, sd, cov_inv, dist, sel;
    std::vector<int> index_a, index_b, sorted_best;
    double det = 0.0;
    void fit(int p, int nn) {
      const size_t up = p;
      row.resize(up + 1);
      sscp.resize((up + 1) * (up + 1));
      for (auto* v : {&cov, &cov_inv}) v->resize(up * up);
      for (auto* v : {&center, &sd}) v->resize(up);
      if (dist.size() < static_cast<size_t>(nn)) {
        dist.resize(nn);
        sel.resize(nn);
        index_a.resize(nn);
        index_b.resize(nn);
        sorted_best.resize(nn);
      }
    }
    space view() {
      return {row.data(),     sscp.data(),       cov.data(),  center.data(),
              sd.data(),      cov_inv.data(),    dist.data(), &det,
              index_b.data(), sorted_best.data(), sel.data()};
    }
  };
  std::vector<worker_arrays> workers{};
  // One slot per trial of a batch: its start (cov, center), replaced by the
  // result of its evaluation; det; whether the C-steps stayed regular.
  std::vector<trial_state> slot_state{};
  std::vector<int> slot_trial{}, slot_group{}, slot_ok{}, slot_grown{};
  std::vector<double> slot_cov{}, slot_center{}, slot_det{};
  int slots = 0;  // slots of a batch: batch_len, fewer for large p

  void fit_slots() {
    if (!slot_state.empty()) return;
    // About 8 MB of starts at most, and never fewer slots than one merged
    // stage needs.
    const long fit = (1L << 20) / (static_cast<long>(p) * p);
    slots = static_cast<int>(std::max<long>(group_list_len, std::min<long>(batch_len, fit)));
    const size_t b = slots, up = p;
    slot_state.assign(b, trial_state::skip);
    for (auto* v : {&slot_trial, &slot_group, &slot_ok, &slot_grown}) v->assign(b, 0);
    slot_cov.assign(b * up * up, 0.0);
    slot_center.assign(b * up, 0.0);
    slot_det.assign(b, 0.0);
  }
  double* cov_of(int j) { return slot_cov.data() + static_cast<size_t>(j) * p * p; }
  double* center_of(int j) { return slot_center.data() + static_cast<size_t>(j) * p; }
  void save_own(int j) {
    std::copy(cov, cov + static_cast<long>(p) * p, cov_of(j));
    std::copy(center, center + p, center_of(j));
    slot_det[j] = *mcd_det;
  }
  void load_own(int j) {
    std::copy(cov_of(j), cov_of(j) + static_cast<long>(p) * p, cov);
    std::copy(center_of(j), center_of(j) + p, center);
    *mcd_det = slot_det[j];
  }

  // Entry r of a list (leading dimension ld) as the start of slot j; an
  // exact-fit entry is left to the merge.
  void take_entry(int j, int g, int trial, const double* covs, const double* centers,
                  long ld, long r) {
    slot_group[j] = g;
    slot_trial[j] = trial;
    slot_state[j] = regular[r] ? trial_state::regular : trial_state::serial;
    for (int c = 0; c < p; ++c) center_of(j)[c] = centers[r + c * ld];
    for (long c = 0; c < static_cast<long>(p) * p; ++c) cov_of(j)[c] = covs[r + c * ld];
  }

  // C-steps from the start in slot j, in the worker arrays w, recording in
  // rec; false when a covariance on the way is singular.
  bool csteps_from_slot(const stage_data& s, int j, const space& w, record_ref rec) {
    std::copy(cov_of(j), cov_of(j) + static_cast<long>(p) * p, w.cov);
    std::copy(center_of(j), center_of(j) + p, w.center);
    if (!invert(w)) return false;
    mahalanobis(s, w, false);
    select_nearest(s, w);
    return csteps_in(s, slot_trial[j], w, false, rec);
  }

  // C-steps from the start in slot j, in the worker arrays w.
  void evaluate_slot(const stage_data& s, int j, const space& w) {
    const bool ok = csteps_from_slot(s, j, w, own_record());
    std::copy(w.cov, w.cov + static_cast<long>(p) * p, cov_of(j));
    std::copy(w.center, w.center + p, center_of(j));
    slot_det[j] = *w.det;
    slot_ok[j] = ok ? 1 : 0;
  }

  // Evaluates the regular slots from..to-1 (of stage stage_of(j)) on the
  // call's threads, claimed in order as threads become free, while this
  // thread first runs lead(); `trials` (at least to - from) sizes the work.
  template <class S, class L>
  void evaluate_slots(S&& stage_of, int from, int to, int trials, L&& lead) {
    if (from >= to) {
      lead();
      return;
    }
    const double work = static_cast<double>(trials) * stage_of(from).nn * p * p *
                        (stage_of(from).kstep + 1);
    const int width =
        work < min_parallel_work ? 1 : std::max(1, std::min(host::threads(), trials));
    if (static_cast<int>(workers.size()) < width) workers.resize(width);
    int most = 0;
    for (int j = from; j < to; ++j) most = std::max(most, stage_of(j).nn);
    for (int k = 0; k < width; ++k) workers[k].fit(p, std::max(most, stage_of(from).nn));
    // A failure or interrupt on one worker stops the others at their next
    // trial.
    std::atomic<bool> stop(false);
    std::atomic<int> next(from);
    host::parallel_for_beside(width, lead, [&](int k) {
      const space w = workers[k].view();
      try {
        for (int j = next.fetch_add(1); j < to && !stop.load(); j = next.fetch_add(1)) {
          if (slot_state[j] != trial_state::regular) continue;
          host::check_interrupt();
          if (stage_of(j).kind == stage_kind::final_stage)
            evaluate_candidate(stage_of(j), j, w, workers[k].index_a.data());
          else
            evaluate_slot(stage_of(j), j, w);
        }
      } catch (...) {
        stop = true;
        throw;
      }
    });
  }
  void evaluate_slots(const stage_data& s, int count) {
    evaluate_slots([&](int) -> const stage_data& { return s; }, 0, count, count, [] {});
  }

  // Merges the evaluated slot j (trial `trial`) into the lists.
  next_step merge_slot(const stage_data& s, int j, int trial) {
    if (slot_ok[j]) {
      offer(s, trial, cov_of(j), center_of(j), slot_det[j]);
      return next_step::go_on;
    }
    load_own(j);
    return singular_in_csteps(s, trial);
  }

  // The final stage's candidates (all of them when there are at most 5000
  // cases) run in parallel, each recording its own best step.  Merged in
  // candidate order, a candidate's record replaces the search's when its
  // determinant is lower: the search would have recorded its steps of lower
  // determinant than any before, the last of them being the candidate's own
  // best.  The first candidate's record is the search's as it stands.  A
  // candidate that meets a singular covariance, or starts from an exact-fit
  // entry, runs again in order in the own arrays, as ever.
  struct candidate_records {
    std::vector<double> objective, medi2, cov, cov_inv, center;
    std::vector<int> subset;
    bool recorded[list_len] = {};
  } cand{};

  record_ref candidate_record(int j) {
    const size_t p2 = static_cast<size_t>(p) * p, uj = j;
    return {&cand.objective[j],      &cand.medi2[j],
            cand.subset.data() + uj * h, cand.cov.data() + uj * p2,
            cand.cov_inv.data() + uj * p2, cand.center.data() + uj * p,
            &cand.recorded[j],       nullptr};
  }

  void evaluate_candidate(const stage_data& s, int j, const space& w, int* work_index) {
    record_ref rec = candidate_record(j);
    rec.index_a = work_index;
    slot_ok[j] = csteps_from_slot(s, j, w, rec) ? 1 : 0;
  }

  next_step final_candidates(const stage_data& s) {
    fit_slots();
    const size_t p2 = static_cast<size_t>(p) * p;
    cand.objective.assign(list_len, no_objective);
    cand.medi2.assign(list_len, 0.0);
    cand.cov.assign(list_len * p2, 0.0);
    cand.cov_inv.assign(list_len * p2, 0.0);
    cand.center.assign(static_cast<size_t>(list_len) * p, 0.0);
    cand.subset.assign(static_cast<size_t>(list_len) * h, 0);
    std::fill(cand.recorded, cand.recorded + list_len, false);
    int count = 0;
    for (int trial = 1; trial <= nrep; ++trial) {
      const long r = trial - 1;
      if (merged_centers[r] == empty_entry) break;
      take_entry(count++, 1, trial, merged_covs, merged_centers, list_len, r);
    }
    evaluate_slots(s, count);
    for (int j = 0; j < count; ++j) {
      host::check_interrupt();
      const int trial = slot_trial[j];
      if (slot_state[j] != trial_state::regular || !slot_ok[j]) {
        if (final_serial(s, trial) == next_step::finished) return next_step::finished;
        continue;
      }
      if (!cand.recorded[j] || (j > 0 && !(cand.objective[j] < best_objective))) continue;
      const record_ref rec = candidate_record(j);
      best_objective = *rec.objective;
      medi2 = *rec.medi2;
      std::copy(rec.subset, rec.subset + h, best_subset);
      std::copy(rec.cov, rec.cov + p2, best_cov);
      std::copy(rec.cov_inv, rec.cov_inv + p2, best_cov_inv);
      std::copy(rec.center, rec.center + p, best_center);
      recorded = true;
    }
    return next_step::go_on;
  }

  // Random (or enumerated) starts of the first stage, or of every group in
  // turn (stages[g - 1] for group g).
  std::vector<int> batch_rng{};
  next_step subset_trials(const std::vector<stage_data>& stages) {
    fit_slots();
    const int groups = static_cast<int>(stages.size());
    auto stage_of = [&](int j) -> const stage_data& { return stages[slot_group[j] - 1]; };
    int g = 1, trial = 1;  // the next trial to draw
    int merging = 0;       // the group of the trials being merged
    batch_rng.resize(host::rng_state_len);
    while (g <= groups) {
      const int batch_rng_len = host::rng_save(batch_rng.data());
      const int left = (groups - g) * nrep + nrep - trial + 1;
      int count = 0;
      bool more = true;
      // Draws trials into the batch until it holds `upto`; a singular start
      // ends the batch (it is settled in order, below).
      auto draw = [&](int upto) {
        while (more && count < upto) {
          host::check_interrupt();
          const int j = count++;
          slot_group[j] = g;
          slot_trial[j] = trial;
          const start_kind k = draw_start(stages[g - 1], slot_grown[j]);
          slot_state[j] = k == start_kind::regular ? trial_state::regular
                          : k == start_kind::skip  ? trial_state::skip
                                                   : trial_state::singular_start;
          save_own(j);
          if (++trial > nrep) {
            trial = 1;
            ++g;
          }
          more = k != start_kind::singular && g <= groups;
        }
      };
      draw(std::min(batch_head, slots));
      const int head = count;
      evaluate_slots(stage_of, 0, head, std::min(left, slots), [&] { draw(slots); });
      evaluate_slots(stage_of, head, count, count - head, [] {});
      for (int j = 0; j < count; ++j) {
        const stage_data& s = stage_of(j);
        if (s.g != merging) {  // a group's first trial: its list starts empty
          merging = s.g;
          *n_on_plane = 0;
        }
        next_step st = next_step::go_on;
        if (slot_state[j] == trial_state::skip) continue;
        if (slot_state[j] == trial_state::singular_start) {
          load_own(j);
          st = singular_start(s, slot_trial[j]);
        } else {
          st = merge_slot(s, j, slot_trial[j]);
        }
        if (st == next_step::finished) {
          if (j + 1 < count) redraw(stages, batch_rng.data(), batch_rng_len, j);
          if (s.kind == stage_kind::group) leave_groups_in_merged(s.g);
          return st;
        }
      }
    }
    return next_step::go_on;
  }

  // The generator as the draws of the batch's slots 0..last left it: from
  // the batch's starting state, the same draws again (a start grown by m
  // cases drew its p + 1 cases, then m more one at a time).
  void redraw(const std::vector<stage_data>& stages, const int* state, int len, int last) {
    host::rng_restore(state, len);
    std::vector<int> index(static_cast<size_t>(n) + 1);
    for (int j = 0; j <= last; ++j) {
      int m = p + 1;
      const int cases = stages[slot_group[j] - 1].nn;
      if (!enumerate) rfrangen_(&cases, &m, index.data());
      for (int t = 0; t < slot_grown[j]; ++t) {
        rfishsort_(index.data(), &m);
        prdraw_(index.data(), &m, &cases);
        ++m;
      }
    }
  }

  // The merged stage: the entries of every group's list, group by group.
  next_step merged_trials(stage_data& s) {
    fit_slots();
    int count = 0;
    for (int g = 1; g <= ngroup; ++g) {
      for (int trial = 1; trial <= nrep; ++trial) {
        const long r = static_cast<long>(g - 1) * list_len + trial - 1;
        if (group_centers[r] == empty_entry) break;
        take_entry(count++, g, trial, group_covs, group_centers, group_list_len, r);
      }
    }
    evaluate_slots(s, count);
    for (int j = 0; j < count; ++j) {
      host::check_interrupt();
      s.g = slot_group[j];
      const int trial = slot_trial[j];
      next_step st;
      if (slot_state[j] == trial_state::regular) {
        st = merge_slot(s, j, trial);
      } else {
        st = start_from_list(s, trial);
        if (st == next_step::go_on) {
          st = csteps(s, trial);
          if (st == next_step::go_on) offer(s, trial, cov, center, *mcd_det);
        }
      }
      if (st == next_step::finished) return st;
    }
    return next_step::go_on;
  }

  // ---- exits ----

  void singular_classical() {
    eigen();
    report_plane(kelvara::mcd_singular_data);
  }

  void final_output() {
    if (!recorded) host::fail("rffastmcd: no regular subset of %d cases was found", h);
    std::copy(best_subset, best_subset + h, sorted_best);
    if (!std::is_sorted(sorted_best, sorted_best + h)) rfishsort_(sorted_best, &h);
    print_int("Best subsample (sorted): ", sorted_best, h);
    for (int j = 0; j < p; ++j) center[j] = best_center[j] * scale0[j] + center0[j];
    rfcovcopy_(center, raw_center, &p, &one_);
    print_dbl("Center: ", center, p);
    for (int c = 0; c < p; ++c)
      for (int r = 0; r < p; ++r)
        cov[r + c * p] = best_cov[r + c * p] * scale0[r] * scale0[c];
    rfcovcopy_(cov, raw_cov, &p, &p);
    double det = best_objective;
    for (int j = 0; j < p; ++j) det = det * scale0[j] * scale0[j];
    *mcd_det = det;
    const double factor = medi2 / chi_median, inverse = 1.0 / factor;
    rfcovmult_(cov, &p, &p, &factor);
    rfcovmult_(best_cov, &p, &p, &factor);
    rfcovmult_(best_cov_inv, &p, &p, &inverse);
    rfcovcopy_(cov, cons_cov, &p, &p);
    std::vector<double> d(n);
    distances(x, n, n, best_center, best_cov_inv, d.data(), true);
    for (long i = 0; i < n; ++i) weights[i] = d[i] > cutoff ? 0 : 1;
    if (internal) {
      int none = 0;  // the data stay standardized: the caller drops them
      transfo_(best_cov, best_center, x, center0, scale0, &p, &none);
    } else {
      transfo_(best_cov, best_center, x, center0, scale0, &p, &n);
    }
  }

  void run() {
    print_int("Entering rffastmcd() - krep: ", &krep, 1);
    host::rng_scope rng;
    percen = static_cast<double>(h) / static_cast<double>(n);
    eps = p < 5 ? 1e-12 : (p <= 8 ? 1e-14 : 1e-16);
    p1 = p + 1;
    poll_rows = std::max(1L, work_per_poll / (static_cast<long>(p) * p));
    normal.assign(p, 0.0);
    const bool all_cases = h >= n;
    if (internal && !all_cases && p > 1) own_sel.resize(n);
    if (!all_cases && p == 1) {
      univariate();
      return;
    }
    // The classical estimate; the plan of the search (its draws) and the
    // lists are set up beside that pass.
    cross_products(x, n, nullptr, n, sscp, row, true, 2, [&] {
      if (all_cases) return;
      choose_plan();
      initialise();
    });
    rfcovar_(&n, &p, &p1, sscp, cov, center, sd);
    bool singular = false;
    for (int j = 0; j < p; ++j)
      if (sd[j] == 0.0) singular = true;
    if (singular || !invert()) {
      singular_classical();
      return;
    }
    rfcorrel_(&p, cov, corr, sd);
    if (all_cases) return;
    if (!internal) distances(x, n, n, center, cov_inv, class_dist, true);
    if (partitioned) {
      if (run_stage(stage_kind::group) == next_step::finished) return;
      if (run_stage(stage_kind::merged) == next_step::finished) return;
    } else {
      if (run_stage(stage_kind::first) == next_step::finished) return;
    }
    if (run_stage(stage_kind::final_stage) == next_step::finished) return;
    final_output();
  }

  void univariate() {
    std::copy(x, x + n, dist);
    rfshsort_(dist, &n);
    double scale = 0, factor = 1;
    int start = 0;
    rfmcduni_(dist, &n, &h, work_c, &scale, work_a, work_b, &factor, &start);
    raw_center[0] = work_c[0];
    raw_cov[0] = scale;
    cons_cov[0] = scale;
  }
};

}  // namespace

namespace {

// Arguments that would make the search read or write outside its arrays (or
// draw forever) are refused.
void check_arguments(int n, int p, int h, int krep, int group_size) {
  if (n < 2 || p < 1 || h < p + 1 || h > n || krep < 0 || group_size < 1)
    host::fail(
        "rffastmcd: invalid arguments (n = %d, p = %d, h = %d, krep = %d, "
        "group_size = %d)",
        n, p, h, krep, group_size);
}

// The group size the search can use: groups whose coverage (the first
// group's size times h / n) is below p + 1 would offer only singular
// subsets, so the size doubles until they cover enough or the sample no
// longer splits.  Without a partition the size only has to exceed n / 2; a
// smaller one keeps the merged-data work array small.
int usable_group_size(int n, int p, int h, int krep, int group_size) {
  const double percen = static_cast<double>(h) / static_cast<double>(n);
  std::int64_t gs = group_size;
  for (;;) {
    const kelvara::group_plan plan = kelvara::plan_groups(n, static_cast<int>(gs), krep);
    if (!plan.partitioned) break;
    if (static_cast<int>(plan.sizes[0] * percen) >= p + 1) return static_cast<int>(gs);
    gs *= 2;
    if (gs > n) break;  // n < 2 gs: no partition
  }
  return static_cast<int>(std::min<std::int64_t>(gs, n / 2 + 1));
}

// The work arrays of one search, zero-filled as the search expects them.
struct mcd_scratch {
  std::vector<int> sorted_best, index_a, index_b;
  std::vector<double> class_dist, dist, work_a, work_b, work_c, center0, scale0, sd,
      best_center, eigval, eig_work1, eig_work2, row, sscp, corr, cov_inv, best_cov,
      best_cov_inv, eigvec, merged_covs, merged_centers, group_covs, group_centers,
      merged_x;
  mcd_scratch(int n, int p, int gs) {
    const size_t un = n, up = p, pp = up * up;
    for (auto* v : {&sorted_best, &index_a, &index_b}) v->assign(un, 0);
    for (auto* v : {&class_dist, &dist, &work_a, &work_b, &work_c}) v->assign(un, 0.0);
    for (auto* v :
         {&center0, &scale0, &sd, &best_center, &eigval, &eig_work1, &eig_work2})
      v->assign(up, 0.0);
    row.assign(up + 1, 0.0);
    sscp.assign((up + 1) * (up + 1), 0.0);
    for (auto* v : {&corr, &cov_inv, &best_cov, &best_cov_inv, &eigvec})
      v->assign(pp, 0.0);
    merged_covs.assign(kelvara::best_list_len * pp, 0.0);
    merged_centers.assign(kelvara::best_list_len * up, 0.0);
    group_covs.assign(kelvara::group_list_len * pp, 0.0);
    group_centers.assign(kelvara::group_list_len * up, 0.0);
    merged_x.assign(
        std::max<size_t>(1, static_cast<size_t>(kelvara::max_groups) * gs * up), 0.0);
  }

  mcd_work arrays(double* center, double* cov) {
    // clang-format off
    return {sorted_best.data(), index_a.data(), index_b.data(), class_dist.data(),
            dist.data(), work_a.data(), work_b.data(), work_c.data(), center0.data(),
            scale0.data(), sd.data(), center, best_center.data(), eigval.data(),
            eig_work1.data(), eig_work2.data(), row.data(), sscp.data(), cov, corr.data(),
            cov_inv.data(), best_cov.data(), best_cov_inv.data(), eigvec.data(),
            merged_covs.data(), merged_centers.data(), group_covs.data(),
            group_centers.data(), merged_x.data()};
    // clang-format on
  }
};

}  // namespace

extern "C" void rffastmcd_(
    double* x, int* n, int* p, int* h, int* krep, int* group_size, double* raw_cov,
    double* raw_center, int* best_subset, double* mcd_det, int* weights, int* exact_fit,
    double* hyperplane, int* n_on_plane, double* cons_cov, int* /*unused*/,
    int* sorted_best, int* index_a, int* index_b, double* class_dist, double* dist,
    double* work_a, double* work_b, double* work_c, double* center0, double* scale0,
    double* sd, double* center, double* best_center, double* eigval, double* eig_work1,
    double* eig_work2, double* row, double* sscp, double* cov, double* corr,
    double* cov_inv, double* best_cov, double* best_cov_inv, double* eigvec,
    double* merged_covs, double* merged_centers, double* group_covs,
    double* group_centers, double* merged_x, double* cutoff, double* chi_median,
    int* trace) {
  host::run_entry([&] {
    check_arguments(*n, *p, *h, *krep, *group_size);
    // clang-format off
    const mcd_outputs out{raw_cov, raw_center, best_subset, mcd_det, weights, exact_fit,
                          hyperplane, n_on_plane, cons_cov};
    const mcd_work work{sorted_best, index_a, index_b, class_dist, dist, work_a, work_b,
                        work_c, center0, scale0, sd, center, best_center, eigval,
                        eig_work1, eig_work2, row, sscp, cov, corr, cov_inv, best_cov,
                        best_cov_inv, eigvec, merged_covs, merged_centers, group_covs,
                        group_centers, merged_x};
    fast_mcd run{out, work, x, *n, *p, *h, *krep, *group_size, *cutoff, *chi_median,
                 *trace};
    // clang-format on
    run.run();
  });
}

namespace {

// The search of kv_mcd_search (and kv_fastmcd); with loc, the data are first
// centered and scaled per column (x - loc) / scale, and a value beyond far
// in magnitude moved to +-far, columns on the call's threads.
void fastmcd_body(double* x, int* n, int* p, int* h, int* krep, int* group_size,
                  double* cutoff, double* chi_median, int* trace, int* status,
                  double* raw_cov, double* raw_center, int* best_subset, double* mcd_det,
                  int* weights, double* hyperplane, int* n_on_plane, double* cons_cov,
                  double* center, double* cov, const double* loc, const double* scale,
                  double far, double* scaled = nullptr, const double* source = nullptr) {
  check_arguments(*n, *p, *h, *krep, *group_size);
  *group_size = usable_group_size(*n, *p, *h, *krep, *group_size);
  *status = kelvara::mcd_ok;  // the search writes only the exact-fit codes
  // The merged-data matrix serves only a partitioned search.
  const bool partitioned = kelvara::plan_groups(*n, *group_size, *krep).partitioned;
  // The work arrays are set up beside the scaling pass.
  std::unique_ptr<mcd_scratch> scratch;
  auto setup = [&] { scratch.reset(new mcd_scratch(*n, *p, partitioned ? *group_size : 0)); };
  if (loc) {
    // Into `scaled` when given (x is then left as it is), else in place;
    // from `source` when given, else from x.
    const long nn = *n;
    double* to = scaled ? scaled : x;
    const double* from = source ? source : x;
    pass_for_beside(*p, static_cast<double>(nn) * *p, setup, [&](int j) {
      const double* col = from + j * nn;
      double* out = to + j * nn;
      for (long i = 0; i < nn; ++i) {
        const double z = (col[i] - loc[j]) / scale[j];
        out[i] = std::fabs(z) > far ? (z < 0 ? -far : far) : z;
      }
    });
    x = to;
  } else {
    setup();
  }
  // clang-format off
  const mcd_outputs out{raw_cov, raw_center, best_subset, mcd_det, weights, status,
                        hyperplane, n_on_plane, cons_cov};
  fast_mcd run{out, scratch->arrays(center, cov), x, *n, *p, *h, *krep, *group_size,
               *cutoff, *chi_median, *trace};
  // clang-format on
  run.internal = true;
  run.run();
}

}  // namespace

extern "C" void kv_fastmcd(double* x, int* n, int* p, int* h, int* krep, int* group_size,
                           double* cutoff, double* chi_median, int* trace, int* status,
                           double* raw_cov, double* raw_center, int* best_subset,
                           double* mcd_det, int* weights, double* hyperplane,
                           int* n_on_plane, double* cons_cov, double* center,
                           double* cov) {
  double far = 0.0;  // (not read without loc)
  kv_mcd_search(x, n, p, nullptr, nullptr, &far, h, krep, group_size, cutoff, chi_median,
                trace, status, raw_cov, raw_center, best_subset, mcd_det, weights,
                hyperplane, n_on_plane, cons_cov, center, cov);
}

extern "C" void kv_mcd_search(double* x, int* n, int* p, double* loc, double* scale,
                              double* far, int* h, int* krep, int* group_size,
                              double* cutoff, double* chi_median, int* trace, int* status,
                              double* raw_cov, double* raw_center, int* best_subset,
                              double* mcd_det, int* weights, double* hyperplane,
                              int* n_on_plane, double* cons_cov, double* center,
                              double* cov) {
  host::run_entry([&] {
    fastmcd_body(x, n, p, h, krep, group_size, cutoff, chi_median, trace, status, raw_cov,
                 raw_center, best_subset, mcd_det, weights, hyperplane, n_on_plane,
                 cons_cov, center, cov, loc, scale, *far);
  });
}

// ---- the reweighting passes of the R layer -------------------------------------

namespace {

// Squared distances d(i) = sum_j (z(i, j) - shift(j))^2, z = x inv_root, of
// the rows first..last-1 of x (n rows, p columns).  z(i, j) is the sum over
// l = 1..j of inv_root(l, j) x(i, l) in increasing l, starting from 0, as
// the reference BLAS forms a matrix product (inv_root is upper triangular:
// the terms below its diagonal are zeros, which leave the sum as it is), and
// d sums over j in increasing order.  Eight rows are formed side by side:
// each row still has its own sums in its own order.
void root_distances(const double* x, long n, int p, const double* loc, const double* scale,
                    const double* inv_root, const double* shift, long first, long last,
                    double* out) {
  constexpr int w = 8;
  std::vector<double> xs(static_cast<size_t>(w) * p);
  for (long i0 = first; i0 < last; i0 += w) {
    const int m = static_cast<int>(std::min<long>(w, last - i0));
    // The prescaled values of these rows, (x - loc) / scale.
    for (int l = 0; l < p; ++l) {
      const double* xl = x + i0 + static_cast<long>(l) * n;
      for (int r = 0; r < m; ++r) xs[l * w + r] = (xl[r] - loc[l]) / scale[l];
    }
    double d[w] = {}, z[w];
    for (int j = 0; j < p; ++j) {
      for (int r = 0; r < w; ++r) z[r] = 0.0;
      for (int l = 0; l <= j; ++l) {
        const double b = inv_root[l + static_cast<long>(j) * p];
        if (b == 0.0) continue;
        const double* xl = xs.data() + l * w;
        if (m == w) {
          for (int r = 0; r < w; ++r) z[r] = z[r] + b * xl[r];
        } else {
          for (int r = 0; r < m; ++r) z[r] = z[r] + b * xl[r];
        }
      }
      for (int r = 0; r < m; ++r) {
        const double t = z[r] - shift[j];
        d[r] = d[r] + t * t;
      }
    }
    for (int r = 0; r < m; ++r) out[i0 + r] = d[r];
  }
}

}  // namespace

// Squared distances of the rows of the data x (n x p), prescaled as
// (x - loc) / scale, under k (inverse root, shift) pairs: out(, c) for pair
// c.  Row blocks run on the call's threads; each row's value is its own
// sum, whatever the blocks.
extern "C" void kv_mcd_distances(double* x, int* n, int* p, double* loc, double* scale,
                                 int* k, double* inv_roots, double* shifts, double* out) {
  host::run_entry([&] {
    const long nn = *n;
    const int pp = *p, kk = *k;
    if (nn < 1 || pp < 1 || kk < 1) host::fail("kv_mcd_distances: invalid dimensions");
    const long block = std::max(64L, (1L << 20) / (static_cast<long>(pp) * pp));
    const long nblocks = (nn + block - 1) / block;
    const long tasks = nblocks * kk;
    if (tasks > 2147483647L) host::fail("kv_mcd_distances: too many rows");
    pass_for(static_cast<int>(tasks), static_cast<double>(nn) * pp * pp * kk, [&](int t) {
      const long b = t % nblocks, c = t / nblocks;
      root_distances(x, nn, pp, loc, scale, inv_roots + c * pp * pp, shifts + c * pp,
                     b * block, std::min(nn, (b + 1) * block), out + c * nn);
    });
  });
}

namespace {

// colMeans() and cov() of the m cases `rows` (0-based, increasing; null: all
// n cases) of x (n rows, p columns), by the sums of R's own routines: the
// centers are long-double sums divided by m; the covariance uses the
// long-double mean corrected by a second pass over the deviations, and
// long-double sums of the products of the deviations from the (double)
// means, divided by m - 1.  Each sum runs over the cases in their order
// whatever the threads: the means by columns, the products by contiguous
// ranges of entries, one per thread, each passing over the cases in blocks
// so that the columns of a block stay in cache while every entry of the
// range adds its products (its running sum carried from block to block).
void case_moments(const double* x, long n, int p, const int* rows, long m, double* center,
                  double* cov) {
  auto at = [&](long k, int j) {
    return x[(rows ? rows[k] : k) + static_cast<long>(j) * n];
  };
  std::vector<double> mean(p);
  const double work = static_cast<double>(m) * p * (p + 3);
  pass_for(p, work, [&](int j) {
    long double sum = 0.0;
    for (long k = 0; k < m; ++k) sum += at(k, j);
    long double col = sum;
    col /= m;
    center[j] = static_cast<double>(col);
    long double tmp = sum / m;
    if (std::isfinite(static_cast<double>(tmp))) {
      long double dev = 0.0;
      for (long k = 0; k < m; ++k) dev += (at(k, j) - tmp);
      tmp = tmp + dev / m;
    }
    mean[j] = static_cast<double>(tmp);
  });
  // Entry (i, j), j <= i, of the lower triangle as number i (i + 1) / 2 + j.
  const int entries = p * (p + 1) / 2;
  std::vector<int> ei(entries), ej(entries);
  for (int i = 0, e = 0; i < p; ++i)
    for (int j = 0; j <= i; ++j, ++e) {
      ei[e] = i;
      ej[e] = j;
    }
  const int width =
      work < min_pass_work ? 1 : std::max(1, std::min(host::threads(), entries));
  const long n1 = m - 1;
  constexpr long block = 1024;
  host::parallel_for(width, [&](int part) {
    const int e0 = static_cast<int>(static_cast<long>(entries) * part / width);
    const int e1 = static_cast<int>(static_cast<long>(entries) * (part + 1) / width);
    std::vector<long double> acc(e1 - e0, 0.0L);
    std::vector<double> buf(rows ? static_cast<size_t>(block) * p : 0);
    for (long k0 = 0; k0 < m; k0 += block) {
      host::check_interrupt();
      const long len = std::min(block, m - k0);
      auto column = [&](int j) -> const double* {
        if (!rows) return x + k0 + static_cast<long>(j) * n;
        return buf.data() + static_cast<long>(j) * block;
      };
      if (rows)
        for (int j = 0; j < p; ++j)
          for (long r = 0; r < len; ++r) buf[j * block + r] = at(k0 + r, j);
      for (int e = e0; e < e1; ++e) {
        const double *xi = column(ei[e]), *xj = column(ej[e]);
        const long double xm = mean[ei[e]], ym = mean[ej[e]];
        long double sum = acc[e - e0];
        for (long r = 0; r < len; ++r) sum += (xi[r] - xm) * (xj[r] - ym);
        acc[e - e0] = sum;
      }
    }
    for (int e = e0; e < e1; ++e)
      cov[ei[e] + static_cast<long>(ej[e]) * p] =
          cov[ej[e] + static_cast<long>(ei[e]) * p] =
              static_cast<double>(acc[e - e0] / n1);
  });
}

}  // namespace

// colMeans() and cov() of the cases of x (n x p) flagged 1 in `keep` (all of
// them when *all is 1): center(p), cov(p, p); m is their number.
extern "C" void kv_mcd_moments(double* x, int* n, int* p, int* all, int* keep, int* m,
                               double* center, double* cov) {
  host::run_entry([&] {
    const long nn = *n;
    const int pp = *p;
    if (nn < 1 || pp < 1) host::fail("kv_mcd_moments: invalid dimensions");
    std::vector<int> rows;
    if (*all != 1) {
      for (long i = 0; i < nn; ++i)
        if (keep[i] == 1) rows.push_back(static_cast<int>(i));
    }
    const long mm = *all == 1 ? nn : static_cast<long>(rows.size());
    *m = static_cast<int>(mm);
    if (mm < 2) host::fail("kv_mcd_moments: fewer than 2 cases");
    case_moments(x, nn, pp, *all == 1 ? nullptr : rows.data(), mm, center, cov);
  });
}

namespace {

// The inverse Cholesky root and shift of the R layer's .mcd_root for the
// estimate (center, cov) in the units of the prescaling (loc, scale): the
// root of cov / tcrossprod(scale) by chol() (LAPACK dpotrf on the upper
// triangle, the lower zeroed), its inverse by backsolve() (BLAS dtrsm on the
// identity) and the shift ((center - loc) / scale) %*% inv_root by the BLAS
// product R's %*% takes for finite operands; the same routines with the same
// arguments, so the same numbers.  root_ok, else root_singular when chol()
// fails, root_not_finite when a value is not finite (R then takes other
// paths).
enum root_status { root_ok, root_singular, root_not_finite };
root_status inverse_root(int p, const double* loc, const double* scale,
                         const double* center, const double* cov, double* inv_root,
                         double* shift) {
  const long p2 = static_cast<long>(p) * p;
  std::vector<double> r(p2), v(p);
  for (int j = 0; j < p; ++j)
    for (int i = 0; i < p; ++i)
      r[i + static_cast<long>(j) * p] =
          i > j ? 0.0 : cov[i + static_cast<long>(j) * p] / (scale[i] * scale[j]);
  int info = 0;
  F77_CALL(dpotrf)("U", &p, r.data(), &p, &info FCONE);
  if (info != 0) return root_singular;
  std::fill(inv_root, inv_root + p2, 0.0);
  for (int j = 0; j < p; ++j) inv_root[j + static_cast<long>(j) * p] = 1.0;
  const double one = 1.0, zero = 0.0;
  const int ione = 1;
  F77_CALL(dtrsm)
  ("L", "U", "N", "N", &p, &p, &one, r.data(), &p, inv_root, &p FCONE FCONE FCONE FCONE);
  for (int j = 0; j < p; ++j) v[j] = (center[j] - loc[j]) / scale[j];
  auto finite = [](const double* a, long len) {
    return std::all_of(a, a + len, [](double t) { return std::isfinite(t); });
  };
  if (!finite(v.data(), p) || !finite(inv_root, p2)) return root_not_finite;
  if (p == 1)  // a 1 x 1 product: R's matrix-vector branch
    F77_CALL(dgemv)
    ("N", &ione, &ione, &one, v.data(), &ione, inv_root, &ione, &zero, shift,
     &ione FCONE);
  else
    F77_CALL(dgemv)
    ("T", &p, &p, &one, inv_root, &p, v.data(), &ione, &zero, shift, &ione FCONE);
  return finite(shift, p) ? root_ok : root_not_finite;
}

}  // namespace

namespace {

// Where the reweighting puts its results (see kv_mcd_reweight).
struct reweight_out {
  double* raw_mah;
  int *weights, *kept;
  double *center, *cov, *cl_center, *cl_cov, *mah, *cl_mah;
  int *classical, *done;
};

// The reweighting of the R layer (.mcd_reweight) in one call, so that the
// data cross from R once: the moments of all cases (cl_center, cl_cov), the
// squared distances raw_mah under the raw estimate's inverse root and shift
// (as kv_mcd_distances), the weights as R forms as.integer(raw_mah <=
// cutoff) (NA for a NaN distance), their sum `kept` (NA when a weight is),
// and, when more than p cases are kept, the moments of those cases (as
// kv_mcd_moments: cl_center and cl_cov's counterparts center and cov).
// Then, where it gives R's numbers, the rest: the kept cases' center with
// the covariance (cov * factor[0]) * factor[1] replace the raw estimate
// (raw_center, raw_cov) when chol() accepts that covariance (done = 2; done
// = 1 when the raw estimate stays), mah holds the squared distances under
// the estimate chosen and, when the classical covariance has a root
// (classical = 1), cl_mah those under it.  With done = 0 the R layer
// finishes from the moments.
void reweight(const double* x, long nn, int pp, const double* loc, const double* scale,
              const double* inv_root, const double* shift, double cutoff,
              const double* factor, const double* raw_center, const double* raw_cov,
              const reweight_out& o) {
  if (nn < 2 || pp < 1) host::fail("kv_mcd_reweight: invalid dimensions");
  *o.done = 0;
  *o.classical = 0;
  case_moments(x, nn, pp, nullptr, nn, o.cl_center, o.cl_cov);
  const long block = std::max(64L, (1L << 20) / (static_cast<long>(pp) * pp));
  const long nblocks = (nn + block - 1) / block;
  if (2 * nblocks > 2147483647L) host::fail("kv_mcd_reweight: too many rows");
  std::vector<long> count(nblocks, 0);
  std::vector<char> na(nblocks, 0);
  const double work = static_cast<double>(nn) * pp * pp;
  pass_for(static_cast<int>(nblocks), work, [&](int b) {
    const long lo = b * block, hi = std::min(nn, lo + block);
    root_distances(x, nn, pp, loc, scale, inv_root, shift, lo, hi, o.raw_mah);
    long m = 0;
    for (long i = lo; i < hi; ++i) {
      if (std::isnan(o.raw_mah[i])) {
        o.weights[i] = NA_INTEGER;
        na[b] = 1;
      } else {
        o.weights[i] = o.raw_mah[i] <= cutoff ? 1 : 0;
        m += o.weights[i];
      }
    }
    count[b] = m;
  });
  long total = 0;
  bool any_na = false;
  for (long b = 0; b < nblocks; ++b) {
    total += count[b];
    any_na = any_na || na[b];
  }
  *o.kept = any_na ? NA_INTEGER : static_cast<int>(total);
  if (any_na) return;
  const long p2 = static_cast<long>(pp) * pp;
  // The estimate chosen: the reweighted one when its covariance has a
  // Cholesky root, else the raw one.
  std::vector<double> est_center(raw_center, raw_center + pp),
      est_cov(raw_cov, raw_cov + p2);
  bool reweighted = false;
  if (total > pp) {
    std::vector<int> rows;
    rows.reserve(total);
    for (long i = 0; i < nn; ++i)
      if (o.weights[i] == 1) rows.push_back(static_cast<int>(i));
    case_moments(x, nn, pp, rows.data(), total, o.center, o.cov);
    std::vector<double> c_cov(p2), r(p2);
    for (long t = 0; t < p2; ++t) c_cov[t] = o.cov[t] * factor[0] * factor[1];
    for (int j = 0; j < pp; ++j)
      for (int i = 0; i < pp; ++i)
        r[i + static_cast<long>(j) * pp] =
            i > j ? 0.0 : c_cov[i + static_cast<long>(j) * pp];
    int info = 0;
    F77_CALL(dpotrf)("U", &pp, r.data(), &pp, &info FCONE);
    if (info == 0) {
      est_center.assign(o.center, o.center + pp);
      est_cov = c_cov;
      reweighted = true;
    }
  }
  // The roots of the estimate and of the classical covariance, and the
  // distances under both in one pass.
  std::vector<double> roots(2 * p2), shifts(2 * pp);
  if (inverse_root(pp, loc, scale, est_center.data(), est_cov.data(), roots.data(),
                   shifts.data()) != root_ok)
    return;
  const root_status cl = inverse_root(pp, loc, scale, o.cl_center, o.cl_cov,
                                      roots.data() + p2, shifts.data() + pp);
  if (cl == root_not_finite) return;
  const int k = cl == root_ok ? 2 : 1;
  pass_for(static_cast<int>(k * nblocks), work * k, [&](int t) {
    const long b = t % nblocks, lo = b * block, hi = std::min(nn, lo + block);
    const int which = static_cast<int>(t / nblocks);
    root_distances(x, nn, pp, loc, scale, roots.data() + which * p2,
                   shifts.data() + which * pp, lo, hi, which == 0 ? o.mah : o.cl_mah);
  });
  *o.classical = k == 2 ? 1 : 0;
  *o.done = reweighted ? 2 : 1;
}

}  // namespace

extern "C" void kv_mcd_reweight(double* x, int* n, int* p, double* loc, double* scale,
                                double* inv_root, double* shift, double* cutoff,
                                double* factor, double* raw_center, double* raw_cov,
                                double* raw_mah, int* weights, int* kept, double* center,
                                double* cov, double* cl_center, double* cl_cov,
                                double* mah, double* cl_mah, int* classical, int* done) {
  host::run_entry([&] {
    reweight(x, *n, *p, loc, scale, inv_root, shift, *cutoff, factor, raw_center, raw_cov,
             {raw_mah, weights, kept, center, cov, cl_center, cl_cov, mah, cl_mah,
              classical, done});
  });
}

namespace {

// Per-column centers and spreads of x (n x p) measured on the rows `rows`
// (1-based, m of them), as the R layer defines them: center = median,
// spread = median absolute deviation, else the mean absolute deviation of
// all rows, else 1; big = the largest absolute value of (x - center) /
// spread.  Columns run on the call's threads.
void prescale_columns(const double* x, long nn, int pp, const int* rows, long mm,
                      double* loc, double* scale, double* big) {
  if (nn < 1 || pp < 1 || mm < 1) host::fail("kv_mcd_prescale: invalid dimensions");
  for (long k = 0; k < mm; ++k)
    if (rows[k] < 1 || rows[k] > nn)
      host::fail("kv_mcd_prescale: row %d outside 1..%ld", rows[k], nn);
  std::vector<double> lo(pp), hi(pp);
  pass_for(pp, 10.0 * nn * pp, [&](int j) {
    const double* col = x + j * nn;
    std::vector<double> v(mm), work;
    for (long k = 0; k < mm; ++k) v[k] = col[rows[k] - 1];
    const double c = kelvara::r_median(v.data(), mm, work);
    for (long k = 0; k < mm; ++k) v[k] = std::fabs(v[k] - c);
    double s = kelvara::r_median(v.data(), mm, work);
    if (!(s > 0)) {
      v.resize(nn);
      for (long i = 0; i < nn; ++i) v[i] = std::fabs(col[i] - c);
      s = kelvara::r_mean(v.data(), nn);
    }
    loc[j] = c;
    scale[j] = s > 0 ? s : 1.0;
    double a = 0.0, b = 0.0;
    for (long i = 0; i < nn; ++i) {
      const double z = (col[i] - c) / scale[j];
      if (i == 0 || z < a) a = z;
      if (i == 0 || z > b) b = z;
    }
    lo[j] = a;
    hi[j] = b;
  });
  *big = std::max(-*std::min_element(lo.begin(), lo.end()),
                  *std::max_element(hi.begin(), hi.end()));
}

}  // namespace

extern "C" void kv_mcd_prescale(double* x, int* n, int* p, int* rows, int* m, double* loc,
                                double* scale, double* big) {
  host::run_entry([&] { prescale_columns(x, *n, *p, rows, *m, loc, scale, big); });
}

// The prescaling, the search and the reweighting in one call, so that the
// data cross from R once: the search runs when every spread's square is a
// normal double and, with h = n, no prescaled value lies beyond far (the
// conditions of the R layer's .mcd_search_check); otherwise status is -1
// and the R layer reports the cause.  The search works on a prescaled copy,
// x stays as it is.  After a regular multivariate search with h < n, the raw
// estimate in data units is formed as the R layer forms it (.mcd_raw_search,
// then times the finite-sample factor small_raw) into rw_center and rw_cov,
// and the reweighting (kv_mcd_reweight, factors rw_factor) runs on it where
// the R layer would form its distances in compiled code; rw_done = 0 when it
// did not run.
extern "C" void kv_mcd_scaled_search(
    void* data, int* n, int* p, int* rows, int* m, double* loc, double* scale, double* big,
    double* far, int* h, int* krep, int* group_size, double* cutoff, double* chi_median,
    int* trace, int* status, double* raw_cov, double* raw_center, int* best_subset,
    double* mcd_det, int* weights, double* hyperplane, int* n_on_plane, double* cons_cov,
    double* center, double* cov, double* small_raw, double* rw_factor, double* rw_center,
    double* rw_cov, double* raw_mah, int* rw_weights, int* kept, double* kept_center,
    double* kept_cov, double* cl_center, double* cl_cov, double* mah, double* cl_mah,
    int* classical, int* rw_done) {
  host::run_entry([&] {
    *rw_done = 0;
    const long nn = *n;
    const int pp = *p;
    if (nn < 1 || pp < 1) host::fail("kv_mcd_prescale: invalid dimensions");
    // The data, read in place (data = list(x)).
    const double* x = host::shared_doubles(data, 0, static_cast<std::size_t>(nn) * pp,
                                           "kv_mcd_scaled_search: the data");
    prescale_columns(x, nn, pp, rows, *m, loc, scale, big);
    bool ok = !(*big > *far && *h == *n);
    for (int j = 0; j < pp; ++j) {
      const double sq = scale[j] * scale[j];
      if (sq < DBL_MIN || sq > DBL_MAX) ok = false;
    }
    if (!ok) {
      *status = -1;  // not searched
      return;
    }
    // Every value is written by the scaling pass before it is read.
    std::unique_ptr<double[]> scaled(new double[static_cast<size_t>(nn) * pp]);
    fastmcd_body(scaled.get(), n, p, h, krep, group_size, cutoff, chi_median, trace, status,
                 raw_cov, raw_center, best_subset, mcd_det, weights, hyperplane, n_on_plane,
                 cons_cov, center, cov, loc, scale, *far, scaled.get(), x);
    scaled.reset();
    if (*status != kelvara::mcd_ok || *h >= *n || pp < 2 ||
        !(*big < std::ldexp(1.0, 1022)))
      return;
    const long p2 = static_cast<long>(pp) * pp;
    for (int j = 0; j < pp; ++j) rw_center[j] = raw_center[j] * scale[j] + loc[j];
    for (int j = 0; j < pp; ++j)
      for (int i = 0; i < pp; ++i)
        rw_cov[i + j * pp] = cons_cov[i + j * pp] * (scale[i] * scale[j]) * *small_raw;
    std::vector<double> inv_root(p2), shift(pp);
    if (inverse_root(pp, loc, scale, rw_center, rw_cov, inv_root.data(), shift.data()) !=
        root_ok)
      return;
    reweight(x, nn, pp, loc, scale, inv_root.data(), shift.data(), *cutoff, rw_factor,
             rw_center, rw_cov,
             {raw_mah, rw_weights, kept, kept_center, kept_cov, cl_center, cl_cov, mah,
              cl_mah, classical, rw_done});
  });
}
