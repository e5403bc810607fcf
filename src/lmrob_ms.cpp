#include "lmrob_ms.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstddef>
#include <vector>

#include "host.h"

#define USE_FC_LEN_T
#include <R_ext/BLAS.h>
#include <R_ext/Lapack.h>
#include <R_ext/Print.h>  // REvprintf: the failure notes go to the error console
#include <Rmath.h>        // Rf_fmax2
#ifndef FCONE
#define FCONE
#endif

#include "l1.h"
#include "lmrob.h"
#include "scale.h"
#include "utilities.h"

namespace kelvara {

namespace {

// Divisor of the scale the L1 routine reports; that scale is never read here.
constexpr double l1_scale_divisor = 0.773372647623;
constexpr int max_it_scale = 200;

void error_console(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  REvprintf(fmt, ap);
  va_end(ap);
}

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
      error_console(
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
        error_console("\nScale too small\n");
        error_console("Aborting m_s_subsample()\n\n");
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
  int info = 0, lwork = -1;
  double size_query = 0.0;
  F77_CALL(dgels)
  ("N", &n, &p2, &one, x2_work, &n, rs, &n, &size_query, &lwork, &info FCONE);
  if (info != 0) {
    host::warn("problem determining optimal block size, using minimum");
    lwork = 2 * p2;
  } else {
    lwork = static_cast<int>(size_query);
  }
  if (trace_level > 3) host::print("optimal block size: %d\n", lwork);
  lwork = std::max(lwork, 1);
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
