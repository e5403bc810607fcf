// Robust regression: subsampling, fast-S, the MM step and the M-S
// estimator.  See lmrob.h.
#include "lmrob.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <exception>
#include <limits>
#include <memory>
#include <type_traits>
#include <utility>
#include <vector>

#define USE_FC_LEN_T
#include <R_ext/BLAS.h>
#include <R_ext/Lapack.h>
#include <Rmath.h>
#if defined(_OPENMP)
#include <omp.h>
#endif
#ifndef FCONE
#define FCONE
#endif

#include "host.h"
#include "l1.h"
#include "psi.h"
#include "scale.h"
#include "utilities.h"

namespace kelvara {

// ---- non-singular subsampling ------------------------------------------

void sample_noreplace(int* out, int n, int k, int* work) {
  if (k > n) host::fail("sample_noreplace: cannot draw %d of %d indices", k, n);
  for (int i = 0; i < n; ++i) work[i] = i;
  int m = n;
  for (int i = 0; i < k; ++i) {
    int j = static_cast<int>(static_cast<double>(m) * host::unif_rand());
    if (j >= m) j = m - 1;  // unif_rand() < 1, so only a guard
    out[i] = work[j];
    work[j] = work[m - 1];
    --m;
  }
}

void equilibrate_design(const double* x, int n, int p, double* xe, double* row_scale,
                        double* col_scale, int* row_equ, int* col_equ) {
  if (n > 0 && p > 0) std::copy(x, x + static_cast<std::size_t>(n) * p, xe);
  double rowcnd = 0.0, colcnd = 0.0, amax = 0.0;
  int info = 0;
  const int lda = std::max(n, 1);  // LAPACK refuses 0 even for an empty matrix
  F77_CALL(dgeequ)
  (&n, &p, xe, &lda, row_scale, col_scale, &rowcnd, &colcnd, &amax, &info);
  if (info != 0) {
    if (info < 0) host::fail("dgeequ: illegal argument in %i. argument", -info);
    if (info > n) host::fail("dgeequ: column %i is exactly zero.", info - n);
    host::fail("dgeequ: row %i is exactly zero.", info);
  }
  char equed[2] = "N";
  F77_CALL(dlaqge)
  (&n, &p, xe, &lda, row_scale, col_scale, &rowcnd, &colcnd, &amax, equed FCONE);
  *row_equ = (equed[0] == 'B' || equed[0] == 'R') ? 1 : 0;
  *col_equ = (equed[0] == 'B' || equed[0] == 'C') ? 1 : 0;
}

int subsample(const double* x, const double* y, int n, int p, double* beta,
              int* perm_work, int* idc, int* var_order, double* lu, double* col_work,
              int* pivot, const double* row_scale, const double* col_scale, int row_equ,
              int col_equ, int sample, int max_singular, int nonsingular, double tol,
              std::int64_t* singular) {
  if (p > n) host::fail("subsample: cannot draw %d of %d observations", p, n);
  const int one = 1;
  int m = n;  // observations left to replace from, in replacement mode
  int attempts = 0;
  // x(i, k): variable var_order[k] of observation i on the equilibrated copy.
  auto xv = [&](int i, int k) {
    return x[i + static_cast<std::size_t>(var_order[k]) * n];
  };
  auto LU = [&](int i, int j) -> double& { return lu[i + j * p]; };

  for (;;) {  // one attempt of restart mode per pass
    if (sample > 0)
      sample_noreplace(idc, n, n, perm_work);
    else
      for (int i = 0; i < n; ++i) idc[i] = i;
    for (int k = 0; k < p; ++k) var_order[k] = k;

    bool restart = false;
    int j = 0;
    while (j < p) {
      const int obs = idc[j];
      // Column j of the factorisation, from the columns accepted before it.
      if (j == 0) {
        for (int k = 0; k < p; ++k) col_work[k] = xv(obs, k);
      } else {
        for (int i = 0; i < j; ++i) LU(i, j) = xv(obs, i);
        F77_CALL(dtrsv)("L", "N", "U", &j, lu, &p, &LU(0, j), &one FCONE FCONE FCONE);
        for (int k = j; k < p; ++k) {
          double s = 0.0;
          for (int i = 0; i < j; ++i) s += LU(k, i) * LU(i, j);
          col_work[k] = xv(obs, k) - s;
        }
      }
      if (j < p - 1) {
        // Partial pivoting over variables; the first of equal maxima wins.
        int kmax = j;
        double amax = std::fabs(col_work[j]);
        for (int k = j + 1; k < p; ++k)
          if (std::fabs(col_work[k]) > amax) {
            amax = std::fabs(col_work[k]);
            kmax = k;
          }
        if (amax >= tol) {
          pivot[j] = kmax;
          std::swap(col_work[j], col_work[kmax]);
          std::swap(var_order[j], var_order[kmax]);
          for (int k = j + 1; k < p; ++k) LU(k, j) = col_work[k] / col_work[j];
          for (int i = 0; i < j; ++i) std::swap(LU(j, i), LU(kmax, i));
        }
      }
      if (std::fabs(col_work[j]) < tol) {
        if (singular) ++*singular;
        if (nonsingular) {
          // Replace the observation by the next unused one from the end;
          // the columns already accepted stand.
          --m;
          idc[j] = idc[m];
          if (m > j) continue;
          return SUBSAMPLE_NO_REPLACEMENT;
        }
        if (++attempts < max_singular) {
          // A restart loop over singular draws may run without end.
          host::check_interrupt();
          restart = true;
          break;
        }
        return SUBSAMPLE_TOO_MANY_SINGULAR;
      }
      LU(j, j) = col_work[j];
      ++j;
    }
    if (!restart) break;
  }

  // Exact fit: solve A' beta = y on the chosen rows, A = L U, then undo the
  // equilibration and the interchanges of variables.
  if (p <= 0) return SUBSAMPLE_OK;
  for (int i = 0; i < p; ++i) {
    beta[i] = y[idc[i]];
    if (row_equ) beta[i] = beta[i] * row_scale[idc[i]];
  }
  F77_CALL(dtrsv)("U", "T", "N", &p, lu, &p, beta, &one FCONE FCONE FCONE);
  F77_CALL(dtrsv)("L", "T", "U", &p, lu, &p, beta, &one FCONE FCONE FCONE);
  if (col_equ)
    for (int i = 0; i < p; ++i) beta[i] = beta[i] * col_scale[var_order[i]];
  for (int i = p - 2; i >= 0; --i) std::swap(beta[i], beta[pivot[i]]);
  return SUBSAMPLE_OK;
}

void warn_subsample_failed(int status) {
  if (status == SUBSAMPLE_NO_REPLACEMENT)
    host::warn("subsample: could not find non-singular subsample.");
  else if (status == SUBSAMPLE_TOO_MANY_SINGULAR)
    host::warn(
        "Too many singular resamples. Aborting subsample().\n"
        " See parameter subsampling in help of lmrob.config().");
}

subsample_workspace::subsample_workspace(const double* x, int n_, int p_)
    : n(n_),
      p(p_),
      xe(static_cast<std::size_t>(n_) * p_),
      row_scale(n_),
      col_scale(p_),
      lu(static_cast<std::size_t>(p_) * p_),
      col_work(p_),
      perm_work(n_),
      idc(n_),
      var_order(p_),
      pivot(std::max(p_, 1)) {
  equilibrate_design(x, n, p, xe.data(), row_scale.data(), col_scale.data(), &row_equ,
                     &col_equ);
}

int subsample_workspace::draw(const double* y, double* beta, int max_singular,
                              int nonsingular, double tol) {
  return subsample(xe.data(), y, n, p, beta, perm_work.data(), idc.data(),
                   var_order.data(), lu.data(), col_work.data(), pivot.data(),
                   row_scale.data(), col_scale.data(), row_equ, col_equ, 1, max_singular,
                   nonsingular, tol, &singular);
}

// ---- weighted least squares ---------------------------------------------

namespace {

// r = y - x beta, x of n rows and p columns, a block of rows at a time:
// each r[i] takes the columns in order, r[i] += (-beta[j]) x[i, j], the
// arithmetic of a column-by-column matrix-vector product, but the block of
// residuals stays in the cache while visit(first, last) makes a further
// pass over it (the M-scale sum, the weights of the next step), so that the
// whole vector is not read again.
// r[i] = (r[i] + t0 x0[i]) + t1 x1[i] for i < m, two rows at a time: the
// operations of two column updates, in their order, on each value.
inline void add_scaled2(double t0, const double* x0, double t1, const double* x1, int m,
                        double* r) {
  int i = 0;
  for (; i + 1 < m; i += 2) {
    double_pair a, b0, b1;
    std::memcpy(&a, r + i, sizeof a);
    std::memcpy(&b0, x0 + i, sizeof b0);
    std::memcpy(&b1, x1 + i, sizeof b1);
    a += t0 * b0;
    a += t1 * b1;
    std::memcpy(r + i, &a, sizeof a);
  }
  if (i < m) {
    r[i] += t0 * x0[i];
    r[i] += t1 * x1[i];
  }
}

template <class Visit>
void residuals_then(const double* x, const double* y, int n, int p, const double* beta,
                    double* r, Visit&& visit, int row0 = 0, int row_end = -1) {
  constexpr int block = 512;
  const int last = row_end < 0 ? n : row_end;
  for (int i0 = row0; i0 < last; i0 += block) {
    const int i1 = std::min(last, i0 + block);
    for (int i = i0; i < i1; ++i) r[i] = y[i];
    int j = 0;
    for (; j + 1 < p; j += 2)
      add_scaled2(-beta[j], x + static_cast<std::size_t>(j) * n + i0, -beta[j + 1],
                  x + static_cast<std::size_t>(j + 1) * n + i0, i1 - i0, r + i0);
    if (j < p) {
      const double t = -beta[j];
      const double* xj = x + static_cast<std::size_t>(j) * n;
      for (int i = i0; i < i1; ++i) r[i] += t * xj[i];
    }
    visit(i0, i1);
  }
}

// Passes over the whole data split into fixed chunks of rows (the chunks of
// the least-squares cross-product; their size is a multiple of the residual
// blocks, so the blocks stay where they were).  The chunks run on all threads
// when the caller is not already on one of many; a sum is made per chunk and
// the chunks' sums are added in chunk order, so every value is the same for
// every thread count.  With one chunk (n <= chunk_rows) a sum is the plain
// sum in index order.
constexpr int pass_chunk = wls_workspace::chunk_rows;
// Passes of fewer chunks stay on the calling thread: starting and joining
// the threads costs more than a quarter of such a pass gains, and far more
// when other processes hold the cores.
constexpr int min_split_chunks = 4;

// The number of chunks of n rows and the end of chunk c (no int overflow
// for n near INT_MAX).
inline int chunk_count(int n) { return n / pass_chunk + (n % pass_chunk != 0 ? 1 : 0); }
inline int chunk_end(int n, int c) {
  return n - c * pass_chunk <= pass_chunk ? n : (c + 1) * pass_chunk;
}

// body(c, r0, r1) for each chunk c of rows r0..r1-1.
template <class Body>
void over_chunks(int n, Body&& body) {
  const int nc = chunk_count(n);
  host::parallel_chunks(
      nc, [&](int c) { body(c, c * pass_chunk, chunk_end(n, c)); },
      min_split_chunks);
}

void residuals(const double* x, const double* y, int n, int p, const double* beta,
               double* r) {
  over_chunks(n, [&](int, int r0, int r1) {
    residuals_then(x, y, n, p, beta, r, [](int, int) {}, r0, r1);
  });
}

// w[i] = wgt(r[i] / s), over the chunks.
void weights_of(const double* r, double s, int n, const double* k, int ipsi, double* w) {
  over_chunks(n, [&](int, int r0, int r1) { fill_wgt(r, s, r0, r1, k, ipsi, w); });
}

// The dgels workspace length for n x p problems with one right-hand side
// (n >= p >= 1), found once per call by a workspace query.
int dgels_workspace(int n, int p, int trace_level) {
  const int nrhs = 1, query = -1;
  double optimal = 0.0, a = 0.0, rhs = 0.0;
  int info = 0;
  F77_CALL(dgels)("N", &n, &p, &nrhs, &a, &n, &rhs, &n, &optimal, &query, &info FCONE);
  int lwork;
  if (info != 0) {
    host::warn("problem determining optimal block size, using minimum");
    lwork = 2 * p;
  } else {
    lwork = static_cast<int>(optimal);
  }
  if (trace_level > 3) host::print("optimal block size: %d\n", lwork);
  return lwork;
}

// The failure of a weighted least-squares fit whose weighted design dgels
// found rank-deficient.
[[noreturn]] void fail_rank_deficient(int info, const double* weights, int n,
                                      int trace_level) {
  if (trace_level > 2) {
    host::print("robustness weights in last step: ");
    disp_vec(weights, n);
  }
  host::fail("dgels: weighted design matrix not of full rank (column %d). Exiting.",
             info);
}

}  // namespace

wls_workspace::wls_workspace(int n, int p, bool reference_, int trace_level_)
    : reference(reference_),
      trace_level(trace_level_),
      lwork(std::max(dgels_workspace(n, p, trace_level_), 1)),
      weights(n),
      res(n) {
  if (reference) {
    wy.resize(n);
    wx.resize(static_cast<std::size_t>(n) * p);
    work.resize(lwork);
  } else {
    block.resize(static_cast<std::size_t>(block_rows) * (p + 1));
    root_w.resize(block_rows);
    col_ptr.resize(p + 1);
    src_ptr.resize(p + 1);
    col_work.resize(3 * static_cast<std::size_t>(p + 1));
    tri.resize(static_cast<std::size_t>(p) * (p + 1));
    col_ss.resize(p + 1);
  }
}

int wls_workspace::dgels_fit(const double* x, const double* y, const double* w, int n,
                             int p, double* beta, bool no_throw) {
  // Allocated here when the streaming core hands a fit over for the first time.
  if (wy.size() < static_cast<std::size_t>(n)) wy.resize(n);
  wx.resize(static_cast<std::size_t>(n) * p);
  work.resize(lwork);
  for (int i = 0; i < n; ++i) wy[i] = std::sqrt(w[i]);
  for (int j = 0; j < p; ++j) {
    const double* xj = x + static_cast<std::size_t>(j) * n;
    double* wxj = wx.data() + static_cast<std::size_t>(j) * n;
    for (int i = 0; i < n; ++i) wxj[i] = xj[i] * wy[i];
  }
  for (int i = 0; i < n; ++i) wy[i] = y[i] * wy[i];
  const int nrhs = 1;
  int info = 0;
  F77_CALL(dgels)
  ("N", &n, &p, &nrhs, wx.data(), &n, wy.data(), &n, work.data(), &lwork, &info FCONE);
  if (info < 0) host::fail("dgels: illegal argument in %i. argument.", -info);
  if (info > 0) {
    if (no_throw) return info;
    fail_rank_deficient(info, w, n, trace_level);
  }
  std::copy(wy.begin(), wy.begin() + p, beta);
  return 0;
}

namespace {

// Kernels on up to four columns c[0..G-1] of a block of m rows at once: their
// sums run side by side (in registers) in one pass over the rows instead of
// one column after another.  Rows go in pairs, with a partial sum for each
// row of the pair, so that the compiler can pack the pair into one vector
// operation.

// c[t] = sqrt(w) src[t]; ss[t] receives the sum of squares of c[t].
template <int G>
void load_columns(const double* const* src, const double* sw, int m, double* const* c,
                  double* ss) {
  double a[G] = {}, b[G] = {};
  int i = 0;
  for (; i + 1 < m; i += 2) {
    const double s0 = sw[i], s1 = sw[i + 1];
    for (int t = 0; t < G; ++t) {
      const double v0 = src[t][i] * s0, v1 = src[t][i + 1] * s1;
      c[t][i] = v0;
      c[t][i + 1] = v1;
      a[t] += v0 * v0;
      b[t] += v1 * v1;
    }
  }
  for (; i < m; ++i)
    for (int t = 0; t < G; ++t) {
      const double v = src[t][i] * sw[i];
      c[t][i] = v;
      a[t] += v * v;
    }
  for (int t = 0; t < G; ++t) ss[t] = a[t] + b[t];
}

// dots[t] = v' c[t].
template <int G, class P>
void dot_columns(const double* v, const P* c, int m, double* dots) {
  double a[G] = {}, b[G] = {};
  int i = 0;
  for (; i + 1 < m; i += 2) {
    const double v0 = v[i], v1 = v[i + 1];
    for (int t = 0; t < G; ++t) {
      a[t] += v0 * c[t][i];
      b[t] += v1 * c[t][i + 1];
    }
  }
  for (; i < m; ++i)
    for (int t = 0; t < G; ++t) a[t] += v[i] * c[t][i];
  for (int t = 0; t < G; ++t) dots[t] = a[t] + b[t];
}

// c[t] -= f[t] v; returns the sum of squares of the new c[0].
template <int G>
double update_columns(const double* v, double* const* c, int m, const double* f) {
  double ss0 = 0.0, ss1 = 0.0;
  int i = 0;
  for (; i + 1 < m; i += 2) {
    const double v0 = v[i], v1 = v[i + 1];
    for (int t = 0; t < G; ++t) {
      c[t][i] -= f[t] * v0;
      c[t][i + 1] -= f[t] * v1;
    }
    ss0 += c[0][i] * c[0][i];
    ss1 += c[0][i + 1] * c[0][i + 1];
  }
  for (; i < m; ++i) {
    for (int t = 0; t < G; ++t) c[t][i] -= f[t] * v[i];
    ss0 += c[0][i] * c[0][i];
  }
  return ss0 + ss1;
}

// Runs kernel<G> on the columns first..last-1 in groups of at most four;
// returns the value of the first group's call.
template <typename K>
double in_groups(int first, int last, K&& kernel) {
  double first_value = 0.0;
  for (int k = first; k < last;) {
    const int g = std::min(4, last - k);
    double v = 0.0;
    switch (g) {
      case 4: v = kernel(k, std::integral_constant<int, 4>()); break;
      case 3: v = kernel(k, std::integral_constant<int, 3>()); break;
      case 2: v = kernel(k, std::integral_constant<int, 2>()); break;
      default: v = kernel(k, std::integral_constant<int, 1>()); break;
    }
    if (k == first) first_value = v;
    k += g;
  }
  return first_value;
}

}  // namespace

// The triangle T = [R | z] (p rows, p + 1 columns, column-major) starts at 0;
// each block of rows B = sqrt(w) [x | y] is stacked under it and reduced to
// zero column by column by the reflection H = I - tau v v' with v = (1, v_B)
// acting on row j of T and on B (the rows of T above j do not take part, its
// rows below j are 0 in columns <= j).  So the fit is a Householder QR of the
// whole weighted design, applied a block at a time while the block is in
// the cache.  Each reflection takes two fused passes over the block: the
// products with every later column, then their updates together with the
// norm of the next column; the loading pass also sums the squares of each
// column, which serves as the range check.
bool wls_workspace::stream(const double* x, const double* y, const double* w, int n,
                           int p, double* beta) {
  const int q = p + 1;
  double* T = tri.data();
  double* sw = root_w.data();
  double** col = col_ptr.data();
  const double** src = src_ptr.data();
  double* blk_ss = col_work.data();  // q values each
  double* dots = blk_ss + q;
  double* f = dots + q;
  std::fill(tri.begin(), tri.end(), 0.0);
  std::fill(col_ss.begin(), col_ss.end(), 0.0);
  for (int row0 = 0; row0 < n; row0 += block_rows) {
    const int m = std::min(block_rows, n - row0);
    for (int i = 0; i < m; ++i) sw[i] = std::sqrt(w[row0 + i]);
    for (int j = 0; j < q; ++j) {
      col[j] = block.data() + static_cast<std::size_t>(j) * m;
      src[j] = j < p ? x + static_cast<std::size_t>(j) * n + row0 : y + row0;
    }
    in_groups(0, q, [&](int k, auto g) {
      load_columns<decltype(g)::value>(src + k, sw, m, col + k, blk_ss + k);
      return 0.0;
    });
    for (int j = 0; j < q; ++j) col_ss[j] += blk_ss[j];
    double xnorm2 = blk_ss[0];
    for (int j = 0; j < p; ++j) {
      double* v = col[j];
      if (!(xnorm2 > 0.0)) {
        // Zero (H = I), or not a number (checked below): the next column's
        // norm as it stands.
        xnorm2 = 0.0;
        for (int i = 0; i < m; ++i) xnorm2 += col[j + 1][i] * col[j + 1][i];
        continue;
      }
      const double alpha = T[j + j * p];
      const double beta_j = -std::copysign(std::sqrt(alpha * alpha + xnorm2), alpha);
      const double tau = (beta_j - alpha) / beta_j;
      const double to_v = 1.0 / (alpha - beta_j);
      for (int i = 0; i < m; ++i) v[i] *= to_v;
      T[j + j * p] = beta_j;
      in_groups(j + 1, q, [&](int k, auto g) {
        dot_columns<decltype(g)::value>(v, col + k, m, dots + k);
        return 0.0;
      });
      for (int k = j + 1; k < q; ++k) {
        f[k] = tau * (T[j + k * p] + dots[k]);
        T[j + k * p] -= f[k];
      }
      xnorm2 = in_groups(j + 1, q, [&](int k, auto g) {
        return update_columns<decltype(g)::value>(v, col + k, m, f + k);
      });
    }
  }
  // Squares of the weighted data far from overflow and underflow keep the
  // sums and reflections above accurate; anything else goes to dgels, which
  // scales the data first.
  constexpr double ss_max = 1e280, ss_min = 1e-280;
  for (int j = 0; j < q; ++j) {
    const double ss = col_ss[j];
    if (!(ss <= ss_max) || (j < p && !(ss >= ss_min))) return false;
  }
  for (int j = 0; j < p; ++j) {
    const double d = std::fabs(T[j + j * p]);
    if (!(d > rank_guard * std::sqrt(col_ss[j]))) return false;
    for (int k = j + 1; k < q; ++k)
      if (!std::isfinite(T[j + k * p])) return false;
  }
  // R beta = z.
  for (int j = p - 1; j >= 0; --j) {
    double s = T[j + p * p];
    for (int k = j + 1; k < p; ++k) s -= T[j + k * p] * beta[k];
    beta[j] = s / T[j + j * p];
  }
  return true;
}

namespace {

// Position of element (j, k), j <= k, of a packed upper triangle (by columns).
inline std::size_t packed(int j, int k) {
  return static_cast<std::size_t>(k) * (k + 1) / 2 + j;
}

// Pairs of doubles (double_pair, one vector register) hold the sums of the
// even and the odd rows side by side, the layout the paired kernels above
// leave to the compiler.
inline double_pair load_pair(const double* a) {
  double_pair v;
  std::memcpy(&v, a, sizeof v);
  return v;
}

// d0[t] = v0' c[t] and d1[t] = v1' c[t] in one pass: each column value loaded
// serves two products.  Each sum is formed exactly as dot_columns forms it.
template <int G>
void dot2_columns(const double* v0, const double* v1, const double* const* c, int m,
                  double* d0, double* d1) {
  double_pair a0[G], a1[G];
  const double* col[G];
  for (int t = 0; t < G; ++t) {
    a0[t] = double_pair{0.0, 0.0};
    a1[t] = double_pair{0.0, 0.0};
    col[t] = c[t];
  }
  int i = 0;
  for (; i + 1 < m; i += 2) {
    const double_pair x = load_pair(v0 + i), z = load_pair(v1 + i);
    for (int t = 0; t < G; ++t) {
      const double_pair ct = load_pair(col[t] + i);
      a0[t] += x * ct;
      a1[t] += z * ct;
    }
  }
  double e0[G], e1[G];
  for (int t = 0; t < G; ++t) {
    e0[t] = a0[t][0];
    e1[t] = a1[t][0];
  }
  for (; i < m; ++i)
    for (int t = 0; t < G; ++t) {
      e0[t] += v0[i] * col[t][i];
      e1[t] += v1[i] * col[t][i];
    }
  for (int t = 0; t < G; ++t) {
    d0[t] = e0[t] + a0[t][1];
    d1[t] = e1[t] + a1[t][1];
  }
}

// v = w c, elementwise.
void weight_column(const double* w, const double* c, int m, double* v) {
  int i = 0;
  for (; i + 1 < m; i += 2) {
    const double_pair prod = load_pair(w + i) * load_pair(c + i);
    std::memcpy(v + i, &prod, sizeof prod);
  }
  for (; i < m; ++i) v[i] = w[i] * c[i];
}

// The upper triangle of [x | y]' diag(w) [x | y] over the rows r0..r1-1 into
// acc (packed, (p + 1) (p + 2) / 2 values).  The rows go in blocks that stay
// in the cache: per block the weighted columns v_j = w x_j are made once,
// then the products of two of them at a time with the columns k >= j, four
// at a time.
// Weights to make a block of rows before use (r == nullptr: given).
struct block_weights {
  const double* r;
  double s;
  const double* k;
  int ipsi;
  double* w;
};

void cross_product_rows(const double* x, const double* y, const double* w, int n, int p,
                        int r0, int r1, double* acc, const block_weights& make) {
  constexpr int block = 256;
  const int q = p + 1;
  std::fill(acc, acc + packed(0, q), 0.0);
  const auto column = [&](int j, int i0) {
    return (j < p ? x + static_cast<std::size_t>(j) * n : y) + i0;
  };
  // Few columns: the weighted block on the stack.  A heap buffer made and
  // freed per call can make the allocator hand its pages back and fault
  // them in again on every fit.
  constexpr int stack_cols = 16;
  double stack_buf[stack_cols * block];
  std::vector<double> heap_buf;
  if (q > stack_cols) heap_buf.resize(static_cast<std::size_t>(q) * block);
  double* const wcols = q > stack_cols ? heap_buf.data() : stack_buf;
  double d0[4], d1[4];
  const double* c[4];
  for (int i0 = r0; i0 < r1; i0 += block) {
    const int m = std::min(block, r1 - i0);
    if (make.r) fill_wgt(make.r, make.s, i0, i0 + m, make.k, make.ipsi, make.w);
    for (int j = 0; j < q; ++j)
      weight_column(w + i0, column(j, i0), m,
                    wcols + static_cast<std::size_t>(j) * block);
    for (int j = 0; j < q; j += 2) {
      const double* v0 = wcols + static_cast<std::size_t>(j) * block;
      const bool pair = j + 1 < q;
      const double* v1 = pair ? v0 + block : nullptr;
      for (int k = j; k < q;) {
        const int g = std::min(4, q - k);
        for (int t = 0; t < g; ++t) c[t] = column(k + t, i0);
        if (pair) {
          switch (g) {
            case 4: dot2_columns<4>(v0, v1, c, m, d0, d1); break;
            case 3: dot2_columns<3>(v0, v1, c, m, d0, d1); break;
            case 2: dot2_columns<2>(v0, v1, c, m, d0, d1); break;
            default: dot2_columns<1>(v0, v1, c, m, d0, d1); break;
          }
        } else {
          switch (g) {
            case 4: dot_columns<4>(v0, c, m, d0); break;
            case 3: dot_columns<3>(v0, c, m, d0); break;
            case 2: dot_columns<2>(v0, c, m, d0); break;
            default: dot_columns<1>(v0, c, m, d0); break;
          }
        }
        for (int t = 0; t < g; ++t) {
          acc[packed(j, k + t)] += d0[t];
          // (j + 1, j) is the symmetric entry (j, j + 1), already made.
          if (pair && k + t > j) acc[packed(j + 1, k + t)] += d1[t];
        }
        k += g;
      }
    }
  }
}

}  // namespace

void wls_workspace::normal_chunk(const double* x, const double* y, const double* w, int n,
                                 int p, int c, const double* wr, double ws,
                                 const double* wk, int wpsi) {
  const std::size_t tl = packed(0, p + 1);
  cross_product_rows(x, y, w, n, p, c * chunk_rows, chunk_end(n, c),
                     chunk_sums.data() + tl * c,
                     block_weights{wr, ws, wk, wpsi, weights.data()});
}

void wls_workspace::normal_prepare(int n, int p) {
  const std::size_t need = packed(0, p + 1) * static_cast<std::size_t>(chunk_count(n));
  if (chunk_sums.size() < need) chunk_sums.resize(need);
}

bool wls_workspace::normal_equations(const double* x, const double* y, const double* w,
                                     int n, int p, double* beta) {
  if (n < 1) return false;
  normal_prepare(n, p);
  host::parallel_chunks(chunk_count(n), [&](int c) {
    normal_chunk(x, y, w, n, p, c, nullptr, 1.0, nullptr, 1);
  }, min_split_chunks);
  return normal_finish(n, p, beta);
}

bool wls_workspace::normal_finish(int n, int p, double* beta) {
  const int q = p + 1;
  const std::size_t tl = packed(0, q);
  const int nc = chunk_count(n);
  const double* part = chunk_sums.data();
  gram.assign(part, part + tl);
  for (int c = 1; c < nc; ++c) {
    const double* pc = part + tl * c;
    for (std::size_t e = 0; e < tl; ++e) gram[e] += pc[e];
  }
  // The same range as the streaming core's: weighted squares far from
  // overflow and underflow; anything else (non-finite data too) is its case.
  constexpr double ss_max = 1e280, ss_min = 1e-280;
  for (int j = 0; j < q; ++j) {
    const double ss = gram[packed(j, j)];
    if (!(ss <= ss_max) || (j < p && !(ss >= ss_min))) return false;
  }
  for (std::size_t e = 0; e < tl; ++e)
    if (!std::isfinite(gram[e])) return false;

  // Cholesky factor R of the column-equilibrated cross-product D A D (unit
  // diagonal), and z = R^-T D x'Wy; the equilibration makes the condition
  // guard below independent of the columns' units.
  chol.resize(2 * static_cast<std::size_t>(p) * p + 2 * static_cast<std::size_t>(p));
  double* R = chol.data();
  double* U = R + static_cast<std::size_t>(p) * p;
  double* d = U + static_cast<std::size_t>(p) * p;
  double* z = d + p;
  for (int j = 0; j < p; ++j) d[j] = 1.0 / std::sqrt(gram[packed(j, j)]);
  for (int j = 0; j < p; ++j) {
    for (int k = j; k <= p; ++k) {
      double a = k < p ? (gram[packed(j, k)] * d[j]) * d[k] : gram[packed(j, p)] * d[j];
      const double* rk = k < p ? R + static_cast<std::size_t>(k) * p : z;
      const double* rj = R + static_cast<std::size_t>(j) * p;
      for (int i = 0; i < j; ++i) a -= rj[i] * rk[i];
      if (k == j) {
        if (!(a > 0.0)) return false;
        R[j + static_cast<std::size_t>(j) * p] = std::sqrt(a);
      } else if (k < p) {
        R[j + static_cast<std::size_t>(k) * p] = a / R[j + static_cast<std::size_t>(j) * p];
      } else {
        z[j] = a / R[j + static_cast<std::size_t>(j) * p];
      }
    }
  }
  // The exact 1-norm condition number of R, by its inverse U (upper
  // triangular, column by column): p^3 / 6 operations, nothing beside the
  // (p + 1)^2 / 2 per row of the cross-product.
  double norm_r = 0.0, norm_u = 0.0;
  for (int k = 0; k < p; ++k) {
    const double* rk = R + static_cast<std::size_t>(k) * p;
    double* uk = U + static_cast<std::size_t>(k) * p;
    double col_r = 0.0;
    for (int i = 0; i <= k; ++i) col_r += std::fabs(rk[i]);
    norm_r = std::max(norm_r, col_r);
    uk[k] = 1.0 / rk[k];
    double col_u = std::fabs(uk[k]);
    for (int i = k - 1; i >= 0; --i) {
      double s = 0.0;
      for (int l = i + 1; l <= k; ++l) s += R[i + static_cast<std::size_t>(l) * p] * uk[l];
      uk[i] = -s / R[i + static_cast<std::size_t>(i) * p];
      col_u += std::fabs(uk[i]);
    }
    norm_u = std::max(norm_u, col_u);
  }
  if (!(norm_r * norm_u <= kappa_max)) return false;
  // R b = z, beta = D b.
  for (int j = p - 1; j >= 0; --j) {
    double s = z[j];
    for (int k = j + 1; k < p; ++k) s -= R[j + static_cast<std::size_t>(k) * p] * beta[k];
    beta[j] = s / R[j + static_cast<std::size_t>(j) * p];
  }
  for (int j = 0; j < p; ++j) beta[j] *= d[j];
  return true;
}

int wls_workspace::solve(const double* x, const double* y, const double* w, int n, int p,
                         double* beta, bool no_throw) {
  if (p < 1) return 0;
  if (!reference) {
    if (normal_equations(x, y, w, n, p, beta)) return 0;
    ++householder;
    if (stream(x, y, w, n, p, beta)) return 0;
    ++fallbacks;
  }
  return dgels_fit(x, y, w, n, p, beta, no_throw);
}

int wls_workspace::finish_reweighted(const double* x, const double* y, int n, int p,
                                     double* beta) {
  // Every chunk has made its weights, which the fallbacks then use.
  const double* w = weights.data();
  if (normal_finish(n, p, beta)) return 0;
  ++householder;
  if (stream(x, y, w, n, p, beta)) return 0;
  ++fallbacks;
  return dgels_fit(x, y, w, n, p, beta, false);
}

namespace {}  // namespace

// ---- fast-S -----------------------------------------------------------------

namespace {

int count_zeros(const double* r, int n) {
  int zeros = 0;
  for (int i = 0; i < n; ++i)
    if (std::fabs(r[i]) < exact_fit_tol) ++zeros;
  return zeros;
}

// As s falls to 0 the mean chi(r / s) (divisor n - p) rises to the share of
// non-zero residuals, and chi is bounded by 1: when that share is at most b
// the M-scale equation has no positive root and the M-scale is 0.  The
// fixed-point iteration would run into 0 / 0 instead.
bool scale_is_zero(int zeros, int n, int p, double b) {
  return static_cast<double>(n - zeros) <=
         b * (static_cast<double>(n) - static_cast<double>(p));
}

double mean_abs(const double* r, int n) {
  double s = 0.0;
  for (int i = 0; i < n; ++i) s += std::fabs(r[i]);
  return s / n;
}

}  // namespace

namespace {

// Whether `zeros` zero residuals among n make the M-scale 0 (exact_candidate).
bool exact_by_zeros(int zeros, int n, int p, double b) {
  return static_cast<double>(zeros) > static_cast<double>(n + p) / 2.0 ||
         scale_is_zero(zeros, n, p, b);
}

}  // namespace

bool exact_candidate(const double* res, int n, int p, double b) {
  return exact_by_zeros(count_zeros(res, n), n, p, b);
}

namespace {

// The refinement of refine_fast_s as a series of passes over the rows, each
// split into the chunks of over_chunks: chunk(c) for every chunk (on any
// thread, in any order), then finish() on the calling thread.  A chunk's sum
// runs in index order and the chunks' sums are added in chunk order, so
// refinements that share the parallel regions of their passes
// (refine_side_by_side) compute exactly what each computes alone, for
// every thread count.
class refinement {
 public:
  // With resid_first the first pass makes the residuals of beta_cand into
  // res; otherwise res holds them.
  refinement(const double* x, const double* y, int n, int p, const refine_settings& set,
             wls_workspace& ws, double* res, double* beta_cand, int* conv,
             double initial_scale, double* beta_ref, double* scale, bool resid_first)
      : x_(x), y_(y), n_(n), p_(p), nc_(chunk_count(n)), set_(set), ws_(ws), res_(res),
        beta_cand_(beta_cand), beta_ref_(beta_ref), conv_(conv), scale_(scale),
        s_(initial_scale) {
    if (set.trace_level > 2) {
      host::print("beta_cand before refinement : ");
      disp_vec(beta_cand, p);
    }
    if (ws.pass_sums.size() < static_cast<std::size_t>(nc_)) ws.pass_sums.resize(nc_);
    if (resid_first)
      pass_ = RESIDUALS;
    else
      start(count_zeros(res, n));
  }
  bool done() const { return pass_ == DONE; }
  void stop() { pass_ = DONE; }
  int steps() const { return it_; }
  int chunks() const { return nc_; }

  void chunk(int c) {
    const int r0 = c * pass_chunk, r1 = chunk_end(n_, c);
    double* sums = ws_.pass_sums.data();
    double* w = ws_.weights.data();
    switch (pass_) {
      case RESIDUALS: {
        int zeros = 0;
        residuals_then(
            x_, y_, n_, p_, beta_cand_, res_,
            [&](int i0, int i1) { zeros += count_zeros(res_ + i0, i1 - i0); }, r0, r1);
        sums[c] = zeros;
        break;
      }
      case CHI:
        sums[c] = add_chi(0.0, res_, s_, r0, r1, set_.k, set_.ipsi);
        break;
      case WLS:
        if (ws_.fuses_weights(n_, p_))
          ws_.normal_chunk(x_, y_, w, n_, p_, c, res_, s_, set_.k, set_.ipsi);
        else
          fill_wgt(res_, s_, r0, r1, set_.k, set_.ipsi, w);
        break;
      case STEP_CHI: {
        double sum = 0.0;
        residuals_then(
            x_, y_, n_, p_, beta_ref_, res_,
            [&](int i0, int i1) { sum = add_chi(sum, res_, s_, i0, i1, set_.k, set_.ipsi); },
            r0, r1);
        sums[c] = sum;
        break;
      }
      case STEP:
        residuals_then(x_, y_, n_, p_, beta_ref_, res_, [](int, int) {}, r0, r1);
        break;
      case DONE:
        break;
    }
  }

  void finish() {
    switch (pass_) {
      case RESIDUALS:
        start(static_cast<int>(total()));
        break;
      case CHI:
        update_scale(total());
        to_wls();
        break;
      case WLS:
        solve();
        break;
      case STEP_CHI:
        rho_sum_ = total();
        std::copy(beta_ref_, beta_ref_ + p_, beta_cand_);
        next_step();
        break;
      case STEP:
        std::copy(beta_ref_, beta_ref_ + p_, beta_cand_);
        next_step();
        break;
      case DONE:
        break;
    }
  }

 private:
  enum pass_kind { RESIDUALS, CHI, WLS, STEP_CHI, STEP, DONE };

  double total() const {
    const double* sums = ws_.pass_sums.data();
    double t = sums[0];
    for (int c = 1; c < nc_; ++c) t += sums[c];
    return t;
  }

  // An exact fit through more than (n + p) / 2 observations ends here, and
  // so does a candidate whose M-scale is 0 because the M-scale equation has
  // no positive root (see scale_is_zero).  The steps keep the scale positive
  // while any residual is non-zero, so this is the only way to a scale of 0;
  // the searches rely on it to stop drawing at such a candidate.
  void start(int zeros) {
    if (exact_by_zeros(zeros, n_, p_, set_.b)) {
      std::copy(beta_cand_, beta_cand_ + p_, beta_ref_);
      *scale_ = 0.0;
      pass_ = DONE;
      return;
    }
    if (s_ < 0.0) {
      if (ws_.wy.size() < static_cast<std::size_t>(n_)) ws_.wy.resize(n_);
      // both only scratch here
      s_ = MAD(res_, n_, 0.0, ws_.weights.data(), ws_.wy.data());
      // More than half of the residuals are zero (yet the M-scale is not):
      // the fixed point cannot start from 0.
      if (s_ == 0.0) s_ = mean_abs(res_, n_);
    }
    to_convergence_ = *conv_ != 0;
    limit_ = to_convergence_ ? set_.max_refine : set_.refine_steps;
    // Without a step the candidate's own coefficients are the result.
    std::copy(beta_cand_, beta_cand_ + p_, beta_ref_);
    next_step();
  }

  // The M-scale sum of a step is made with its residuals (rho_sum_, in index
  // order as sum_rho_sc makes it), or by a pass of its own before the first.
  void next_step() {
    if (it_ >= limit_) {
      if (to_convergence_ && !converged_) *conv_ = 0;
      *scale_ = s_;
      pass_ = DONE;
      return;
    }
    // A refinement to convergence on a large sample may run long.
    host::check_interrupt();
    if (rho_sum_ >= 0.0) {
      update_scale(rho_sum_);
      to_wls();
    } else {
      pass_ = CHI;
    }
  }

  void to_wls() {
    if (ws_.fuses_weights(n_, p_)) ws_.normal_prepare(n_, p_);
    pass_ = WLS;
  }

  void update_scale(double rho_sum) {
    const double mean_rho = rho_sum / (static_cast<double>(n_) - static_cast<double>(p_));
    s_ = s_ * std::sqrt(mean_rho / set_.b);
  }

  void solve() {
    if (ws_.fuses_weights(n_, p_))
      ws_.finish_reweighted(x_, y_, n_, p_, beta_ref_);
    else
      ws_.solve(x_, y_, ws_.weights.data(), n_, p_, beta_ref_);
    if (to_convergence_) {
      const double d = norm_diff(beta_cand_, beta_ref_, p_);
      const double m = norm(beta_cand_, p_);
      if (set_.trace_level > 2)
        host::print(" i = %d, ||b[i]||= %.12g, ||b[i] - b[i-1]|| = %.15g\n", it_, m, d);
      if (d <= set_.refine_tol * Rf_fmax2(set_.refine_tol, m)) {
        converged_ = true;
        *scale_ = s_;
        pass_ = DONE;
        return;
      }
    }
    ++it_;
    pass_ = it_ < limit_ ? STEP_CHI : STEP;
  }

  const double *x_, *y_;
  int n_, p_, nc_;
  const refine_settings& set_;
  wls_workspace& ws_;
  double *res_, *beta_cand_, *beta_ref_;
  int* conv_;
  double* scale_;
  double s_;
  double rho_sum_ = -1.0;  // < 0 while not made
  int it_ = 0, limit_ = 0;
  bool to_convergence_ = false, converged_ = false;
  pass_kind pass_ = DONE;
};

// Runs the refinements rs[0..count-1] until each is done: the chunks of the
// next pass of every one not yet done in one parallel region, then their
// finishes in order.  With errs a refinement that fails is recorded in
// errs[k] and stops (an interrupt is thrown); without, the failure is thrown.
void refine_side_by_side(refinement* const* rs, int count, std::exception_ptr* errs) {
  std::vector<refinement*> live;
  for (;;) {
    live.clear();
    for (int k = 0; k < count; ++k)
      if (!rs[k]->done()) live.push_back(rs[k]);
    if (live.empty()) return;
    const int nc = live[0]->chunks();  // all on the same rows
    host::parallel_chunks(
        nc * static_cast<int>(live.size()), [&](int j) { live[j / nc]->chunk(j % nc); },
        min_split_chunks);
    for (int k = 0; k < count; ++k) {
      if (rs[k]->done()) continue;
      if (!errs) {
        rs[k]->finish();
        continue;
      }
      try {
        rs[k]->finish();
      } catch (const kelvara::interrupted&) {
        throw;
      } catch (...) {
        errs[k] = std::current_exception();
        rs[k]->stop();
      }
    }
  }
}

}  // namespace

int refine_fast_s(const double* x, const double* y, int n, int p,
                  const refine_settings& set, wls_workspace& ws, double* res,
                  double* beta_cand, int* conv, double initial_scale, double* beta_ref,
                  double* scale) {
  refinement r(x, y, n, p, set, ws, res, beta_cand, conv, initial_scale, beta_ref, scale,
               false);
  refinement* one = &r;
  refine_side_by_side(&one, 1, nullptr);
  return r.steps();
}

namespace {

refine_settings refine_of(const s_settings& set) {
  return {set.refine_steps, set.max_refine, set.refine_tol, set.trace_level,
          set.b,            set.k,          set.ipsi};
}

// The index of the calling thread within host::parallel_for (0 outside).
int worker_index() {
#if defined(_OPENMP)
  return omp_get_thread_num();
#else
  return 0;
#endif
}

// One least-squares workspace per thread of a parallel_for over up to
// `items` iterations, all made on the calling thread (the first queries
// LAPACK, and traces that, once; the others are its copies).
struct wls_pool {
  wls_pool(int n, int p, bool reference, int trace_level, int items) {
    all.emplace_back(n, p, reference, trace_level);
    all.resize(static_cast<std::size_t>(host::detail::parallel_width(items)), all[0]);
  }
  wls_workspace& mine() { return all[static_cast<std::size_t>(worker_index())]; }
  // At least `count` workspaces, for refinements side by side on the
  // calling thread (refine_side_by_side).
  void reserve_side_by_side(int count) {
    if (all.size() < static_cast<std::size_t>(count)) all.resize(count, all[0]);
  }
  std::vector<wls_workspace> all;
};

// Candidates are evaluated in batches: the draws of a batch are made first,
// on the calling thread and in the order of the serial search, then the
// candidates are refined in parallel, then merged in candidate order.  The
// batch size depends only on the data, never on the thread count; with a
// trace level that prints inside a refinement it is 1, so that the trace
// comes out in the serial order.
int batch_size(std::size_t rows, int trace_level) {
  if (trace_level > 2) return 1;
  // Few batches: the threads idle between them while the next one is drawn.
  // Their residuals (rows each) should stay in the outer cache until the
  // merge reads them: about 2^18 values.
  const std::size_t fit = (std::size_t(1) << 18) / std::max<std::size_t>(rows, 1);
  return static_cast<int>(std::max<std::size_t>(4, std::min<std::size_t>(512, fit)));
}

// The batch size of a search for fresh candidates in `groups` groups
// (search_candidates): two batches are held at once, so each gets half of
// batch_size's room; the batches split each group's draws evenly, and there
// are at least four in all, so that the draws and merges of all but the
// first and the last batch overlap the refinements of another.  Few
// batches: each starts and stops the threads once.
int search_batch_size(std::size_t rows, int groups, const s_settings& set) {
  if (set.trace_level > 2) return 1;
  const int draws = std::max(set.n_resample, 1);
  const int room = std::max(4, batch_size(rows, 0) / 2);
  const int per_group = std::max((draws + room - 1) / room, (4 + groups - 1) / groups);
  return std::max(1, (draws + per_group - 1) / per_group);
}

// The slots of one batch: per candidate its coefficients before and after
// the refinement, its residuals, its scale and the failure it met (thrown
// again when the merge reaches it, after the candidates before it).
struct candidate_batch {
  candidate_batch(int size_, std::size_t n_, int p_)
      : size(size_),
        n(n_),
        p(static_cast<std::size_t>(p_)),
        cand(size_ * p),
        ref(size_ * p),
        res(size_ * n_),
        scale(size_),
        steps(size_),
        conv(size_),
        err(size_) {}
  double* beta_cand(int t) { return cand.data() + t * p; }
  double* beta_ref(int t) { return ref.data() + t * p; }
  double* resid(int t) { return res.data() + t * n; }
  // Runs body(t) for t < m in parallel; a failure is kept in its slot.
  template <class F>
  void evaluate(int m, F&& body) {
    host::parallel_for(m, [&](int t) { keep(t, body); });
  }
  // The same while the calling thread runs lead() first
  // (host::parallel_for_beside).
  template <class L, class F>
  void evaluate_beside(int m, L&& lead, F&& body) {
    host::parallel_for_beside(m, lead, [&](int t) { keep(t, body); });
  }
  template <class F>
  void keep(int t, F& body) {
    err[t] = nullptr;
    try {
      body(t);
    } catch (const kelvara::interrupted&) {
      throw;
    } catch (...) {
      err[t] = std::current_exception();
    }
  }
  void rethrow(int t) {
    if (err[t]) std::rethrow_exception(err[t]);
  }

  int size;
  std::size_t n, p;
  std::vector<double> cand, ref, res, scale;
  std::vector<int> steps, conv;
  std::vector<std::exception_ptr> err;
};

// A best list over storage held elsewhere: n_best coefficient vectors
// (betas[e], p values each) and their scales, with the position and the
// scale of its worst entry.  The list is never sorted.
struct best_list_view {
  best_list_view(double** betas_, double* scales_, int n_best_, int p_)
      : betas(betas_), scales(scales_), n_best(n_best_), p(p_) {}

  // A candidate whose residuals res (n) have a mean rho below b at
  // worst_scale has an M-scale below it: it replaces the worst entry.
  void offer(const double* res, int n, const s_settings& set, double start_scale,
             const double* beta_ref, fit_report& report) {
    if (sum_rho_sc(res, worst_scale, n, p, set.k, set.ipsi) < set.b) {
      // A refinement that stopped at an exact fit through more than half of
      // the rows reports scale 0, which is then the M-scale; the fixed-point
      // iteration cannot start from 0 (it would give NaN).
      double s = 0.0;
      if (start_scale != 0.0) {
        bool conv = false;
        s = m_scale(res, set.b, set.k, set.ipsi, start_scale, n, p, set.max_it_scale,
                    &conv);
        report.scale_solved(s, conv, set.max_it_scale);
      }
      scales[worst] = s;
      std::copy(beta_ref, beta_ref + p, betas[worst]);
      worst = find_max(scales, n_best);
      worst_scale = scales[worst];
    }
  }

  double** betas;
  double* scales;
  int n_best, p;
  int worst = 0;
  double worst_scale = unset_scale;
};

// The starting scale of a refinement from a best-list entry: an entry of
// scale 0 (an exact fit on the rows it came from) starts, like a fresh
// candidate, from the MAD of its residuals (-1).
double usable_start(double scale) { return scale > 0.0 ? scale : -1.0; }

// A best list with its own storage: zero vectors, scales unset_scale.  Sizes
// are counted in 64 bits; a list of more than INT_MAX values is refused.
struct best_list {
  best_list(std::int64_t n_best, int p_) : p(p_) {
    if (static_cast<double>(n_best) * std::max(p_, 1) > std::numeric_limits<int>::max())
      host::fail(
          "R_lmrob_S: a best list of %lld candidates of %d coefficients is too large; "
          "reduce 'n_best'",
          static_cast<long long>(n_best), p_);
    storage.resize(static_cast<std::size_t>(n_best) * static_cast<std::size_t>(p_));
    scales.assign(static_cast<std::size_t>(n_best), unset_scale);
    rows.resize(static_cast<std::size_t>(n_best));
    for (std::int64_t e = 0; e < n_best; ++e) rows[e] = beta(e);
  }
  double* beta(std::int64_t e) {
    return storage.data() + static_cast<std::size_t>(e) * static_cast<std::size_t>(p);
  }
  best_list_view view() {
    return {rows.data(), scales.data(), static_cast<int>(rows.size()), p};
  }

  int p;
  std::vector<double> storage, scales;
  std::vector<double*> rows;
};

// The final refinements to convergence of the n_best entries betas[e] from
// the scales start(e), in parallel (one at a time when they trace their
// steps); merge(e, beta_ref, scale, steps, converged) then takes them in
// entry order.  A refinement that fails to converge is recorded first.
template <class Start, class Merge>
void refine_best_to_convergence(const double* x, const double* y, int n, int p,
                                const s_settings& set, wls_pool& pool, double* const* betas,
                                Start&& start, Merge&& merge, fit_report& report) {
  const refine_settings rs = refine_of(set);
  const int nbest = set.n_best;
  // On many rows the refinements go side by side, a few at a time, the
  // chunks of their passes together on all threads: a thread per candidate
  // would idle while another candidate takes more steps, and a pass of one
  // candidate at a time would start and stop the threads twice as often.
  // With a trace that prints inside the steps they go one at a time.  Every
  // way gives the same values.
  const bool by_rows = set.trace_level > 2 || n >= 8 * pass_chunk;
  const int chunk = set.trace_level > 2 ? 1 : by_rows ? std::min(nbest, 4) : nbest;
  candidate_batch cb(chunk, 0, p);  // residuals: in the workspaces
  if (by_rows) pool.reserve_side_by_side(chunk);
  std::vector<refinement> side;
  std::vector<refinement*> side_ptr;
  side.reserve(chunk);
  for (int e0 = 0; e0 < nbest; e0 += chunk) {
    const int m = std::min(chunk, nbest - e0);
    // Entry e0 + t from its residuals, made by its first pass.
    const auto begin = [&](int t, wls_workspace& ws) {
      const int e = e0 + t;
      double* cand = cb.beta_cand(t);
      std::copy(betas[e], betas[e] + p, cand);
      cb.conv[t] = 1;
      return refinement(x, y, n, p, rs, ws, ws.res.data(), cand, &cb.conv[t], start(e),
                        cb.beta_ref(t), &cb.scale[t], true);
    };
    if (by_rows) {
      side.clear();
      side_ptr.clear();
      for (int t = 0; t < m; ++t) {
        cb.err[t] = nullptr;
        side.push_back(begin(t, pool.all[t]));
      }
      for (refinement& r : side) side_ptr.push_back(&r);
      refine_side_by_side(side_ptr.data(), m, cb.err.data());
      for (int t = 0; t < m; ++t) cb.steps[t] = side[t].steps();
    } else {
      cb.evaluate(m, [&](int t) {
        refinement r = begin(t, pool.mine());
        refinement* one = &r;
        refine_side_by_side(&one, 1, nullptr);
        cb.steps[t] = r.steps();
      });
    }
    for (int t = 0; t < m; ++t) {
      cb.rethrow(t);
      const int it = cb.steps[t];
      const bool conv = cb.conv[t] != 0;
      if (!conv) {
        ++report.refine_unconverged;
        report.note(EV_REFINE_NOT_CONVERGED, it, 0, set.refine_tol);
      }
      if (set.trace_level > 1)
        host::print("refinements %sconverged in %d iterations\n", conv ? " " : "NOT ", it);
      merge(e0 + t, cb.beta_ref(t), cb.scale[t], it, conv);
    }
  }
}

void trace_candidate(int i, const double* beta_ref, const double* beta_cand, int p,
                     double s) {
  host::print("sample[%3d]: after refine_(*, conv=FALSE):\n", i);
  host::print("beta_ref : ");
  disp_vec(beta_ref, p);
  host::print(" with ||beta_ref - beta_cand|| = %.12g, --> sc = %.15g\n",
              norm_diff(beta_ref, beta_cand, p), s);
}

// One data set of a candidate search: n rows of the design x (leading
// dimension n) and response y, the workspace of its draws, and the singular
// draws counted before its own.
struct search_group {
  const double* x;
  const double* y;
  int n;
  subsample_workspace* sub;
  std::int64_t singular_before;
};

// The fresh candidates of a search over `groups` data sets, group_of(g) the
// g-th (called on the calling thread, first when group g is drawn from):
// draws n_resample candidates in each, in batches of at most `size`, refines
// each by the fixed steps and merges them in draw order; merge(g, i, cb, t)
// sees candidate i of group g in slot t of batch cb and returns false to end
// the search.  A draw that fails ends the search (after the candidates
// before it are merged); its status is returned.  When stop_at_exact is set
// a draw whose candidate has M-scale 0 ends its batch, so that no draw is
// made after the candidate that ends the search (see refine_fast_s).
//
// Two batches take turns: while the threads refine one, the calling thread
// merges the batch before it and then draws the next into its slots (the
// first batch of the next group after the last of a group), so that the
// serial draws and merges overlap the refinements.  Every candidate is
// refined alone and merged in draw order, so the result does not depend on
// the batches.  With a trace nothing overlaps: draws, steps and merges print
// in the order of the serial search.
template <class GroupOf, class Merge>
int search_candidates(int groups, GroupOf&& group_of, int p, const s_settings& set,
                      wls_pool& pool, int size, bool stop_at_exact, fit_report& report,
                      Merge&& merge) {
  const refine_settings rs = refine_of(set);
  const bool overlap = set.trace_level == 0;
  const std::size_t rows = static_cast<std::size_t>(group_of(0).n);
  std::vector<candidate_batch> cbs;
  cbs.emplace_back(size, rows, p);
  if (overlap) cbs.emplace_back(size, rows, p);
  // The draws of a batch: candidates first..first+m-1 of a group, the status
  // of the draw that ended it, and the generator's state and singular count
  // before them.
  struct drawn {
    int group = 0, first = 0, m = 0, status = SUBSAMPLE_OK;
    bool exact = false;
    const double *x = nullptr, *y = nullptr;
    int n = 0;
    std::vector<int> rng = std::vector<int>(static_cast<std::size_t>(host::rng_state_len));
    int rng_len = 0;
    std::int64_t singular = 0;
  } info[2];
  std::vector<double> replay(static_cast<std::size_t>(p));

  const auto draw = [&](int b, int g, int first) {
    candidate_batch& cb = cbs[b];
    drawn& d = info[b];
    search_group& grp = group_of(g);
    subsample_workspace& sub = *grp.sub;
    d.group = g;
    d.x = grp.x;
    d.y = grp.y;
    d.n = grp.n;
    d.first = first;
    d.m = 0;
    d.status = SUBSAMPLE_OK;
    d.exact = false;
    d.singular = sub.singular;
    d.rng_len = overlap || cb.size > 1 ? host::rng_save(d.rng.data()) : 0;
    while (d.m < cb.size && first + d.m < set.n_resample && !d.exact) {
      host::check_interrupt();
      d.status = sub.draw(d.y, cb.beta_cand(d.m), set.max_singular, set.nonsingular, set.tol);
      report.singular = grp.singular_before + sub.singular;
      if (d.status != SUBSAMPLE_OK) break;
      if (set.trace_level > 3) {
        host::print("sample[%3d]: idc = ", first + d.m);
        disp_veci(sub.idc.data(), p);
      }
      if (stop_at_exact) {
        residuals(d.x, d.y, d.n, p, cb.beta_cand(d.m), cb.resid(d.m));
        d.exact = exact_candidate(cb.resid(d.m), d.n, p, set.b);
      }
      ++d.m;
    }
  };
  // Merges batch b; later: whether a batch has been drawn after it.  Returns
  // -1 while the search goes on, else its status.  A search that ends at a
  // candidate whose refinement failed (thrown again here) or that merge
  // refuses leaves the generator where drawing one candidate at a time
  // leaves it: back to its state before the batch, then the draws up to
  // that candidate made again.
  const auto merge_batch = [&](int b, bool later) {
    candidate_batch& cb = cbs[b];
    const drawn& d = info[b];
    for (int t = 0; t < d.m; ++t) {
      if (!cb.err[t] && merge(d.group, d.first + t, cb, t)) continue;
      if (d.rng_len > 0 && (t + 1 < d.m || d.status != SUBSAMPLE_OK || later)) {
        search_group& grp = group_of(d.group);
        host::rng_restore(d.rng.data(), d.rng_len);
        grp.sub->singular = d.singular;
        for (int k = 0; k <= t; ++k)
          grp.sub->draw(d.y, replay.data(), set.max_singular, set.nonsingular, set.tol);
        report.singular = grp.singular_before + grp.sub->singular;
      }
      cb.rethrow(t);
      return static_cast<int>(SUBSAMPLE_OK);
    }
    return d.status != SUBSAMPLE_OK ? d.status : -1;
  };
  const auto refine = [&](int b) {
    return [&, b](int t) {
      candidate_batch& cb = cbs[b];
      const drawn& d = info[b];
      if (!stop_at_exact) residuals(d.x, d.y, d.n, p, cb.beta_cand(t), cb.resid(t));
      int conv = 0;
      refine_fast_s(d.x, d.y, d.n, p, rs, pool.mine(), cb.resid(t), cb.beta_cand(t), &conv,
                    -1.0, cb.beta_ref(t), &cb.scale[t]);
    };
  };

  draw(0, 0, 0);
  for (int b = 0, step = 0;; b = overlap ? 1 - b : b, ++step) {
    const drawn& d = info[b];
    // Where the next batch starts.
    const bool group_done = d.first + d.m >= set.n_resample;
    const int next_group = group_done ? d.group + 1 : d.group;
    const int next_first = group_done ? 0 : d.first + d.m;
    const bool more = d.status == SUBSAMPLE_OK && !d.exact && next_group < groups;
    int end = -1;
    if (overlap) {
      cbs[b].evaluate_beside(
          d.m,
          [&] {
            if (step > 0) end = merge_batch(1 - b, true);
            if (end < 0 && more) draw(1 - b, next_group, next_first);
          },
          refine(b));
      if (end < 0 && !more) end = merge_batch(b, false);
    } else {
      cbs[b].evaluate(d.m, refine(b));
      end = merge_batch(b, false);
      if (end < 0 && more) draw(b, next_group, next_first);
    }
    if (end >= 0) return end;
    if (!more) return SUBSAMPLE_OK;
  }
}

}  // namespace

void fast_s(const double* x, const double* y, int nn, int pp, const s_settings& set,
            const s_result& out, fit_report& report) {
  const int nbest = set.n_best;
  subsample_workspace sub(x, nn, pp);
  const int size = search_batch_size(static_cast<std::size_t>(nn), 1, set);
  wls_pool pool(nn, pp, set.reference_ls, set.trace_level, std::max(size, nbest));
  best_list best_storage(nbest, pp);
  best_list_view best = best_storage.view();

  host::rng_scope rng;
  bool exact = false;
  search_group all{x, y, nn, &sub, 0};
  const int status = search_candidates(
      1, [&](int) -> search_group& { return all; }, pp, set, pool, size, true, report,
      [&](int, int i, candidate_batch& cb, int t) {
        const double s_i = cb.scale[t];
        if (set.trace_level > 1)
          trace_candidate(i, cb.beta_ref(t), cb.beta_cand(t), pp, s_i);
        if (s_i == 0.0) {
          if (set.trace_level > 0)
            host::print("too many exact zeroes -> leaving refinement!\n");
          *out.scale = 0.0;
          std::copy(cb.beta_cand(t), cb.beta_cand(t) + pp, out.coef);
          exact = true;
          return false;
        }
        best.offer(cb.resid(t), nn, set, s_i, cb.beta_ref(t), report);
        return true;
      });
  if (exact) return;
  if (status != SUBSAMPLE_OK) {
    report.draw_failed(status);
    *out.scale = -1.0;
    return;
  }

  if (set.trace_level != 0)
    host::print("now refine() to convergence for %d very best ones:\n", nbest);
  *out.converged = 1;
  double best_scale = unset_scale;
  int max_it = 0;
  refine_best_to_convergence(
      x, y, nn, pp, set, pool, best.betas, [&](int e) { return best.scales[e]; },
      [&](int e, const double* beta_ref, double s_e, int it, bool conv) {
        if (set.trace_level != 0)
          host::print("i=%2d: %sconvergence (%d iter.):", e, conv ? "" : "NON ", it);
        if (s_e < best_scale) {
          if (set.trace_level != 0) host::print(" -> improved scale to %.15g", s_e);
          best_scale = s_e;
          std::copy(beta_ref, beta_ref + pp, out.coef);
        }
        if (set.trace_level != 0) host::print("\n");
        if (!conv) *out.converged = 0;
        max_it = std::max(max_it, it);
      },
      report);
  *out.scale = best_scale;
  *out.max_refine = max_it;
}

namespace {

// Rows idx[0..m-1] of x (n rows, p columns) and y into xs (m x p) and ys.
void gather_rows(const double* x, const double* y, std::size_t n, int p, const int* idx,
                 int m, std::vector<double>& xs, std::vector<double>& ys) {
  xs.resize(static_cast<std::size_t>(m) * p);
  ys.resize(m);
  for (int i = 0; i < m; ++i) {
    const int obs = idx[i];
    ys[i] = y[obs];
    for (int j = 0; j < p; ++j) xs[i + static_cast<std::size_t>(j) * m] = x[obs + j * n];
  }
}

void trace_merged_before(std::int64_t e, const double* cand, int p, double s) {
  host::print("sample[%3lld]: before refine_(*, conv=FALSE):\n",
              static_cast<long long>(e));
  host::print("beta_cand : ");
  disp_vec(cand, p);
  host::print("with scale %.15g\n", s);
}

void trace_merged_after(const double* beta_ref, int p, double s) {
  host::print("after refine: beta_ref : ");
  disp_vec(beta_ref, p);
  host::print("with scale %.15g\n", s);
}

}  // namespace

void fast_s_large_n(const double* x, const double* y, int nn, int pp,
                    const s_settings& set, const s_result& out, fit_report& report) {
  const int nbest = set.n_best, ng = set.n_groups, gs = set.group_size;
  const int sg = ng * gs;  // at most n: checked by lmrob_s
  const std::int64_t n_group_best = static_cast<std::int64_t>(ng) * nbest;
  // Group best lists, group after group.
  best_list group_best(n_group_best, pp);
  std::vector<int> idx(sg);

  host::rng_scope rng;
  {
    std::vector<int> draw_work(nn);
    sample_noreplace(idx.data(), nn, sg, draw_work.data());
  }

  // Group phase: the candidate search inside each group, one search over
  // all groups in turn, each group's data made when its first draw is due.
  {
    std::vector<std::vector<double>> xg(ng), yg(ng);
    std::vector<std::unique_ptr<subsample_workspace>> subs(ng);
    std::vector<search_group> groups(ng);
    const auto group_of = [&](int g) -> search_group& {
      if (!subs[g]) {
        gather_rows(x, y, static_cast<std::size_t>(nn), pp,
                    idx.data() + static_cast<std::size_t>(g) * gs, gs, xg[g], yg[g]);
        subs[g].reset(new subsample_workspace(xg[g].data(), gs, pp));
        groups[g] = {xg[g].data(), yg[g].data(), gs, subs[g].get(), report.singular};
      }
      return groups[g];
    };
    std::vector<best_list_view> bests;
    for (int g = 0; g < ng; ++g) {
      const std::size_t first = static_cast<std::size_t>(g) * static_cast<std::size_t>(nbest);
      bests.emplace_back(&group_best.rows[first], &group_best.scales[first], nbest, pp);
    }
    const int size = search_batch_size(static_cast<std::size_t>(gs), ng, set);
    wls_pool group_pool(gs, pp, set.reference_ls, set.trace_level, size);
    const int status = search_candidates(
        ng, group_of, pp, set, group_pool, size, false, report,
        [&](int g, int, candidate_batch& cb, int t) {
          bests[g].offer(cb.resid(t), gs, set, cb.scale[t], cb.beta_ref(t), report);
          return true;
        });
    if (status != SUBSAMPLE_OK) {
      report.draw_failed(status);
      *out.scale = -1.0;
      return;
    }
  }

  // Merged phase: every group candidate, refined on the union of the groups.
  const refine_settings rs = refine_of(set);
  candidate_batch cb(
      static_cast<int>(std::min<std::int64_t>(
          batch_size(static_cast<std::size_t>(sg), set.trace_level), n_group_best)),
      static_cast<std::size_t>(sg), pp);
  best_list final_storage(nbest, pp);
  best_list_view final_best = final_storage.view();
  // One pool serves the merged and the final phase (sg <= n rows).
  wls_pool pool(nn, pp, set.reference_ls, set.trace_level, std::max(cb.size, nbest));
  {
    std::vector<double> xm, ym;
    gather_rows(x, y, static_cast<std::size_t>(nn), pp, idx.data(), sg, xm, ym);
    for (std::int64_t e0 = 0; e0 < n_group_best; e0 += cb.size) {
      const int m = static_cast<int>(std::min<std::int64_t>(cb.size, n_group_best - e0));
      if (set.trace_level > 2)  // then m == 1
        trace_merged_before(e0, group_best.beta(e0), pp, group_best.scales[e0]);
      cb.evaluate(m, [&](int t) {
        const double* cand = group_best.beta(e0 + t);
        std::copy(cand, cand + pp, cb.beta_cand(t));
        residuals(xm.data(), ym.data(), sg, pp, cb.beta_cand(t), cb.resid(t));
        int conv = 0;
        refine_fast_s(xm.data(), ym.data(), sg, pp, rs, pool.mine(), cb.resid(t),
                      cb.beta_cand(t), &conv, usable_start(group_best.scales[e0 + t]),
                      cb.beta_ref(t), &cb.scale[t]);
      });
      for (int t = 0; t < m; ++t) {
        cb.rethrow(t);
        if (set.trace_level > 2) trace_merged_after(cb.beta_ref(t), pp, cb.scale[t]);
        final_best.offer(cb.resid(t), sg, set, cb.scale[t], cb.beta_ref(t), report);
      }
    }
  }

  // Final phase: the best candidates, refined to convergence on all data.
  *out.converged = 1;
  double best_scale = unset_scale;
  int max_it = 0;
  refine_best_to_convergence(
      x, y, nn, pp, set, pool, final_best.betas,
      [&](int e) { return usable_start(final_best.scales[e]); },
      [&](int e, const double* beta_ref, double s_e, int it, bool conv) {
        if (set.trace_level != 0)
          host::print(" best [%d]: %d iterations, i.e. %sconverged\n", e, it,
                      conv ? " " : "NOT ");
        if (s_e < best_scale) {
          best_scale = s_e;
          std::copy(beta_ref, beta_ref + pp, out.coef);
        }
        if (!conv) *out.converged = 0;
        max_it = std::max(max_it, it);
      },
      report);
  *out.scale = best_scale;
  *out.max_refine = max_it;
}

// ---- MM step ------------------------------------------------------------------

int rwls(const double* X, const double* y, int n, int p, double* b1, const double* b_init,
         double* resid, double* loss, double scale, double eps, int* max_it,
         const double* k, int ipsi, int trace, bool reference_ls) {
  wls_workspace ws(n, p, reference_ls, trace);
  std::vector<double> b0(b_init, b_init + p);
  double* w = ws.weights.data();
  // The weights of a step are made with the residuals of the step before
  // (the scale is fixed).  One pass over the rows per step: the residuals
  // of beta and, a chunk of rows at a time, their weights and the weighted
  // cross-product of the next solve (cross), or - after the last solve - the
  // chi terms of the loss (into ws.res, added in index order below: the sum
  // that sum_rho_sc makes).  With a trace that prints the loss of each step
  // it is summed each step instead.
  const bool chi_terms = trace <= 1;
  bool fused = false;  // whether the pass made the next solve's cross-product
  const auto pass = [&](const double* beta, bool cross) {
    fused = cross && ws.fuses_weights(n, p);
    if (fused) ws.normal_prepare(n, p);
    const bool chi = !cross && chi_terms;
    over_chunks(n, [&](int c, int r0, int r1) {
      residuals_then(
          X, y, n, p, beta, resid,
          [&](int i0, int i1) {
            if (cross) fill_wgt(resid, scale, i0, i1, k, ipsi, w);
            if (chi) fill_chi(resid, scale, i0, i1, k, ipsi, ws.res.data());
          },
          r0, r1);
      if (fused) ws.normal_chunk(X, y, w, n, p, c, nullptr, 1.0, nullptr, 1);
    });
  };
  pass(b0.data(), 1 < *max_it);
  double d = 0.0;
  bool converged = false;
  int it = 0;
  while (++it < *max_it) {
    host::check_interrupt();
    if (fused)
      ws.finish_reweighted(X, y, n, p, b1);
    else
      ws.solve(X, y, w, n, p, b1);
    d = norm1_diff(b0.data(), b1, p);
    converged = d <= eps * Rf_fmax2(eps, norm1(b1, p));
    pass(b1, !converged && it + 1 < *max_it);
    if (trace > 1) {
      *loss = sum_rho_sc(resid, scale, n, 0, k, ipsi);
      host::print(" it %4d: L(b1) = %12g ", it, *loss);
      if (trace > 2) {
        host::print("\n  b1 = (");
        for (int j = 0; j < p; ++j) host::print("%s%11g", j > 0 ? ", " : "", b1[j]);
        host::print(");");
      }
      host::print(" ||b0 - b1||_1 = %g\n", d);
    }
    std::copy(b1, b1 + p, b0.begin());
    if (converged) break;
  }
  if (chi_terms) {
    double sum = 0.0;
    for (int i = 0; i < n; ++i) sum += ws.res[i];
    *loss = sum / static_cast<double>(n);
  } else {
    *loss = sum_rho_sc(resid, scale, n, 0, k, ipsi);
  }
  if (trace > 0)
    host::print(" rwls() used %d it.; last ||b0 - b1||_1 = %g;%sconvergence\n", it, d,
                converged ? " " : " NON-");
  *max_it = it;
  return converged ? 1 : 0;
}

}  // namespace kelvara

using namespace kelvara;

extern "C" void R_subsample(const double* x, const double* y, const int* n, const int* p,
                            double* beta, int* perm_work, int* idc, int* var_order,
                            double* lu, double* col_work, int* pivot, double* row_scale,
                            double* col_scale, int* row_equ, int* col_equ, int* status,
                            const int* sample, const int* max_singular,
                            const int* nonsingular, const double* tol) {
  host::run_entry([&] {
    const int nn = *n, pp = *p;
    if (nn < 0 || pp < 0)
      host::fail("R_subsample: invalid dimensions n = %d, p = %d", nn, pp);
    host::rng_scope rng;
    std::vector<double> xe(static_cast<std::size_t>(nn) * pp), rs(nn), cs(pp);
    int requ = 0, cequ = 0;
    equilibrate_design(x, nn, pp, xe.data(), rs.data(), cs.data(), &requ, &cequ);
    *status = subsample(xe.data(), y, nn, pp, beta, perm_work, idc, var_order, lu,
                        col_work, pivot, rs.data(), cs.data(), requ, cequ, *sample,
                        *max_singular, *nonsingular, *tol);
    warn_subsample_failed(*status);
    std::copy(rs.begin(), rs.end(), row_scale);
    std::copy(cs.begin(), cs.end(), col_scale);
    *row_equ = requ;
    *col_equ = cequ;
  });
}

namespace {
// BLAS and LAPACK report an illegal argument through R's error routine, which
// must not run over C++ frames: the dimensions are checked first.
void check_regression_dims(const char* who, int n, int p) {
  if (p < 1 || n < p) host::fail("%s: need n >= p >= 1, got n = %d, p = %d", who, n, p);
}
}  // namespace

namespace kelvara {

void lmrob_s(const double* x, const double* y, int n, int p, const s_settings& set,
             const s_result& out, fit_report& report) {
  if (set.n_resample <= 0) {
    // The M-scale of y alone; a large sample may take long per iteration.
    bool conv = false;
    const double s = m_scale(y, set.b, set.k, set.ipsi, *out.scale, n, p,
                             set.max_it_scale, &conv, true);
    *out.scale = report.scale_solved(s, conv, set.max_it_scale);
    report.result_scale_unconverged = !conv;
    return;
  }
  check_regression_dims("R_lmrob_S", n, p);
  if (set.n_best < 1) host::fail("R_lmrob_S: the best list needs at least one entry");
  if (n > fast_s_large_n_threshold) {
    if (set.n_groups < 1 || set.group_size < 1 ||
        static_cast<double>(set.n_groups) * set.group_size > n)
      host::fail("R_lmrob_S: need 1 <= n_groups * group_size <= n");
    if (set.group_size < p)
      host::fail("R_lmrob_S: groups of %d observations are too small for %d coefficients",
                 set.group_size, p);
    fast_s_large_n(x, y, n, p, set, out, report);
  } else {
    fast_s(x, y, n, p, set, out, report);
  }
  if (report.code == FIT_OK && *out.scale == 0.0) report.code = FIT_EXACT;
  if (report.code == FIT_OK && !(*out.scale < unset_scale))
    report.code = FIT_NO_CANDIDATE;
}

}  // namespace kelvara

namespace {

s_settings unpack_s_settings(const int* n_resample, const double* k, const int* ipsi,
                             const double* b, const int* n_best, const int* n_groups,
                             const int* group_size, const int* refine_steps,
                             const int* max_refine, const int* max_it_scale,
                             const double* refine_tol, const double* tol,
                             const int* trace_level, const int* max_singular,
                             const int* nonsingular, bool reference_ls) {
  return {*n_resample,  *n_best,       *n_groups,   *group_size, *refine_steps,
          *max_refine,  *max_it_scale, *refine_tol, *tol,        *max_singular,
          *nonsingular, *trace_level,  *b,          k,           *ipsi,
          reference_ls};
}

}  // namespace

extern "C" void R_lmrob_S(const double* x, const double* y, const int* n, const int* p,
                          const int* n_resample, double* scale, double* beta,
                          const double* k, const int* ipsi, const double* b,
                          const int* n_best, const int* n_groups, const int* group_size,
                          const int* refine_steps, int* max_refine,
                          const int* max_it_scale, const double* refine_tol,
                          const double* tol, int* converged, const int* trace_level,
                          const int* max_singular, const int* nonsingular) {
  host::run_entry([&] {
    // This entry's argument list fixes the iteration limit of the search's
    // M-scale solves at fixed_max_it_scale; max_it_scale serves the
    // scale-only mode.  (kv_lmrob_S applies max_it_scale everywhere.)  Its
    // documented results rest on dgels for the least-squares steps.
    s_settings set = unpack_s_settings(
        n_resample, k, ipsi, b, n_best, n_groups, group_size, refine_steps, max_refine,
        max_it_scale, refine_tol, tol, trace_level, max_singular, nonsingular, true);
    if (set.n_resample > 0) set.max_it_scale = fixed_max_it_scale;
    fit_report report;
    lmrob_s(x, y, *n, *p, set, {beta, scale, converged, max_refine}, report);
    report.announce();
  });
}

namespace {

// r[0..i1-i0) = rows i0..i1-1 of y - x beta with the values of R's
// drop(y - x %*% beta): fitted_block, then the difference.
void r_residual_block(const double* x, const double* y, int n, int p, const double* beta,
                      int i0, int i1, double* r) {
  fitted_block(x, n, p, beta, i0, i1, r);
  for (int i = i0; i < i1; ++i) r[i - i0] = y[i] - r[i - i0];
}

// The number of rows whose weight wgt(r / s) is positive, r = y - x beta as
// r_residual_block forms it: the value of R's sum(wgt(r / s) > 0) for
// those residuals; -1 when one is not finite.  By chunks of rows over the
// threads.
int positive_weights(const double* x, const double* y, int n, int p, const double* beta,
                     double s, const double* k, int ipsi) {
  std::vector<int> counts(chunk_count(n));
  over_chunks(n, [&](int c, int r0, int r1) {
    std::vector<double> r(static_cast<std::size_t>(r1 - r0));
    r_residual_block(x, y, n, p, beta, r0, r1, r.data());
    int m = 0;
    for (double ri : r) {
      if (!std::isfinite(ri)) {
        m = -1;
        break;
      }
      if (wgt(ri / s, k, ipsi) > 0.0) ++m;
    }
    counts[c] = m;
  });
  int total = 0;
  for (int m : counts) {
    if (m < 0) return -1;
    total += m;
  }
  return total;
}

// The design x (n x p) and response y (n) of a list(x, y) argument (R passes
// its vectors without a copy).
struct shared_xy {
  const double* x;
  const double* y;
};
shared_xy shared_design(const void* data, int n, int p, const char* who) {
  if (n < 0 || p < 0) host::fail("%s: invalid dimensions", who);
  const std::size_t nn = static_cast<std::size_t>(n);
  return {host::shared_doubles(data, 0, nn * static_cast<std::size_t>(p), "the design"),
          host::shared_doubles(data, 1, nn, "the response")};
}

// The S fit of kv_lmrob_S (x and y, or the list(x, y) `data`); with
// `plane_tol`, also (into `residuals` when keep_residuals) y - x beta at its
// coefficients with the values of R's drop(y - x %*% beta) (fitted_block,
// then the difference), by chunks of rows over the threads, and into
// *n_on_plane how many of them are at most *plane_tol in absolute value
// (-1 when one is not finite).
void s_entry(const double* x, const double* y, const void* data, const int* n,
             const int* p, const int* n_resample, double* scale, double* beta,
             const double* k, const int* ipsi, const double* b, const int* n_best,
             const int* n_groups, const int* group_size, const int* refine_steps,
             int* max_refine, const int* max_it_scale, const double* refine_tol,
             const double* tol, int* converged, const int* trace_level,
             const int* max_singular, const int* nonsingular, int* status,
             double* residuals, bool keep_residuals, const double* plane_tol,
             int* n_on_plane) {
  host::run_entry([&] {
    if (data) {
      const shared_xy d = shared_design(data, *n, *p, "kv_lmrob_S_resid");
      x = d.x;
      y = d.y;
    }
    const s_settings set = unpack_s_settings(
        n_resample, k, ipsi, b, n_best, n_groups, group_size, refine_steps, max_refine,
        max_it_scale, refine_tol, tol, trace_level, max_singular, nonsingular, false);
    fit_report report;
    report.keep_events = false;
    lmrob_s(x, y, *n, *p, set, {beta, scale, converged, max_refine}, report);
    report.write(status);
    if (plane_tol && set.n_resample > 0) {
      const int nn = *n, pp = *p;
      std::vector<int> on(chunk_count(nn));
      over_chunks(nn, [&](int c, int r0, int r1) {
        std::vector<double> own;
        if (!keep_residuals) own.resize(static_cast<std::size_t>(r1 - r0));
        double* r = keep_residuals ? residuals + r0 : own.data();
        r_residual_block(x, y, nn, pp, beta, r0, r1, r);
        int m = 0;
        bool finite = true;
        for (int i = 0; i < r1 - r0; ++i) {
          if (!std::isfinite(r[i])) finite = false;
          if (std::fabs(r[i]) <= *plane_tol) ++m;
        }
        on[c] = finite ? m : -1;
      });
      int total = 0;
      for (int m : on) total = m < 0 || total < 0 ? -1 : total + m;
      *n_on_plane = total;
    }
  });
}

}  // namespace

extern "C" void kv_lmrob_S(const double* x, const double* y, const int* n, const int* p,
                           const int* n_resample, double* scale, double* beta,
                           const double* k, const int* ipsi, const double* b,
                           const int* n_best, const int* n_groups, const int* group_size,
                           const int* refine_steps, int* max_refine,
                           const int* max_it_scale, const double* refine_tol,
                           const double* tol, int* converged, const int* trace_level,
                           const int* max_singular, const int* nonsingular, int* status) {
  s_entry(x, y, nullptr, n, p, n_resample, scale, beta, k, ipsi, b, n_best, n_groups,
          group_size, refine_steps, max_refine, max_it_scale, refine_tol, tol, converged,
          trace_level, max_singular, nonsingular, status, nullptr, false, nullptr,
          nullptr);
}

extern "C" void kv_lmrob_S_resid(
    const void* data, const int* n, const int* p, const int* n_resample, double* scale,
    double* beta, const double* k, const int* ipsi, const double* b, const int* n_best,
    const int* n_groups, const int* group_size, const int* refine_steps, int* max_refine,
    const int* max_it_scale, const double* refine_tol, const double* tol, int* converged,
    const int* trace_level, const int* max_singular, const int* nonsingular, int* status,
    double* residuals, const int* keep_residuals, const double* plane_tol,
    int* n_on_plane) {
  s_entry(nullptr, nullptr, data, n, p, n_resample, scale, beta, k, ipsi, b, n_best,
          n_groups, group_size, refine_steps, max_refine, max_it_scale, refine_tol, tol,
          converged, trace_level, max_singular, nonsingular, status, residuals,
          *keep_residuals != 0, plane_tol, n_on_plane);
}

namespace {

// The values over the rows that lmrob()'s result and its inference need, at
// the coefficients beta and scale s of a fit on the n x p design x and
// response y (see kv_lmrob_rows).  Every value is made with the arithmetic
// of the R expression it stands for, so it is the same number:
//   fitted = x %*% beta: from 0, the columns in order (BLAS dgemv);
//   r = y - fitted, u = r / s, w = wgt(u) (R_wgtfun's function);
//   sums: R's sum() and mean() of doubles, an extended-precision sum in row
//   order (mean: divided by n, then corrected by the sum of the
//   deviations from it);
//   xtwx = crossprod(x * sqrt(w)): each entry a double sum in row order
//   (BLAS dsyrk).
// Rows are independent, so they run over the threads in chunks; the sums
// must take the rows in order and run on the calling thread while the other
// threads form the cross-product, whose entries are grouped into passes that
// each keep their own row order.
struct fitted_rows {
  const double *x, *y, *beta;
  int n, p;
  double scale;
  const double* k;
  int ipsi;
  bool intercept;
  double *fitted, *w, *sums, *xtwx;
  // Per row: psi(u)^2, psi'(u), w r^2 and sqrt(w).
  std::unique_ptr<double[]> psi2, dpsi, wrr, sw;
  // The square roots of the prior weights of the rows (x and y carry them
  // already), for the weighted total sum of squares; nullptr: all 1.
  const double* prior;

  // Entries of the cross-product per pass over the rows: each keeps its
  // running sum in a register of its own.
  static constexpr int per_pass = 4;
  static constexpr int block = 512;

  // Returns false when some residual is not finite (the caller then
  // computes in R, where such values have their own rules).
  bool run() {
    psi2.reset(new double[n]);
    dpsi.reset(new double[n]);
    wrr.reset(new double[n]);
    sw.reset(new double[n]);
    const int nc = chunk_count(n);
    std::vector<int> finite(nc, 1);
    over_chunks(n, [&](int c, int r0, int r1) { finite[c] = rows(r0, r1); });
    for (int c = 0; c < nc; ++c)
      if (!finite[c]) return false;
    // The cross-product's entries in groups of per_pass, the groups dealt
    // to `parts` parts that each read the rows once.
    const int groups = (p * (p + 1) / 2 + per_pass - 1) / per_pass;
    if (nc >= min_split_chunks) {
      const int parts = std::min(groups, 3);
      host::parallel_for_beside(
          parts, [&] { row_sums(); }, [&](int part) { cross_product(part, parts); });
    } else {
      row_sums();
      cross_product(0, 1);
    }
    return true;
  }

  bool rows(int r0, int r1) {
    bool ok = true;
    for (int i0 = r0; i0 < r1; i0 += block) {
      const int i1 = std::min(r1, i0 + block);
      fitted_block(x, n, p, beta, i0, i1, fitted + i0);
      for (int i = i0; i < i1; ++i) {
        const double r = y[i] - fitted[i];
        if (!std::isfinite(r)) ok = false;
        const double u = r / scale;
        w[i] = wgt(u, k, ipsi);
        const double ps = psi(u, k, ipsi);
        psi2[i] = ps * ps;
        dpsi[i] = psip(u, k, ipsi);
        wrr[i] = w[i] * (r * r);
        sw[i] = std::sqrt(w[i]);
      }
    }
    return ok;
  }

  // R's mean() of v from its extended-precision sum.
  double mean_of(const double* v, long double sum) const {
    long double m = sum / static_cast<long double>(n);
    if (std::isfinite(static_cast<double>(m))) {
      long double t = 0.0L;
      for (int i = 0; i < n; ++i) t += v[i] - m;
      m += t / static_cast<long double>(n);
    }
    return static_cast<double>(m);
  }

  // sums: mean(psi(u)^2), mean(psi'(u)), sum(w), sum(w > 0), the weighted
  // total sum of squares sum(w (y - c)^2) about c = sum(w y) / sum(w) (0
  // without an intercept) and sum(w r^2).  With prior weights (sw = prior)
  // the centre of row i is sw[i] sum(w sw y) / sum(w sw^2), as R's
  // y - sw * sum(w * sw * y) / sum(w * sw^2) forms it.
  void row_sums() {
    long double s_psi2 = 0.0L, s_dpsi = 0.0L, s_w = 0.0L, s_wy = 0.0L, s_sse = 0.0L,
                s_wss = 0.0L;
    int positive = 0;
    for (int i = 0; i < n; ++i) {
      s_psi2 += psi2[i];
      s_dpsi += dpsi[i];
      s_w += w[i];
      if (w[i] > 0.0) ++positive;
      if (prior) {
        s_wy += (w[i] * prior[i]) * y[i];
        s_wss += w[i] * (prior[i] * prior[i]);
      } else {
        s_wy += w[i] * y[i];
      }
      s_sse += wrr[i];
    }
    const double sum_w = static_cast<double>(s_w);
    const double sum_wy = static_cast<double>(s_wy), sum_wss = static_cast<double>(s_wss);
    const double centre = intercept && !prior ? sum_wy / sum_w : 0.0;
    long double s_tss = 0.0L;
    for (int i = 0; i < n; ++i) {
      const double c = intercept && prior ? (prior[i] * sum_wy) / sum_wss : centre;
      const double d = intercept ? y[i] - c : y[i];
      s_tss += w[i] * (d * d);
    }
    sums[0] = mean_of(psi2.get(), s_psi2);
    sums[1] = mean_of(dpsi.get(), s_dpsi);
    sums[2] = sum_w;
    sums[3] = positive;
    sums[4] = static_cast<double>(s_tss);
    sums[5] = static_cast<double>(s_sse);
  }

  // The groups part, part + parts, ... of per_pass entries of the upper
  // triangle (column by column) of crossprod(x * sqrt(w)), and their mirror
  // images.  The rows go by blocks whose scaled values x * sqrt(w) stay in
  // the cache while every group of the part takes them, each entry keeping
  // its running sum across the blocks in row order.
  void cross_product(int part, int parts) {
    // (entry e: its place in the column-by-column order)
    std::vector<int> ca, cb;
    for (int j = 0, e = 0; j < p; ++j)
      for (int i = 0; i <= j; ++i, ++e)
        if ((e / per_pass) % parts == part) {
          ca.push_back(i);
          cb.push_back(j);
        }
    const int m = static_cast<int>(ca.size());
    if (m == 0) return;
    const int rows_per = std::max(16, std::min(block * 4, 32768 / std::max(p, 1)));
    std::vector<double> a(static_cast<std::size_t>(rows_per) * p);
    std::vector<double> acc(static_cast<std::size_t>(m), 0.0);
    const double* s = sw.get();
    for (int l0 = 0; l0 < n; l0 += rows_per) {
      const int len = std::min(rows_per, n - l0);
      for (int j = 0; j < p; ++j) {
        const double* xj = x + static_cast<std::size_t>(j) * n + l0;
        double* aj = a.data() + static_cast<std::size_t>(j) * rows_per;
        for (int l = 0; l < len; ++l) aj[l] = xj[l] * s[l0 + l];
      }
      for (int e0 = 0; e0 < m; e0 += per_pass) {
        const double* u[per_pass];
        const double* v[per_pass];
        for (int t = 0; t < per_pass; ++t) {
          const int e = std::min(e0 + t, m - 1);  // (a repeated entry is not kept)
          u[t] = a.data() + static_cast<std::size_t>(ca[e]) * rows_per;
          v[t] = a.data() + static_cast<std::size_t>(cb[e]) * rows_per;
        }
        double t0 = acc[e0], t1 = e0 + 1 < m ? acc[e0 + 1] : 0.0,
               t2 = e0 + 2 < m ? acc[e0 + 2] : 0.0, t3 = e0 + 3 < m ? acc[e0 + 3] : 0.0;
        for (int l = 0; l < len; ++l) {
          t0 = t0 + u[0][l] * v[0][l];
          t1 = t1 + u[1][l] * v[1][l];
          t2 = t2 + u[2][l] * v[2][l];
          t3 = t3 + u[3][l] * v[3][l];
        }
        const double t[per_pass] = {t0, t1, t2, t3};
        for (int q = 0; q < per_pass && e0 + q < m; ++q) acc[e0 + q] = t[q];
      }
    }
    for (int e = 0; e < m; ++e) {
      xtwx[ca[e] + static_cast<std::size_t>(cb[e]) * p] = acc[e];
      xtwx[cb[e] + static_cast<std::size_t>(ca[e]) * p] = acc[e];
    }
  }
};

}  // namespace

namespace {
// The outputs of kv_lmrob_rows that an MM step makes at its estimate.
struct rows_outputs {
  const int* intercept;
  double *fitted, *w, *sums, *xtwx;
  int* status;
};

// The MM step behind the entry points; `reference` keeps dgels for every
// weighted least-squares step, and resid nullptr leaves the residuals of the
// steps in the call's own memory.  With `rows`, also the rows' values of
// kv_lmrob_rows at the coefficients reached and the scale, with its status.
// With `positive`, the steps run only when at least p rows get a positive
// weight at b_init and the scale: *positive receives their number
// (positive_weights).  Every vector of the call is made inside run_entry, so
// that an error or interrupt unwinds it before R takes over.
void mm_entry(const char* who, bool reference, const double* X, const double* y,
              const void* data, const int* n, const int* p, const double* b_init,
              const double* scale, double* b1, double* resid, int* max_it,
              const double* k, const int* ipsi, double* loss, const double* eps,
              int* converged, const int* trace, const rows_outputs* rows = nullptr,
              int* positive = nullptr) {
  host::run_entry([&] {
    check_regression_dims(who, *n, *p);
    if (data) {
      const shared_xy d = shared_design(data, *n, *p, who);
      X = d.x;
      y = d.y;
    }
    if (positive) {
      *positive = positive_weights(X, y, *n, *p, b_init, *scale, k, *ipsi);
      if (*positive < *p) return;
    }
    std::vector<double> own;
    if (!resid) {
      own.resize(static_cast<std::size_t>(*n));
      resid = own.data();
    }
    *converged = rwls(X, y, *n, *p, b1, b_init, resid, loss, *scale, *eps, max_it, k,
                      *ipsi, *trace, reference);
    if (rows) {
      const bool icpt = *rows->intercept != 0;
      fitted_rows fr{X,          y,     b1,   *n,           *p,      *scale,
                     k,          *ipsi, icpt, rows->fitted, rows->w, rows->sums,
                     rows->xtwx, {},    {},   {},           {},      nullptr};
      *rows->status = fr.run() ? 0 : 1;
    }
  });
}
}  // namespace

extern "C" void R_lmrob_MM(const double* X, const double* y, const int* n, const int* p,
                           const double* b_init, const double* scale, double* b1,
                           double* resid, int* max_it, const double* k, const int* ipsi,
                           double* loss, const double* eps, int* converged,
                           const int* trace, const int*, const int*) {
  mm_entry("R_lmrob_MM", true, X, y, nullptr, n, p, b_init, scale, b1, resid, max_it, k,
           ipsi, loss, eps, converged, trace);
}

extern "C" void kv_lmrob_MM(const double* X, const double* y, const int* n, const int* p,
                            const double* b_init, const double* scale, double* b1,
                            double* resid, int* max_it, const double* k, const int* ipsi,
                            double* loss, const double* eps, int* converged,
                            const int* trace, const int*, const int*) {
  mm_entry("kv_lmrob_MM", false, X, y, nullptr, n, p, b_init, scale, b1, resid, max_it, k,
           ipsi, loss, eps, converged, trace);
}

extern "C" void kv_lmrob_MM_list(const void* data, const int* n, const int* p,
                                 const double* b_init, const double* scale, double* b1,
                                 double* resid, int* max_it, const double* k,
                                 const int* ipsi, double* loss, const double* eps,
                                 int* converged, const int* trace,
                                 const int* keep_residuals, int* positive) {
  mm_entry("kv_lmrob_MM_list", false, nullptr, nullptr, data, n, p, b_init, scale, b1,
           *keep_residuals != 0 ? resid : nullptr, max_it, k, ipsi, loss, eps, converged,
           trace, nullptr, positive);
}

extern "C" void kv_lmrob_MM_rows(const void* data, const int* n, const int* p,
                                 const double* b_init, const double* scale, double* b1,
                                 int* max_it, const double* k, const int* ipsi,
                                 double* loss, const double* eps, int* converged,
                                 const int* trace, const int* intercept, double* fitted,
                                 double* w, double* sums, double* xtwx, int* rows_status,
                                 int* positive) {
  // (the residuals of the steps are not returned: the rows' values stand for them)
  const rows_outputs rows{intercept, fitted, w, sums, xtwx, rows_status};
  mm_entry("kv_lmrob_MM", false, nullptr, nullptr, data, n, p, b_init, scale, b1, nullptr,
           max_it, k, ipsi, loss, eps, converged, trace, &rows, positive);
}

extern "C" void kv_wls(const double* x, const double* y, const double* w, const int* n,
                       const int* p, double* beta, const int* reference, int* info,
                       int* fallback) {
  host::run_entry([&] {
    check_regression_dims("kv_wls", *n, *p);
    wls_workspace ws(*n, *p, *reference != 0, 0);
    *info = ws.solve(x, y, w, *n, *p, beta, true);
    *fallback = ws.fallbacks;
  });
}

// r = y - x beta (n) of the list(x, y) `data` (x n x p), with the values of
// R's drop(y - x %*% beta): those kv_lmrob_S_resid returns.
extern "C" void kv_residuals(const void* data, const int* n, const int* p,
                             const double* beta, double* r) {
  host::run_entry([&] {
    check_regression_dims("kv_residuals", *n, *p);
    const shared_xy d = shared_design(data, *n, *p, "kv_residuals");
    over_chunks(*n, [&](int, int r0, int r1) {
      r_residual_block(d.x, d.y, *n, *p, beta, r0, r1, r + r0);
    });
  });
}

extern "C" void kv_lmrob_rows(const void* data, const int* n, const int* p,
                              const double* beta, const double* scale, const double* k,
                              const int* ipsi, const int* intercept, const int* has_prior,
                              double* fitted, double* w, double* sums, double* xtwx,
                              int* status) {
  host::run_entry([&] {
    check_regression_dims("kv_lmrob_rows", *n, *p);
    const shared_xy d = shared_design(data, *n, *p, "kv_lmrob_rows");
    const double* prior =
        *has_prior != 0 ? host::shared_doubles(data, 2, static_cast<std::size_t>(*n),
                                               "the prior weights")
                        : nullptr;
    fitted_rows fr{d.x,    d.y, beta, *n,   *p, *scale, k,  *ipsi, *intercept != 0,
                   fitted, w,   sums, xtwx, {}, {},     {}, {},    prior};
    *status = fr.run() ? 0 : 1;
  });
}

// ---- units of the R layer ------------------------------------------------------
// The standardisation of the R layer (R/standardise.R) reads the design and
// response from a list argument, without the copies .C makes of vectors.

// out[j] (j < p) = whether column j of the n x p design (the list(x) data)
// holds one non-zero number on every row: the value of R's
// x[1, j] != 0 && all(x[, j] == x[1, j]), with 0 FALSE, 1 TRUE and 2 NA
// (a NaN, which compares as NA, where no row decides FALSE).  A column
// is read until its first value that differs; n >= 1.
extern "C" void kv_constant_columns(const void* data, const int* n, const int* p,
                                    int* out) {
  host::run_entry([&] {
    const long nn = *n;
    const int pp = *p;
    if (nn < 1 || pp < 0) host::fail("kv_constant_columns: invalid dimensions");
    const double* x = host::shared_doubles(
        data, 0, static_cast<std::size_t>(nn) * static_cast<std::size_t>(pp),
        "the design");
    for (int j = 0; j < pp; ++j) {
      const double* col = x + static_cast<std::size_t>(j) * nn;
      const double v1 = col[0];
      if (std::isnan(v1)) {
        out[j] = 2;  // every comparison with it is NA
        continue;
      }
      if (v1 == 0.0) {
        out[j] = 0;
        continue;
      }
      // (the last row first: the one a non-constant column most often
      // differs in when its first rows tie, as sorted or grouped data do)
      int value = 1;
      if (!std::isnan(col[nn - 1]) && col[nn - 1] != v1) value = 0;
      for (long i = 1; i < nn && value != 0; ++i) {
        if (std::isnan(col[i]))
          value = 2;
        else if (col[i] != v1)
          value = 0;
      }
      out[j] = value;
    }
  });
}

// ---- M-S estimator ----------------------------------------------------------
// The design is split into a block X1 fitted by L1 regression (typically the
// intercept and the dummy columns of factors) and a block X2 of continuous
// columns fitted by random exact fits and weighted least squares.

namespace kelvara {

namespace {

void copy(const double* from, std::size_t count, double* to) {
  if (count > 0) std::copy(from, from + count, to);
}

std::size_t cells(int rows, int cols) {
  return static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols);
}

// out = out - A v for the rows x cols matrix A (leading dimension rows).
void subtract_product(int rows, int cols, const double* A, const double* v, double* out) {
  if (rows <= 0 || cols <= 0) return;  // BLAS rejects a leading dimension of 0
  const double minus_one = -1.0, one = 1.0;
  const int inc = 1;
  F77_CALL(dgemv)
  ("N", &rows, &cols, &minus_one, A, &rows, v, &inc, &one, out, &inc FCONE);
}

// The L1 fit of `response` (overwritten) on a fresh copy of X1: coef
// receives the coefficients (p1 of them), resid the residuals.
void l1_on_x1(const ms_problem& pr, double* response, double* coef, double* resid,
              l1_call_state& l1) {
  int n = pr.n, p1 = pr.p1;
  double tol = pr.descent_tol;
  copy(pr.X1, cells(n, p1), l1.x1_work);
  rllarsbi(l1.x1_work, response, &n, &p1, &n, &n, &tol, &l1.nit, &l1.k_rank, &l1.kode,
           &l1.sigma, coef, resid, l1.sc1, l1.sc2, l1.sc3, l1.sc4, &l1.bet0);
}

// Copies the rows of the n x p matrix x that are not entirely zero, and the
// matching entries of y, into xr and yr when there are rows to leave out;
// returns the number of rows kept.
int nonzero_rows(const double* x, const double* y, int n, int p, std::vector<double>& xr,
                 std::vector<double>& yr) {
  std::vector<int> kept;
  kept.reserve(n);
  for (int i = 0; i < n; ++i) {
    bool zero = p > 0;
    for (int j = 0; j < p && zero; ++j) zero = x[i + cells(n, j)] == 0.0;
    if (!zero) kept.push_back(i);
  }
  const int m = static_cast<int>(kept.size());
  if (m == n) return n;
  xr.resize(cells(m, p));
  yr.resize(m);
  for (int r = 0; r < m; ++r) {
    yr[r] = y[kept[r]];
    for (int j = 0; j < p; ++j) xr[r + cells(m, j)] = x[kept[r] + cells(n, j)];
  }
  return m;
}

void print_vector(const char* label, const double* v, int len) {
  host::print("%s", label);
  disp_vec(v, len);
}

// The M-scale of the residuals r (n) of an M-S candidate, from start: 0 when
// the equation has no positive root; the solve is recorded in report.
double ms_scale(const ms_problem& pr, const double* r, double start, bool* converged,
                fit_report& report) {
  const int p = pr.p1 + pr.p2;
  if (scale_is_zero(count_zeros(r, pr.n), pr.n, p, *pr.b)) {
    *converged = true;
    return 0.0;
  }
  const double s =
      m_scale(r, *pr.b, pr.k, pr.ipsi, start, pr.n, p, pr.max_it_scale, converged);
  return report.scale_solved(s, *converged, pr.max_it_scale);
}

void trace_descent_step(const double* weights, const double* t1, const double* t2,
                        const double* res2, const ms_problem& pr, double s) {
  print_vector("weights: ", weights, pr.n);
  print_vector("t2: ", t2, pr.p2);
  print_vector("t1: ", t1, pr.p1);
  print_vector("res2: ", res2, pr.n);
  host::print("sc: %.5f\n", s);
}

// The weighted least-squares step of the descent: t2 from the residuals of
// y on X1 t1, weighted at the residuals res2 and the scale s.
void descent_wls_step(const ms_problem& pr, double s, const double* res2,
                      wls_workspace& wls, ms_workspace& ws) {
  const int n = pr.n;
  copy(pr.y, n, ws.rs);
  subtract_product(n, pr.p1, pr.X1, ws.theta, ws.rs);
  weights_of(res2, s, n, pr.k, pr.ipsi, wls.weights.data());
  wls.solve(pr.X2, ws.rs, wls.weights.data(), n, pr.p2, ws.b2_work);
}

}  // namespace

l1_call_state::l1_call_state(int n, int p1)
    : x1_work(host::transient_array<double>(cells(n, p1))),
      sc1(host::transient_array<double>(n)),
      sc2(host::transient_array<double>(p1)),
      sc3(host::transient_array<double>(p1)),
      sc4(host::transient_array<double>(p1)) {}

ms_workspace::ms_workspace(int n, int p2)
    : theta(host::transient_array<double>(n)),
      b2_work(host::transient_array<double>(p2)),
      rs(host::transient_array<double>(n)),
      res2(host::transient_array<double>(n)),
      x2_work(host::transient_array<double>(cells(n, p2))) {}

namespace {

// The arrays one thread needs to complete M-S candidates: the L1 routine's
// state, its coefficients (n values: rllarsbi's need) and its response.
struct ms_thread_state {
  ms_thread_state(int n, int p1)
      : l1(n, p1),
        theta(host::transient_array<double>(n)),
        rs(host::transient_array<double>(n)) {}
  l1_call_state l1;
  double* theta;
  double* rs;
};

// The M-S candidates of one batch: the X2 coefficients of the draw, the L1
// coefficients and residuals completing it, and the L1 routine's report.
struct ms_batch {
  ms_batch(int size_, int n_, int p1_, int p2_)
      : size(size_),
        n(static_cast<std::size_t>(n_)),
        p1(static_cast<std::size_t>(p1_)),
        p2(static_cast<std::size_t>(p2_)),
        b1s(size_ * p1),
        b2s(std::max<std::size_t>(size_ * p2, 1)),
        ress(size_ * n),
        nit(size_),
        k_rank(size_),
        kode(size_),
        sigma(size_) {}
  double* b1(int t) { return b1s.data() + t * p1; }
  double* b2(int t) { return b2s.data() + t * p2; }
  double* res(int t) { return ress.data() + t * n; }
  // The L1 routine's report of candidate t into l1, as if it had run last.
  void report_to(int t, l1_call_state& l1) const {
    l1.nit = nit[t];
    l1.k_rank = k_rank[t];
    l1.kode = kode[t];
    l1.sigma = sigma[t];
  }
  int size;
  std::size_t n, p1, p2;
  std::vector<double> b1s, b2s, ress;
  std::vector<int> nit, k_rank, kode;
  std::vector<double> sigma;
};

}  // namespace

void m_s_subsample(const ms_problem& pr, const ms_search_settings& set,
                   const double* y_draw, const double* x2_draw, ms_fit& fit,
                   ms_workspace& /* not needed: each thread has its own */,
                   l1_call_state& l1, fit_report& report) {
  const int n = pr.n, p1 = pr.p1, p2 = pr.p2, p = p1 + p2;
  fit.scale = unset_scale;
  if (pr.trace_level > 1) host::print("starting with subsampling procedure...\n");
  // Cases whose X2 row is zero cannot be part of a non-singular draw, and
  // the equilibration refuses them; the orthogonalised X2 has such rows
  // wherever the L1 fits on X1 pass through a case.  Draws are taken from
  // the other cases (from all cases, as usual, when there are none).
  std::vector<double> x2_drawn, y_drawn;
  const int n_drawn = nonzero_rows(x2_draw, y_draw, n, p2, x2_drawn, y_drawn);
  if (n_drawn < p2) {
    report.code = FIT_FEW_X2_ROWS;
    report.detail = n_drawn;
    report.note(EV_FEW_X2_ROWS, n_drawn, p2);
    fit.scale = -1.0;
    return;
  }
  const bool all_rows = n_drawn == n;
  subsample_workspace draws(all_rows ? x2_draw : x2_drawn.data(), n_drawn, p2);
  const double* y_sub = all_rows ? y_draw : y_drawn.data();

  // The draws of a batch are made first, in the serial order; the L1 fits
  // completing them run in parallel; the merge takes them in draw order.
  // A candidate that ends the search (a failed L1 fit, a collapsed scale)
  // is known only after its L1 fit, when the draws after it in its batch
  // have been made: the generator's state after each draw is kept, and the
  // one after the ending candidate's draw is put back, so that the random
  // stream ends where drawing one candidate at a time would leave it.
  const int batch = static_cast<int>(std::max<std::size_t>(
      2, std::min<std::size_t>(16, (std::size_t(1) << 22) / static_cast<std::size_t>(n))));
  ms_batch cb(std::min(batch, std::max(set.n_resample, 1)), n, p1, p2);
  std::vector<ms_thread_state> states;
  const int width = host::detail::parallel_width(cb.size);
  for (int w = 0; w < width; ++w) states.emplace_back(n, p1);

  std::vector<int> rng_after(static_cast<std::size_t>(cb.size) * host::rng_state_len);
  std::vector<int> rng_len(static_cast<std::size_t>(cb.size));
  host::rng_scope rng;
  for (int i = 0; i < set.n_resample;) {
    int m = 0, status = SUBSAMPLE_OK;
    while (m < cb.size && i + m < set.n_resample) {
      host::check_interrupt();
      status = draws.draw(y_sub, cb.b2(m), set.max_singular, set.nonsingular, set.tol);
      report.singular = draws.singular;
      if (status != SUBSAMPLE_OK) break;
      rng_len[m] = host::rng_save(rng_after.data() + std::size_t(m) * host::rng_state_len);
      ++m;
    }
    // Ends the search at candidate t: the draws after it are taken back.
    auto take_back_after = [&](int t) {
      if (t + 1 < m || status != SUBSAMPLE_OK)
        host::rng_restore(rng_after.data() + std::size_t(t) * host::rng_state_len,
                          rng_len[t]);
    };
    host::parallel_for(m, [&](int t) {
      ms_thread_state& st = states[static_cast<std::size_t>(worker_index())];
      copy(y_draw, n, st.rs);
      subtract_product(n, p2, x2_draw, cb.b2(t), st.rs);
      l1_on_x1(pr, st.rs, st.theta, cb.res(t), st.l1);
      copy(st.theta, p1, cb.b1(t));
      cb.nit[t] = st.l1.nit;
      cb.k_rank[t] = st.l1.k_rank;
      cb.kode[t] = st.l1.kode;
      cb.sigma[t] = st.l1.sigma;
    });
    for (int t = 0; t < m; ++t) {
      const double* res = cb.res(t);
      // The residuals of the candidate merged last stand in fit.res.
      const bool last = t == m - 1;
      if (cb.kode[t] > 1) {
        copy(res, n, fit.res);
        cb.report_to(t, l1);
        report.code = FIT_L1_FAILED;
        report.detail = cb.kode[t];
        report.note(EV_SEARCH_L1_FAILED, cb.kode[t]);
        fit.scale = -1.0;
        take_back_after(t);
        return;
      }
      // Early rejection: only a candidate whose residuals have a mean chi
      // below b at the best scale so far can have a smaller M-scale.
      if (sum_rho_sc(res, fit.scale, n, p, pr.k, pr.ipsi) < *pr.b) {
        bool conv = false;
        const double s = ms_scale(pr, res, fit.scale, &conv, report);
        if (pr.trace_level > 1)
          host::print("Step %d: new candidate with sc = %.5f\n", i + t, s);
        fit.scale = s;
        report.result_scale_unconverged = !conv;
        copy(cb.b1(t), p1, fit.b1);
        copy(cb.b2(t), p2, fit.b2);
        if (s < ms_min_scale) {
          copy(res, n, fit.res);
          cb.report_to(t, l1);
          report.code = FIT_EXACT;
          report.note(EV_SCALE_TOO_SMALL);
          take_back_after(t);
          return;
        }
      }
      if (last) {
        copy(res, n, fit.res);
        cb.report_to(t, l1);
      }
    }
    i += m;
    if (status != SUBSAMPLE_OK) {
      report.draw_failed(status);
      fit.scale = -1.0;
      return;
    }
  }
  if (pr.trace_level > 0)
    host::print("Finished M-S subsampling with scale = %.5f\n", fit.scale);
  if (pr.trace_level > 2) {
    print_vector("b1: ", fit.b1, p1);
    print_vector("b2: ", fit.b2, p2);
  }
}

bool m_s_descent(const ms_problem& pr, const ms_descent_settings& set, ms_fit& fit,
                 ms_workspace& ws, l1_call_state& l1, fit_report& report) {
  const int n = pr.n, p1 = pr.p1, p2 = pr.p2;
  double* t1 = ws.theta;    // the step's coefficients of X1
  double* t2 = ws.b2_work;  // and of X2
  double* res2 = ws.res2;   // and its residuals
  copy(fit.b1, p1, t1);
  copy(fit.b2, p2, t2);
  copy(fit.res, n, res2);
  double s = fit.scale;
  if (pr.trace_level > 1) host::print("starting with descent procedure...\n");

  wls_workspace wls(n, p2, pr.reference_ls, pr.trace_level);
  const double* weights = wls.weights.data();
  if (pr.trace_level > 4) {
    host::print("scale: %.5f\n", fit.scale);
    print_vector("res2: ", res2, n);
  }

  int conv = 0, steps = 0, stagnant = 0;
  while (conv == 0 && steps < set.max_steps && stagnant < set.max_no_improve) {
    ++steps;
    host::check_interrupt();
    // Weighted least squares for b2 with the X1 part fixed.
    descent_wls_step(pr, s, res2, wls, ws);
    copy(pr.y, n, res2);
    subtract_product(n, p2, pr.X2, t2, res2);
    copy(res2, n, ws.rs);
    // L1 step for b1 with the X2 part fixed.
    l1_on_x1(pr, ws.rs, t1, res2, l1);
    if (l1.kode > 1) {
      report.code = FIT_L1_FAILED;
      report.detail = l1.kode;
      report.descent = DESCENT_FAILED;
      return false;
    }
    bool scale_conv = false;
    s = ms_scale(pr, res2, s, &scale_conv, report);
    const double d = std::sqrt(norm_diff2(fit.b1, t1, p1) + norm_diff2(fit.b2, t2, p2));
    const double m = std::sqrt(norm2(t1, p1) + norm2(t2, p2));
    if (pr.trace_level > 4) trace_descent_step(weights, t1, t2, res2, pr, s);
    ++stagnant;
    if (s < fit.scale) {
      copy(t1, p1, fit.b1);
      copy(t2, p2, fit.b2);
      copy(res2, n, fit.res);
      fit.scale = s;
      report.result_scale_unconverged = !scale_conv;
      if (pr.trace_level > 2)
        host::print("Refinement step %d: better fit, scale: %.5f\n", steps, s);
      stagnant = 0;
    }
    conv = d < pr.descent_tol * Rf_fmax2(pr.descent_tol, m) ? 1 : 0;
    // An exact fit: no weights can be formed at scale 0.
    if (s == 0.0) {
      report.code = FIT_EXACT;
      conv = 1;
    }
  }
  if (conv)
    report.descent = DESCENT_SETTLED;
  else if (steps >= set.max_steps) {
    report.descent = DESCENT_STEP_LIMIT;
    report.note(EV_DESCENT_STEP_LIMIT);
  } else {
    report.descent = DESCENT_NO_IMPROVE;
  }
  if (pr.trace_level > 0)
    host::print("descent procedure: %sconverged.\n", conv ? "" : "not ");
  if (pr.trace_level > 2) {
    print_vector("b1: ", fit.b1, p1);
    print_vector("b2: ", fit.b2, p2);
  }
  return conv != 0;
}

namespace {

// The L1 residuals of y (into y_work) and of the columns of X2 (into
// x2_work) on X1, with their coefficients in y_coef (p1) and x2_coef
// (p1 x p2).  A failed L1 fit leaves meaningless coefficients that would
// step back into b1: then y_work and x2_work are plain copies again, the
// coefficients zero, and the failure is recorded.
void orthogonalize_on_x1(const ms_problem& pr, double* y_work, double* x2_work,
                         double* y_coef, double* x2_coef, ms_workspace& ws,
                         l1_call_state& l1, fit_report& report) {
  const int n = pr.n, p1 = pr.p1, p2 = pr.p2;
  l1_on_x1(pr, y_work, ws.theta, ws.rs, l1);
  int worst = l1.kode;
  copy(ws.theta, p1, y_coef);
  for (int j = 0; j < p2; ++j) {
    copy(pr.X2 + cells(n, j), n, y_work);
    l1_on_x1(pr, y_work, ws.theta, x2_work + cells(n, j), l1);
    worst = std::max(worst, l1.kode);
    copy(ws.theta, p1, x2_coef + cells(p1, j));
  }
  copy(ws.rs, n, y_work);
  if (worst > 1) {
    report.orth_failed = worst;
    report.note(EV_ORTH_L1_FAILED, worst);
    copy(pr.y, n, y_work);
    copy(pr.X2, cells(n, p2), x2_work);
    std::fill(y_coef, y_coef + p1, 0.0);
    std::fill(x2_coef, x2_coef + cells(p1, p2), 0.0);
  }
}

}  // namespace

void lmrob_m_s(const ms_problem& pr, bool orthogonalize, bool do_subsample,
               const ms_search_settings& search, bool do_descent,
               const ms_descent_settings& descent, ms_fit& fit, int* converged,
               fit_report& report) {
  const int n = pr.n, p1 = pr.p1, p2 = pr.p2;
  // Every work array below is sized by these; an empty block is allowed.
  if (p1 < 0 || p2 < 0 || p1 + p2 < 1 || n <= p1 + p2)
    host::fail(
        "R_lmrob_M_S: needs p1 >= 0, p2 >= 0, p1 + p2 >= 1 and n > p1 + p2 "
        "(n = %d, p1 = %d, p2 = %d)",
        n, p1, p2);
  ms_workspace ws(n, p2);
  l1_call_state l1(n, p1);
  double* y_coef = host::transient_array<double>(p1);
  double* x2_coef = host::transient_array<double>(cells(p1, p2));
  double* y_work = host::transient_array<double>(n);
  double* x2_work = host::transient_array<double>(cells(n, p2));
  copy(pr.y, n, y_work);
  copy(pr.X2, cells(n, p2), x2_work);
  if (orthogonalize)
    orthogonalize_on_x1(pr, y_work, x2_work, y_coef, x2_coef, ws, l1, report);
  if (do_subsample) {
    m_s_subsample(pr, search, y_work, x2_work, fit, ws, l1, report);
    if (report.code != FIT_OK && report.code != FIT_EXACT) return;
  }
  if (orthogonalize) {
    // Back to the coefficients of the untransformed design.
    for (int j = 0; j < p1; ++j) fit.b1[j] = y_coef[j] + fit.b1[j];
    subtract_product(p1, p2, x2_coef, fit.b2, fit.b1);
  }
  copy(pr.y, n, fit.res);
  subtract_product(n, p1, pr.X1, fit.b1, fit.res);
  subtract_product(n, p2, pr.X2, fit.b2, fit.res);
  if (do_descent && report.code == FIT_OK)
    *converged = m_s_descent(pr, descent, fit, ws, l1, report) ? 1 : 0;
  if (report.code == FIT_OK && !(fit.scale < unset_scale)) report.code = FIT_NO_CANDIDATE;
}

}  // namespace kelvara

namespace {

void run_m_s(const double* X1, const double* X2, const double* y, double* res,
             const int* n, const int* p1, const int* p2, const int* n_resample,
             double* scale, double* b1, double* b2, const double* k, const int* ipsi,
             const double* b, const int* max_no_improve, const int* max_steps,
             const double* descent_tol, const double* tol, int* converged,
             const int* trace_level, const int* orthogonalize, const int* do_subsample,
             const int* do_descent, const int* max_singular, const int* nonsingular,
             int max_it_scale, bool reference_ls, fit_report& report) {
  const ms_problem pr{X1,          X2, y,     *n,           *p1,          *p2,
                      b,           k,  *ipsi, max_it_scale, *descent_tol, *trace_level,
                      reference_ls};
  const ms_search_settings search{*n_resample, *tol, *max_singular, *nonsingular};
  const ms_descent_settings descent{*max_no_improve, *max_steps};
  ms_fit fit{b1, b2, res, *scale};
  lmrob_m_s(pr, *orthogonalize > 0, *do_subsample > 0, search, *do_descent > 0, descent,
            fit, converged, report);
  *scale = fit.scale;
}

}  // namespace

extern "C" void R_lmrob_M_S(const double* X1, const double* X2, const double* y,
                            double* res, const int* n, const int* p1, const int* p2,
                            const int* n_resample, double* scale, double* b1, double* b2,
                            const double* k, const int* ipsi, const double* b,
                            const int* max_no_improve, const int* max_steps,
                            const double* descent_tol, const double* tol, int* converged,
                            const int* trace_level, const int* orthogonalize,
                            const int* do_subsample, const int* do_descent,
                            const int* max_singular, const int* nonsingular) {
  host::run_entry([&] {
    fit_report report;
    run_m_s(X1, X2, y, res, n, p1, p2, n_resample, scale, b1, b2, k, ipsi, b,
            max_no_improve, max_steps, descent_tol, tol, converged, trace_level,
            orthogonalize, do_subsample, do_descent, max_singular, nonsingular,
            fixed_max_it_scale, true, report);
    report.announce();
    if (report.descent == DESCENT_FAILED)
      host::fail("m_s_descent(): Problem in rllarsbi (rilars). KODE=%d. Exiting.",
                 report.detail);
    // A search that ended early (a failed draw or L1 fit, or a collapsed
    // scale) is this entry's error; a fit without a candidate is written out.
    if (report.code != FIT_OK && report.code != FIT_NO_CANDIDATE &&
        report.descent == DESCENT_NOT_RUN) {
      *scale = -1.0;
      host::fail("m_s_subsample() stopped prematurely.");
    }
  });
}

extern "C" void kv_lmrob_M_S(const double* X1, const double* X2, const double* y,
                             double* res, const int* n, const int* p1, const int* p2,
                             const int* n_resample, double* scale, double* b1, double* b2,
                             const double* k, const int* ipsi, const double* b,
                             const int* max_no_improve, const int* max_steps,
                             const double* descent_tol, const double* tol, int* converged,
                             const int* trace_level, const int* orthogonalize,
                             const int* do_subsample, const int* do_descent,
                             const int* max_singular, const int* nonsingular,
                             const int* max_it_scale, int* status) {
  host::run_entry([&] {
    fit_report report;
    report.keep_events = false;
    run_m_s(X1, X2, y, res, n, p1, p2, n_resample, scale, b1, b2, k, ipsi, b,
            max_no_improve, max_steps, descent_tol, tol, converged, trace_level,
            orthogonalize, do_subsample, do_descent, max_singular, nonsingular,
            *max_it_scale, false, report);
    report.write(status);
  });
}

// ---- reports --------------------------------------------------------------------

namespace kelvara {

void fit_report::draw_failed(int status) {
  code = FIT_NO_SUBSAMPLE;
  detail = status;
  note(status == SUBSAMPLE_NO_REPLACEMENT ? EV_NO_REPLACEMENT : EV_TOO_MANY_SINGULAR);
}

void fit_report::write(int* status) const {
  status[STATUS_CODE] = code;
  status[STATUS_DETAIL] = detail;
  status[STATUS_SCALE_UNCONVERGED] = scale_unconverged;
  status[STATUS_RESULT_SCALE_UNCONVERGED] = result_scale_unconverged ? 1 : 0;
  status[STATUS_REFINE_UNCONVERGED] = refine_unconverged;
  status[STATUS_DESCENT] = descent;
  status[STATUS_SINGULAR] = singular > std::numeric_limits<int>::max()
                                ? std::numeric_limits<int>::max()
                                : static_cast<int>(singular);
  status[STATUS_ORTH_FAILED] = orth_failed;
}

void fit_report::announce() const {
  for (const fit_event& e : events) {
    switch (e.kind) {
      case EV_SCALE_NOT_CONVERGED:
        warn_scale_not_converged(e.a);
        break;
      case EV_REFINE_NOT_CONVERGED:
        host::warn("S refinements did not converge (to tol=%g) in %d iterations", e.x,
                   e.a);
        break;
      case EV_NO_REPLACEMENT:
        warn_subsample_failed(SUBSAMPLE_NO_REPLACEMENT);
        break;
      case EV_TOO_MANY_SINGULAR:
        warn_subsample_failed(SUBSAMPLE_TOO_MANY_SINGULAR);
        break;
      case EV_FEW_X2_ROWS:
        host::warn(
            "M-S subsampling: only %d cases have a nonzero row of x2, fewer than "
            "its %d columns",
            e.a, e.b);
        break;
      case EV_ORTH_L1_FAILED:
        host::warn(
            "M-S estimate: L1 fit on x1 failed in the orthogonalisation "
            "(KODE=%d); continuing without it",
            e.a);
        break;
      case EV_SEARCH_L1_FAILED:
        host::eprint(
            "\nm_s_subsample(): Problem in rllarsbi (rilars). KODE=%d. Exiting.\n", e.a);
        break;
      case EV_SCALE_TOO_SMALL:
        host::eprint("\nScale too small\n");
        host::eprint("Aborting m_s_subsample()\n\n");
        break;
      case EV_DESCENT_STEP_LIMIT:
        host::warn("M-S estimate: maximum number of refinement steps reached.");
        break;
    }
  }
}

}  // namespace kelvara

extern "C" void kv_constants(int* codes, const int* n_codes, double* values,
                             const int* n_values) {
  host::run_entry([&] {
    const int code_table[] = {FIT_OK,
                              FIT_EXACT,
                              FIT_NO_SUBSAMPLE,
                              FIT_L1_FAILED,
                              FIT_FEW_X2_ROWS,
                              FIT_NO_CANDIDATE,
                              DESCENT_NOT_RUN,
                              DESCENT_SETTLED,
                              DESCENT_NO_IMPROVE,
                              DESCENT_STEP_LIMIT,
                              DESCENT_FAILED,
                              STATUS_CODE,
                              STATUS_DETAIL,
                              STATUS_SCALE_UNCONVERGED,
                              STATUS_RESULT_SCALE_UNCONVERGED,
                              STATUS_REFINE_UNCONVERGED,
                              STATUS_DESCENT,
                              STATUS_SINGULAR,
                              STATUS_ORTH_FAILED,
                              STATUS_LENGTH,
                              SUBSAMPLE_OK,
                              SUBSAMPLE_NO_REPLACEMENT,
                              SUBSAMPLE_TOO_MANY_SINGULAR};
    const double value_table[] = {static_cast<double>(fast_s_large_n_threshold),
                                  exact_fit_tol, ms_min_scale, l1_scale_divisor,
                                  unset_scale};
    const int nc = static_cast<int>(sizeof code_table / sizeof code_table[0]);
    const int nv = static_cast<int>(sizeof value_table / sizeof value_table[0]);
    if (*n_codes != nc || *n_values != nv)
      host::fail("kv_constants: needs %d codes and %d values", nc, nv);
    std::copy(code_table, code_table + nc, codes);
    std::copy(value_table, value_table + nv, values);
  });
}
