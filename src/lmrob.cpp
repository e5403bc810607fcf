// Robust regression: subsampling, fast-S and the MM step.  See lmrob.h.
#include "lmrob.h"

#include <algorithm>
#include <cmath>
#include <utility>

#define USE_FC_LEN_T
#include <R_ext/BLAS.h>
#include <R_ext/Lapack.h>
#ifndef FCONE
#define FCONE
#endif

#include "host.h"

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
  const int lda = n;
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
              int col_equ, int sample, int max_singular, int nonsingular, double tol) {
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
        if (nonsingular) {
          // Replace the observation by the next unused one from the end;
          // the columns already accepted stand.
          --m;
          idc[j] = idc[m];
          if (m > j) continue;
          host::warn("subsample: could not find non-singular subsample.");
          return SUBSAMPLE_NO_REPLACEMENT;
        }
        if (++attempts < max_singular) {
          restart = true;
          break;
        }
        host::warn(
            "Too many singular resamples. Aborting subsample().\n"
            " See parameter subsampling in help of lmrob.config().");
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
                   nonsingular, tol);
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
    std::copy(rs.begin(), rs.end(), row_scale);
    std::copy(cs.begin(), cs.end(), col_scale);
    *row_equ = requ;
    *col_equ = cequ;
  });
}
