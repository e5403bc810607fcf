// Minimum covariance determinant (FAST-MCD) and the kernels it shares with
// least trimmed squares.  The kernels follow the conventions stated in
// mcd.h: arguments by reference, 1-based column-major arrays in the
// descriptions; the code below indexes from 0 through small helpers.
#include "mcd.h"

#define USE_FC_LEN_T
#include <R_ext/BLAS.h>
#include <R_ext/Lapack.h>
#ifndef FCONE
#define FCONE
#endif

#include <algorithm>
#include <cmath>
#include <vector>

#include "host.h"
#include "registration.h"

namespace host = kelvara::host;

namespace {

// Tolerance below which a projection on a hyperplane counts as zero: the
// case lies on the hyperplane.
constexpr double on_plane_tol = 1e-7;

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
  return static_cast<int>(unifrnd_() * static_cast<double>(range)) + 1;
}

// The halving-gap sort of the specification of these routines; kept for
// inputs the fast path cannot order (NaN).
template <class T>
void halving_gap_sort(T* a, int n) {
  for (int gap = n / 2; gap > 0; gap /= 2) {
    for (int i = 0; i < n - gap; ++i) {
      for (int j = i; j >= 0 && a[j] > a[j + gap]; j -= gap) std::swap(a[j], a[j + gap]);
    }
  }
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

void rfrdraw_(int* a, const int* n, const int* /*ntot*/, const int* mini, const int* ngroup,
              const int* /*kmini*/) {
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
    // Both operands pass through single precision, as in the reference
    // counts; exact below 2^24.
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

void rfmcduni_(const double* w, const int* ncas, const int* jqu, double* slutn, double* bstd,
               double* aw, double* aw2, const double* factor, int* len) {
  const int h = *jqu;
  const int m = *ncas - h + 1;
  const double dh = h;
  for (int j = 0; j < m; ++j) slutn[j] = 0.0;
  double sq = 0.0, sqmin = 0.0;
  int ndup = 1;
  for (int j = 0; j < m; ++j) {
    // Each window sum is formed afresh; only the sum of squares is updated.
    double sum = 0.0;
    for (int i = 0; i < h; ++i) {
      sum += w[j + i];
      if (j == 0) sq += w[i] * w[i];
    }
    aw[j] = sum;
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
  *bstd = *factor * std::sqrt(sqmin / dh);
}

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

double rfmahad_(const double* rec, const int* p, const double* means, const double* sigma) {
  const int pp = *p;
  double t = 0.0;
  for (int j = 0; j < pp; ++j) {
    const double dj = rec[j] - means[j];
    for (int k = 0; k < pp; ++k) t += dj * (rec[k] - means[k]) * sigma[j + k * pp];
  }
  return t;
}

void rfdis_(const double* da, const double* z, double* ndist, const int* nm, const int* /*nv*/,
            const int* nn, const int* p, const double* means) {
  const long ld = *nm;
  for (int i = 0; i < *nn; ++i) {
    double t = 0.0;
    for (int j = 0; j < *p; ++j) t += z[j] * (da[i + j * ld] - means[j]);
    ndist[i] = std::fabs(t);
  }
}

void transfo_(double* cov, double* means, double* dat, const double* med, const double* mad,
              const int* p, const int* n) {
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
    for (long c = 0; c < static_cast<long>(p) * p; ++c) covs[to + c * ld] = covs[from + c * ld];
    for (int c = 0; c < p; ++c) centers[to + c * ld] = centers[from + c * ld];
    key[k] = key[k - 1];
    key[k + 10] = key[k + 9];
  }
  for (int c = 0; c < p; ++c) centers[first + c * ld] = means[c];
  // Element (r, c) goes to column (r - 1) * p + c.
  for (int r = 0; r < p; ++r) {
    for (int c = 0; c < p; ++c) covs[first + (static_cast<long>(r) * p + c) * ld] = cov[r + c * p];
  }
  key[0] = trial;
  key[10] = count;
}

}  // namespace

extern "C" {

void rfstore2_(const int* p, double* covs, double* centers, const int* /*d1*/,
               const int* /*d2*/, const int* /*d3*/, const double* cov, const double* means,
               const int* i, double* keys, const int* count) {
  push_list_entry(*p, covs, centers, 10, 0, 0, cov, means, *i, keys, *count);
}

void rfstore1_(const int* p, double* covs, double* centers, const int* /*d1*/,
               const int* /*d2*/, const int* /*d3*/, const double* cov, const double* means,
               const int* i, const int* rows, const int* g, double* keys, const int* count) {
  push_list_entry(*p, covs, centers, *rows, (*g - 1) * 10, *g - 1, cov, means, *i, keys,
                  *count);
}

void rfexact_(int* count, const int* nn, const double* ndist, const int* /*p1*/, const int* p,
              double* sscp, double* rec, const double* dat, double* cov, double* means,
              double* sd, const int* /*d*/, int* flags) {
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

void rs_(const int* nm, const int* n, const double* a, double* w, const int* matz, double* z,
         double* /*fv1*/, double* /*fv2*/, int* ierr) {
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
  F77_CALL(dsyevr)(&jobz, &range, &uplo, &nn, work_a.data(), &nn, &vl, &vu, &il, &iu,
                   &abstol, &found, w, zz.data(), &nn, isuppz.data(), &work_query, &lwork,
                   &iwork_query, &liwork, &info FCONE FCONE FCONE);
  if (info != 0) {
    *ierr = info;
    return;
  }
  lwork = static_cast<int>(work_query);
  liwork = iwork_query;
  std::vector<double> work(std::max(1, lwork));
  std::vector<int> iwork(std::max(1, liwork));
  F77_CALL(dsyevr)(&jobz, &range, &uplo, &nn, work_a.data(), &nn, &vl, &vu, &il, &iu,
                   &abstol, &found, w, zz.data(), &nn, isuppz.data(), work.data(), &lwork,
                   iwork.data(), &liwork, &info FCONE FCONE FCONE);
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
