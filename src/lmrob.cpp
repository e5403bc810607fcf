// Robust regression: subsampling, fast-S, the MM step and the M-S
// estimator.  See lmrob.h.
#include "lmrob.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <utility>
#include <vector>

#define USE_FC_LEN_T
#include <R_ext/BLAS.h>
#include <R_ext/Lapack.h>
#include <Rmath.h>
#ifndef FCONE
#define FCONE
#endif

#include "host.h"
#include "l1.h"
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

// ---- weighted least squares ---------------------------------------------

namespace {

// r = y - x beta, x of n rows and p columns (n >= 1).
void residuals(const double* x, const double* y, int n, int p, const double* beta,
               double* r) {
  const int one = 1;
  const double minus_one = -1.0, plus_one = 1.0;
  std::copy(y, y + n, r);
  F77_CALL(dgemv)("N", &n, &p, &minus_one, x, &n, beta, &one, &plus_one, r, &one FCONE);
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

// Working storage of the reweighting steps on data of up to n rows.
struct wls_workspace {
  wls_workspace(int n, int p, int trace_level)
      : lwork(dgels_workspace(n, p, trace_level)),
        wx(static_cast<std::size_t>(n) * p),
        wy(n),
        weights(n),
        res(n),
        work(lwork) {}
  int lwork;
  std::vector<double> wx, wy, weights, res, work;
};

// The weighted least-squares fit min |sqrt(w) (y - x b)| by dgels; the
// solution is left in wy[0..p-1].  wx and wy are rebuilt from x and y.
void weighted_ls(const double* x, const double* y, const double* weights, int n, int p,
                 double* wx, double* wy, double* work, int lwork, int trace_level) {
  for (int i = 0; i < n; ++i) wy[i] = std::sqrt(weights[i]);
  for (int j = 0; j < p; ++j) {
    const double* xj = x + static_cast<std::size_t>(j) * n;
    double* wxj = wx + static_cast<std::size_t>(j) * n;
    for (int i = 0; i < n; ++i) wxj[i] = xj[i] * wy[i];
  }
  for (int i = 0; i < n; ++i) wy[i] = y[i] * wy[i];
  const int nrhs = 1;
  int info = 0;
  F77_CALL(dgels)("N", &n, &p, &nrhs, wx, &n, wy, &n, work, &lwork, &info FCONE);
  if (info < 0) host::fail("dgels: illegal argument in %i. argument.", -info);
  if (info > 0) {
    if (trace_level > 2) {
      host::print("robustness weights in last step: ");
      disp_vec(weights, n);
    }
    host::fail("dgels: weighted design matrix not of full rank (column %d). Exiting.",
               info);
  }
}

}  // namespace

// ---- fast-S -----------------------------------------------------------------

int refine_fast_s(const double* x, double* wx, const double* y, double* wy,
                  double* weights, int n, int p, double* res, double* work, int lwork,
                  double* beta_cand, int refine_steps, int* conv, int max_refine,
                  double refine_tol, int trace_level, double b, const double* k, int ipsi,
                  double initial_scale, double* beta_ref, double* scale) {
  if (trace_level > 2) {
    host::print("beta_cand before refinement : ");
    disp_vec(beta_cand, p);
  }
  residuals(x, y, n, p, beta_cand, res);

  // An exact fit through more than (n + p) / 2 observations ends here.
  int zeros = 0;
  for (int i = 0; i < n; ++i)
    if (std::fabs(res[i]) < 1e-10) ++zeros;
  if (static_cast<double>(zeros) > static_cast<double>(n + p) / 2.0) {
    std::copy(beta_cand, beta_cand + p, beta_ref);
    *scale = 0.0;
    return 0;
  }

  double s = initial_scale;
  if (s < 0.0) s = MAD(res, n, 0.0, weights, wy);  // both only scratch here

  const bool to_convergence = *conv != 0;
  const int limit = to_convergence ? max_refine : refine_steps;
  // Without a step the candidate's own coefficients are the result.
  std::copy(beta_cand, beta_cand + p, beta_ref);
  bool converged = false;
  int it = 0;
  while (it < limit) {
    // A refinement to convergence on a large sample may run long.
    host::check_interrupt();
    s = s * std::sqrt(sum_rho_sc(res, s, n, p, k, ipsi) / b);
    get_weights_rhop(res, s, n, k, ipsi, weights);
    weighted_ls(x, y, weights, n, p, wx, wy, work, lwork, trace_level);
    std::copy(wy, wy + p, beta_ref);
    if (to_convergence) {
      const double d = norm_diff(beta_cand, beta_ref, p);
      const double m = norm(beta_cand, p);
      if (trace_level > 2)
        host::print(" i = %d, ||b[i]||= %.12g, ||b[i] - b[i-1]|| = %.15g\n", it, m, d);
      if (d <= refine_tol * Rf_fmax2(refine_tol, m)) {
        converged = true;
        break;
      }
    }
    ++it;
    residuals(x, y, n, p, beta_ref, res);
    std::copy(beta_ref, beta_ref + p, beta_cand);
  }
  if (to_convergence) {
    if (!converged) {
      *conv = 0;
      host::warn("S refinements did not converge (to tol=%g) in %d iterations",
                 refine_tol, it);
    }
    if (trace_level > 1)
      host::print("refinements %sconverged in %d iterations\n", converged ? " " : "NOT ",
                  it);
  }
  *scale = s;
  return it;
}

namespace {

// A best list over storage held elsewhere: n_best coefficient vectors
// (betas[e], p values each) and their scales, with the position and the
// scale of its worst entry.  The list is never sorted.
struct best_list_view {
  best_list_view(double** betas, double* scales, int n_best, int p)
      : betas(betas), scales(scales), n_best(n_best), p(p) {}

  // A candidate whose residuals res (n) have a mean rho below b at
  // worst_scale has an M-scale below it: it replaces the worst entry.
  void offer(const double* res, int n, double b, const double* k, int ipsi,
             double start_scale, const double* beta_ref) {
    if (sum_rho_sc(res, worst_scale, n, p, k, ipsi) < b) {
      // A refinement that stopped at an exact fit through more than half of
      // the rows reports scale 0, which is then the M-scale; the fixed-point
      // iteration cannot start from 0 (it would give NaN).
      scales[worst] =
          start_scale == 0.0 ? 0.0 : find_scale(res, b, k, ipsi, start_scale, n, p, 200);
      std::copy(beta_ref, beta_ref + p, betas[worst]);
      worst = find_max(scales, n_best);
      worst_scale = scales[worst];
    }
  }

  double** betas;
  double* scales;
  int n_best, p;
  int worst = 0;
  double worst_scale = 1e20;
};

// The starting scale of a refinement from a best-list entry: an entry of
// scale 0 (an exact fit on the rows it came from) starts, like a fresh
// candidate, from the MAD of its residuals (-1).
double usable_start(double scale) { return scale > 0.0 ? scale : -1.0; }

// A best list with its own storage: zero vectors, scales 1e20.
struct best_list {
  best_list(int n_best, int p)
      : p(p),
        storage(static_cast<std::size_t>(n_best) * p),
        scales(n_best, 1e20),
        rows(n_best) {
    for (int e = 0; e < n_best; ++e) rows[e] = beta(e);
  }
  double* beta(int e) { return storage.data() + static_cast<std::size_t>(e) * p; }
  best_list_view view() {
    return {rows.data(), scales.data(), static_cast<int>(rows.size()), p};
  }

  int p;
  std::vector<double> storage, scales;
  std::vector<double*> rows;
};

}  // namespace

void fast_s(const double* x, const double* y, const int* n, const int* p,
            const int* n_resample, const int* refine_steps, int* max_refine,
            double refine_tol, double tol, int* converged, const int* n_best,
            const double* b, const double* k, const int* ipsi, double* beta,
            double* scale, int trace_level, int max_singular, int nonsingular) {
  const int nn = *n, pp = *p, nbest = *n_best;
  subsample_workspace sub(x, nn, pp);
  wls_workspace ws(nn, pp, trace_level);
  std::vector<double> beta_cand(pp), beta_ref(pp);
  best_list best_storage(nbest, pp);
  best_list_view best = best_storage.view();

  host::rng_scope rng;
  for (int i = 0; i < *n_resample; ++i) {
    host::check_interrupt();
    if (sub.draw(y, beta_cand.data(), max_singular, nonsingular, tol) != SUBSAMPLE_OK) {
      *scale = -1.0;
      return;
    }
    if (trace_level > 3) {
      host::print("sample[%3d]: idc = ", i);
      disp_veci(sub.idc.data(), pp);
    }
    int conv = 0;
    double s_i = 0.0;
    refine_fast_s(x, ws.wx.data(), y, ws.wy.data(), ws.weights.data(), nn, pp,
                  ws.res.data(), ws.work.data(), ws.lwork, beta_cand.data(),
                  *refine_steps, &conv, *max_refine, refine_tol, trace_level, *b, k,
                  *ipsi, -1.0, beta_ref.data(), &s_i);
    if (trace_level > 1) {
      host::print("sample[%3d]: after refine_(*, conv=FALSE):\n", i);
      host::print("beta_ref : ");
      disp_vec(beta_ref.data(), pp);
      host::print(" with ||beta_ref - beta_cand|| = %.12g, --> sc = %.15g\n",
                  norm_diff(beta_ref.data(), beta_cand.data(), pp), s_i);
    }
    if (s_i == 0.0) {
      if (trace_level > 0) host::print("too many exact zeroes -> leaving refinement!\n");
      *scale = 0.0;
      std::copy(beta_cand.begin(), beta_cand.end(), beta);
      return;
    }
    best.offer(ws.res.data(), nn, *b, k, *ipsi, s_i, beta_ref.data());
  }

  if (trace_level != 0)
    host::print("now refine() to convergence for %d very best ones:\n", nbest);
  *converged = 1;
  double best_scale = 1e20;
  int max_it = 0;
  for (int e = 0; e < nbest; ++e) {
    std::copy(best.betas[e], best.betas[e] + pp, beta_cand.begin());
    int conv = 1;
    double s_e = 0.0;
    const int it = refine_fast_s(
        x, ws.wx.data(), y, ws.wy.data(), ws.weights.data(), nn, pp, ws.res.data(),
        ws.work.data(), ws.lwork, beta_cand.data(), *refine_steps, &conv, *max_refine,
        refine_tol, trace_level, *b, k, *ipsi, best.scales[e], beta_ref.data(), &s_e);
    if (trace_level != 0)
      host::print("i=%2d: %sconvergence (%d iter.):", e, conv ? "" : "NON ", it);
    if (s_e < best_scale) {
      if (trace_level != 0) host::print(" -> improved scale to %.15g", s_e);
      best_scale = s_e;
      std::copy(beta_ref.begin(), beta_ref.end(), beta);
    }
    if (trace_level != 0) host::print("\n");
    if (!conv) *converged = 0;
    max_it = std::max(max_it, it);
  }
  *scale = best_scale;
  *max_refine = max_it;
}

int fast_s_with_memory(const double* x, const double* y, const int* n, const int* p,
                       const int* n_resample, const int* refine_steps,
                       const int* max_refine, double refine_tol, double tol,
                       int trace_level, const int* n_best, const double* b,
                       const double* k, const int* ipsi, double** best_betas,
                       double* best_scales, int max_singular, int nonsingular) {
  const int nn = *n, pp = *p, nbest = *n_best;
  subsample_workspace sub(x, nn, pp);
  wls_workspace ws(nn, pp, trace_level);
  std::vector<double> beta_cand(pp), beta_ref(pp);
  std::fill(best_scales, best_scales + nbest, 1e20);
  best_list_view best(best_betas, best_scales, nbest, pp);
  for (int i = 0; i < *n_resample; ++i) {
    host::check_interrupt();
    const int status = sub.draw(y, beta_cand.data(), max_singular, nonsingular, tol);
    if (status != SUBSAMPLE_OK) {
      std::fill(best_scales, best_scales + nbest, -1.0);
      return status;
    }
    int conv = 0;
    double s_i = 0.0;
    refine_fast_s(x, ws.wx.data(), y, ws.wy.data(), ws.weights.data(), nn, pp,
                  ws.res.data(), ws.work.data(), ws.lwork, beta_cand.data(),
                  *refine_steps, &conv, *max_refine, refine_tol, trace_level, *b, k,
                  *ipsi, -1.0, beta_ref.data(), &s_i);
    best.offer(ws.res.data(), nn, *b, k, *ipsi, s_i, beta_ref.data());
  }
  return SUBSAMPLE_OK;
}

void fast_s_large_n(const double* x, const double* y, const int* n, const int* p,
                    const int* n_resample, const int* n_groups, const int* group_size,
                    const int* refine_steps, int* max_refine, double refine_tol,
                    double tol, int* converged, const int* n_best, const double* b,
                    const double* k, const int* ipsi, double* beta, double* scale,
                    int trace_level, int max_singular, int nonsingular) {
  const int nn = *n, pp = *p, nbest = *n_best, ng = *n_groups, gs = *group_size;
  const int sg = ng * gs;
  const std::size_t ldx = static_cast<std::size_t>(nn);
  // Group best lists, group after group.
  best_list group_best(ng * nbest, pp);
  std::vector<int> idx(sg);

  host::rng_scope rng;
  {
    std::vector<int> draw_work(nn);
    sample_noreplace(idx.data(), nn, sg, draw_work.data());
  }

  // Group phase: the candidate search inside each group.
  {
    std::vector<double> xg(static_cast<std::size_t>(gs) * pp), yg(gs);
    for (int g = 0; g < ng; ++g) {
      for (int i = 0; i < gs; ++i) {
        const int obs = idx[g * gs + i];
        yg[i] = y[obs];
        for (int j = 0; j < pp; ++j)
          xg[i + static_cast<std::size_t>(j) * gs] = x[obs + j * ldx];
      }
      const int status = fast_s_with_memory(
          xg.data(), yg.data(), group_size, p, n_resample, refine_steps, max_refine,
          refine_tol, tol, trace_level, n_best, b, k, ipsi, &group_best.rows[g * nbest],
          &group_best.scales[g * nbest], max_singular, nonsingular);
      if (status != SUBSAMPLE_OK) {
        *scale = -1.0;
        return;
      }
    }
  }

  // Merged phase: every group candidate, refined on the union of the groups.
  wls_workspace ws(nn, pp, trace_level);
  std::vector<double> beta_cand(pp), beta_ref(pp);
  best_list final_storage(nbest, pp);
  best_list_view final_best = final_storage.view();
  {
    std::vector<double> xm(static_cast<std::size_t>(sg) * pp), ym(sg);
    for (int i = 0; i < sg; ++i) {
      const int obs = idx[i];
      ym[i] = y[obs];
      for (int j = 0; j < pp; ++j)
        xm[i + static_cast<std::size_t>(j) * sg] = x[obs + j * ldx];
    }
    for (int e = 0; e < ng * nbest; ++e) {
      const double* cand = group_best.beta(e);
      const double cand_scale = group_best.scales[e];
      if (trace_level > 2) {
        host::print("sample[%3d]: before refine_(*, conv=FALSE):\n", e);
        host::print("beta_cand : ");
        disp_vec(cand, pp);
        host::print("with scale %.15g\n", cand_scale);
      }
      std::copy(cand, cand + pp, beta_cand.begin());
      int conv = 0;
      double s_e = 0.0;
      refine_fast_s(xm.data(), ws.wx.data(), ym.data(), ws.wy.data(), ws.weights.data(),
                    sg, pp, ws.res.data(), ws.work.data(), ws.lwork, beta_cand.data(),
                    *refine_steps, &conv, *max_refine, refine_tol, trace_level, *b, k,
                    *ipsi, usable_start(cand_scale), beta_ref.data(), &s_e);
      if (trace_level > 2) {
        host::print("after refine: beta_ref : ");
        disp_vec(beta_ref.data(), pp);
        host::print("with scale %.15g\n", s_e);
      }
      final_best.offer(ws.res.data(), sg, *b, k, *ipsi, s_e, beta_ref.data());
    }
  }

  // Final phase: the best candidates, refined to convergence on all data.
  *converged = 1;
  double best_scale = 1e20;
  int max_it = 0;
  for (int e = 0; e < nbest; ++e) {
    std::copy(final_best.betas[e], final_best.betas[e] + pp, beta_cand.begin());
    int conv = 1;
    double s_e = 0.0;
    const int it =
        refine_fast_s(x, ws.wx.data(), y, ws.wy.data(), ws.weights.data(), nn, pp,
                      ws.res.data(), ws.work.data(), ws.lwork, beta_cand.data(),
                      *refine_steps, &conv, *max_refine, refine_tol, trace_level, *b, k,
                      *ipsi, usable_start(final_best.scales[e]), beta_ref.data(), &s_e);
    if (trace_level != 0)
      host::print(" best [%d]: %d iterations, i.e. %sconverged\n", e, it,
                  conv ? " " : "NOT ");
    if (s_e < best_scale) {
      best_scale = s_e;
      std::copy(beta_ref.begin(), beta_ref.end(), beta);
    }
    if (!conv) *converged = 0;
    max_it = std::max(max_it, it);
  }
  *scale = best_scale;
  *max_refine = max_it;
}

// ---- MM step ------------------------------------------------------------------

int rwls(const double* X, const double* y, int n, int p, double* b1, const double* b_init,
         double* resid, double* loss, double scale, double eps, int* max_it,
         const double* k, int ipsi, int trace) {
  wls_workspace ws(n, p, trace);
  std::vector<double> b0(b_init, b_init + p);
  residuals(X, y, n, p, b0.data(), resid);
  double d = 0.0;
  bool converged = false;
  int it = 0;
  while (++it < *max_it) {
    host::check_interrupt();
    get_weights_rhop(resid, scale, n, k, ipsi, ws.weights.data());
    weighted_ls(X, y, ws.weights.data(), n, p, ws.wx.data(), ws.wy.data(), ws.work.data(),
                ws.lwork, trace);
    std::copy(ws.wy.begin(), ws.wy.begin() + p, b1);
    residuals(X, y, n, p, b1, resid);
    if (trace > 1) {
      *loss = sum_rho_sc(resid, scale, n, 0, k, ipsi);
      host::print(" it %4d: L(b1) = %12g ", it, *loss);
      d = norm1_diff(b0.data(), b1, p);
      if (trace > 2) {
        host::print("\n  b1 = (");
        for (int j = 0; j < p; ++j) host::print("%s%11g", j > 0 ? ", " : "", b1[j]);
        host::print(");");
      }
      host::print(" ||b0 - b1||_1 = %g\n", d);
    } else {
      d = norm1_diff(b0.data(), b1, p);
    }
    converged = d <= eps * Rf_fmax2(eps, norm1(b1, p));
    std::copy(b1, b1 + p, b0.begin());
    if (converged) break;
  }
  *loss = sum_rho_sc(resid, scale, n, 0, k, ipsi);
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

extern "C" void R_lmrob_S(const double* x, const double* y, const int* n, const int* p,
                          const int* n_resample, double* scale, double* beta,
                          const double* k, const int* ipsi, const double* b,
                          const int* n_best, const int* n_groups, const int* group_size,
                          const int* refine_steps, int* max_refine,
                          const int* max_it_scale, const double* refine_tol,
                          const double* tol, int* converged, const int* trace_level,
                          const int* max_singular, const int* nonsingular) {
  host::run_entry([&] {
    if (*n_resample <= 0) {
      *scale = find_scale(y, *b, k, *ipsi, *scale, *n, *p, *max_it_scale);
      return;
    }
    check_regression_dims("R_lmrob_S", *n, *p);
    if (*n_best < 1) host::fail("R_lmrob_S: the best list needs at least one entry");
    if (*n > fast_s_large_n_threshold) {
      if (*n_groups < 1 || *group_size < 1 ||
          static_cast<double>(*n_groups) * *group_size > *n)
        host::fail("R_lmrob_S: need 1 <= n_groups * group_size <= n");
      if (*group_size < *p)
        host::fail(
            "R_lmrob_S: groups of %d observations are too small for %d coefficients",
            *group_size, *p);
      fast_s_large_n(x, y, n, p, n_resample, n_groups, group_size, refine_steps,
                     max_refine, *refine_tol, *tol, converged, n_best, b, k, ipsi, beta,
                     scale, *trace_level, *max_singular, *nonsingular);
    } else {
      fast_s(x, y, n, p, n_resample, refine_steps, max_refine, *refine_tol, *tol,
             converged, n_best, b, k, ipsi, beta, scale, *trace_level, *max_singular,
             *nonsingular);
    }
  });
}

extern "C" void R_lmrob_MM(const double* X, const double* y, const int* n, const int* p,
                           const double* b_init, const double* scale, double* b1,
                           double* resid, int* max_it, const double* k, const int* ipsi,
                           double* loss, const double* eps, int* converged,
                           const int* trace, const int*, const int*) {
  host::run_entry([&] {
    check_regression_dims("R_lmrob_MM", *n, *p);
    *converged = rwls(X, y, *n, *p, b1, b_init, resid, loss, *scale, *eps, max_it, k,
                      *ipsi, *trace);
  });
}

// ---- M-S estimator ----------------------------------------------------------
// The design is split into a block X1 fitted by L1 regression (typically the
// intercept and the dummy columns of factors) and a block X2 of continuous
// columns fitted by random exact fits and weighted least squares.

namespace kelvara {

namespace {

// Divisor of the scale the L1 routine reports; that scale is never read here.
constexpr double l1_scale_divisor = 0.773372647623;
constexpr int max_it_scale = 200;

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

// The outputs and work arrays shared by every L1 call of one M-S fit.
struct l1_call_state {
  int* nit;
  int* k_rank;
  int* kode;
  double* sigma;
  const double* bet0;
  double *sc1, *sc2, *sc3, *sc4;
};

// The L1 fit of `response` (overwritten) on a fresh copy of X1 in x1_work:
// coef[0..p1-1] receives the coefficients, resid the residuals.
void l1_on_x1(const double* X1, double* x1_work, int n, int p1, double* response,
              double tol, double* coef, double* resid, const l1_call_state& st) {
  copy(X1, cells(n, p1), x1_work);
  rllarsbi(x1_work, response, &n, &p1, &n, &n, &tol, st.nit, st.k_rank, st.kode, st.sigma,
           coef, resid, st.sc1, st.sc2, st.sc3, st.sc4, st.bet0);
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

}  // namespace

void m_s_subsample(const double* X1, const double* y_work, int n, int p1, int p2,
                   int n_resample, double descent_tol, double tol, const double* b,
                   const double* k, int ipsi, double* scale, int trace_level, double* b1,
                   double* b2, double* theta, double* b2_work, double* rs, double* res,
                   double* x1_work, double* x2_work, int* nit, int* k_rank, int* kode,
                   double* sigma, const double* bet0, double* sc1, double* sc2,
                   double* sc3, double* sc4, int max_singular, int nonsingular) {
  const int p = p1 + p2;
  const l1_call_state st{nit, k_rank, kode, sigma, bet0, sc1, sc2, sc3, sc4};
  *scale = 1e20;
  if (trace_level > 1) host::print("starting with subsampling procedure...\n");
  // Cases whose X2 row is zero cannot be part of a non-singular draw, and
  // the equilibration refuses them; the orthogonalised X2 has such rows
  // wherever the L1 fits on X1 pass through a case.  Draws are taken from
  // the other cases (from all cases, as usual, when there are none).
  std::vector<double> x2_drawn, y_drawn;
  const int n_drawn = nonzero_rows(x2_work, y_work, n, p2, x2_drawn, y_drawn);
  if (n_drawn < p2) {
    host::warn(
        "M-S subsampling: only %d cases have a nonzero row of x2, fewer than "
        "its %d columns",
        n_drawn, p2);
    *scale = -1.0;
    return;
  }
  const bool all_rows = n_drawn == n;
  subsample_workspace draws(all_rows ? x2_work : x2_drawn.data(), n_drawn, p2);
  const double* y_draw = all_rows ? y_work : y_drawn.data();
  host::rng_scope rng;
  for (int i = 0; i < n_resample; ++i) {
    host::check_interrupt();
    if (draws.draw(y_draw, b2_work, max_singular, nonsingular, tol) != SUBSAMPLE_OK) {
      *scale = -1.0;
      return;
    }
    copy(y_work, n, rs);
    subtract_product(n, p2, x2_work, b2_work, rs);
    l1_on_x1(X1, x1_work, n, p1, rs, descent_tol, theta, res, st);
    if (*kode > 1) {
      host::eprint(
          "\nm_s_subsample(): Problem in rllarsbi (rilars). KODE=%d. Exiting.\n", *kode);
      *scale = -1.0;
      return;
    }
    // Early rejection: only a candidate whose residuals have a mean chi
    // below b at the best scale so far can have a smaller M-scale.
    if (sum_rho_sc(res, *scale, n, p, k, ipsi) < *b) {
      const double s = find_scale(res, *b, k, ipsi, *scale, n, p, max_it_scale);
      if (trace_level > 1) host::print("Step %d: new candidate with sc = %.5f\n", i, s);
      *scale = s;
      copy(theta, p1, b1);
      copy(b2_work, p2, b2);
      if (s < 1e-10) {
        host::eprint("\nScale too small\n");
        host::eprint("Aborting m_s_subsample()\n\n");
        *scale = -1.0;
        return;
      }
    }
  }
  if (trace_level > 0)
    host::print("Finished M-S subsampling with scale = %.5f\n", *scale);
  if (trace_level > 2) {
    print_vector("b1: ", b1, p1);
    print_vector("b2: ", b2, p2);
  }
}

void m_s_descent(const double* X1, const double* X2, const double* y, int n, int p1,
                 int p2, int max_no_improve, int max_steps, double descent_tol,
                 const double* b, const double* k, int ipsi, double* scale,
                 int trace_level, double* b1, double* b2, double* t1, double* t2,
                 double* rs, double* res, double* res2, double* x1_work, double* x2_work,
                 int* nit, int* k_rank, int* kode, double* sigma, const double* bet0,
                 double* sc1, double* sc2, double* sc3, double* sc4, int* converged) {
  const int p = p1 + p2;
  const l1_call_state st{nit, k_rank, kode, sigma, bet0, sc1, sc2, sc3, sc4};
  copy(b1, p1, t1);
  copy(b2, p2, t2);
  copy(res, n, res2);
  double s = *scale;
  if (trace_level > 1) host::print("starting with descent procedure...\n");

  const int one = 1;
  int info = 0;
  int lwork = std::max(dgels_workspace(n, p2, trace_level), 1);
  std::vector<double> work(lwork), weights(n);
  if (trace_level > 4) {
    host::print("scale: %.5f\n", *scale);
    print_vector("res2: ", res2, n);
  }

  int conv = 0, steps = 0, stagnant = 0;
  while (conv == 0 && steps < max_steps && stagnant < max_no_improve) {
    ++steps;
    host::check_interrupt();
    // Weighted least squares for b2 with the X1 part fixed.
    copy(y, n, rs);
    subtract_product(n, p1, X1, t1, rs);
    get_weights_rhop(res2, s, n, k, ipsi, weights.data());
    for (int i = 0; i < n; ++i) {
      const double sw = std::sqrt(weights[i]);
      rs[i] *= sw;
      for (int j = 0; j < p2; ++j) x2_work[i + cells(n, j)] = X2[i + cells(n, j)] * sw;
    }
    F77_CALL(dgels)
    ("N", &n, &p2, &one, x2_work, &n, rs, &n, work.data(), &lwork, &info FCONE);
    if (info < 0) host::fail("dgels: illegal argument in %i. argument.", -info);
    if (info > 0) {
      if (trace_level > 2)
        print_vector("robustness weights in last step: ", weights.data(), n);
      host::fail("dgels: weighted design matrix not of full rank (column %d). Exiting.",
                 info);
    }
    copy(rs, p2, t2);
    copy(y, n, res2);
    subtract_product(n, p2, X2, t2, res2);
    copy(res2, n, rs);
    // L1 step for b1 with the X2 part fixed.
    l1_on_x1(X1, x1_work, n, p1, rs, descent_tol, t1, res2, st);
    if (*kode > 1)
      host::fail("m_s_descent(): Problem in rllarsbi (rilars). KODE=%d. Exiting.", *kode);
    s = find_scale(res2, *b, k, ipsi, s, n, p, max_it_scale);
    const double d = std::sqrt(norm_diff2(b1, t1, p1) + norm_diff2(b2, t2, p2));
    const double m = std::sqrt(norm2(t1, p1) + norm2(t2, p2));
    if (trace_level > 4) {
      print_vector("weights: ", weights.data(), n);
      print_vector("t2: ", t2, p2);
      print_vector("t1: ", t1, p1);
      print_vector("res2: ", res2, n);
      host::print("sc: %.5f\n", s);
    }
    ++stagnant;
    if (s < *scale) {
      copy(t1, p1, b1);
      copy(t2, p2, b2);
      copy(res2, n, res);
      *scale = s;
      if (trace_level > 2)
        host::print("Refinement step %d: better fit, scale: %.5f\n", steps, s);
      stagnant = 0;
    }
    conv = d < descent_tol * Rf_fmax2(descent_tol, m) ? 1 : 0;
  }
  if (conv == 0 && steps >= max_steps)
    host::warn("M-S estimate: maximum number of refinement steps reached.");
  *converged = conv;
  if (trace_level > 0)
    host::print("descent procedure: %sconverged.\n", conv ? "" : "not ");
  if (trace_level > 2) {
    print_vector("b1: ", b1, p1);
    print_vector("b2: ", b2, p2);
  }
}

}  // namespace kelvara

using namespace kelvara;

extern "C" void R_lmrob_M_S(const double* X1, const double* X2, const double* y,
                            double* res, const int* pn, const int* pp1, const int* pp2,
                            const int* n_resample, double* scale, double* b1, double* b2,
                            const double* k, const int* ipsi, const double* b,
                            const int* max_no_improve, const int* max_steps,
                            const double* descent_tol, const double* tol, int* converged,
                            const int* trace_level, const int* orthogonalize,
                            const int* do_subsample, const int* do_descent,
                            const int* max_singular, const int* nonsingular) {
  host::run_entry([&] {
    const int n = *pn, p1 = *pp1, p2 = *pp2;
    // Every work array below is sized by these; an empty block is allowed.
    if (p1 < 0 || p2 < 0 || p1 + p2 < 1 || n <= p1 + p2)
      host::fail(
          "R_lmrob_M_S: needs p1 >= 0, p2 >= 0, p1 + p2 >= 1 and n > p1 + p2 "
          "(n = %d, p1 = %d, p2 = %d)",
          n, p1, p2);
    const double dtol = *descent_tol;
    const int trace = *trace_level;

    double* theta = host::transient_array<double>(n);
    double* b2_work = host::transient_array<double>(p2);
    double* y_coef = host::transient_array<double>(p1);
    double* x2_coef = host::transient_array<double>(cells(p1, p2));
    double* y_work = host::transient_array<double>(n);
    double* rs = host::transient_array<double>(n);
    double* x1_work = host::transient_array<double>(cells(n, p1));
    double* x2_work = host::transient_array<double>(cells(n, p2));
    double* sc1 = host::transient_array<double>(n);
    double* sc2 = host::transient_array<double>(p1);
    double* sc3 = host::transient_array<double>(p1);
    double* sc4 = host::transient_array<double>(p1);
    int nit = 0, k_rank = 0, kode = 0;
    double sigma = 0.0;
    const double bet0 = l1_scale_divisor;
    const l1_call_state st{&nit, &k_rank, &kode, &sigma, &bet0, sc1, sc2, sc3, sc4};

    copy(y, n, y_work);
    copy(X2, cells(n, p2), x2_work);
    const bool orth = *orthogonalize > 0;
    if (orth) {
      // y and the columns of X2 are replaced by their L1 residuals on X1.
      l1_on_x1(X1, x1_work, n, p1, y_work, dtol, theta, rs, st);
      int worst = kode;
      copy(theta, p1, y_coef);
      for (int j = 0; j < p2; ++j) {
        copy(X2 + cells(n, j), n, y_work);
        l1_on_x1(X1, x1_work, n, p1, y_work, dtol, theta, x2_work + cells(n, j), st);
        worst = std::max(worst, kode);
        copy(theta, p1, x2_coef + cells(p1, j));
      }
      copy(rs, n, y_work);
      if (worst > 1) {
        // A failed fit leaves meaningless coefficients that step back into
        // b1 below: fit without the orthogonalisation instead.
        host::warn(
            "M-S estimate: L1 fit on x1 failed in the orthogonalisation "
            "(KODE=%d); continuing without it",
            worst);
        copy(y, n, y_work);
        copy(X2, cells(n, p2), x2_work);
        std::fill(y_coef, y_coef + p1, 0.0);
        std::fill(x2_coef, x2_coef + cells(p1, p2), 0.0);
      }
    }
    if (*do_subsample > 0) {
      m_s_subsample(X1, y_work, n, p1, p2, *n_resample, dtol, *tol, b, k, *ipsi, scale,
                    trace, b1, b2, theta, b2_work, rs, res, x1_work, x2_work, &nit,
                    &k_rank, &kode, &sigma, &bet0, sc1, sc2, sc3, sc4, *max_singular,
                    *nonsingular);
      if (*scale < 0) host::fail("m_s_subsample() stopped prematurely.");
    }
    if (orth) {
      // Back to the coefficients of the untransformed design.
      for (int j = 0; j < p1; ++j) b1[j] = y_coef[j] + b1[j];
      subtract_product(p1, p2, x2_coef, b2, b1);
      copy(X2, cells(n, p2), x2_work);
    }
    copy(y, n, res);
    subtract_product(n, p1, X1, b1, res);
    subtract_product(n, p2, X2, b2, res);
    if (*do_descent > 0)
      m_s_descent(X1, X2, y, n, p1, p2, *max_no_improve, *max_steps, dtol, b, k, *ipsi,
                  scale, trace, b1, b2, theta, b2_work, rs, res, y_work, x1_work, x2_work,
                  &nit, &k_rank, &kode, &sigma, &bet0, sc1, sc2, sc3, sc4, converged);
  });
}
