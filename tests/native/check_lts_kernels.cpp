// Stand-alone checks of the least trimmed squares kernels on the worked
// cases of their descriptions and on direct computations.  Exit status 1 on
// a failure.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "../../src/host.h"
#include "check.h"
#include "../../src/lts.h"
#include "../../src/utilities.h"


int main() {
  int any = 0;
  // elimination: identity with right-hand side (3, 4); a tiny first pivot
  {
    double a[6] = {1, 0, 0, 1, 3, 4}, w[6];
    int mda = 2, n = 2, m = 1, ierr = 5;
    rfequat_(a, &mda, &any, w, &any, &n, &m, &ierr);
    CHECK(ierr == 0 && a[0] == 3 && a[1] == 4);
    double b[6] = {1e-9, 0, 0, 1, 3, 4};
    rfequat_(b, &mda, &any, w, &any, &n, &m, &ierr);
    CHECK(ierr == -1 && b[0] == 1e-9 && b[4] == 3);
    // a 3x3 system against its known solution, pivoting needed
    double c[12] = {0, 2, 1, 1, 1, 3, 2, 0, 1, 0, 0, 0}, sol[3] = {1, -2, 3};
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j) c[9 + i] += c[i + 3 * j] * sol[j];
    double w3[12];
    int three = 3;
    rfequat_(c, &three, &any, w3, &any, &three, &m, &ierr);
    CHECK(ierr == 0 && near(c[0], 1) && near(c[1], -2) && near(c[2], 3));
  }
  // Gauss-Jordan: ((0,1),(1,0)) is its own inverse; a 3x3 inverse with a
  // carried column
  {
    double a[4] = {0, 1, 1, 0}, w[4];
    int mda = 2, n = 2, m = 0, ipiv[2];
    rfmatnv_(a, &mda, &any, w, &any, &n, &m, ipiv);
    CHECK(ipiv[0] == 2 && a[0] == 0 && a[1] == 1 && a[2] == 1 && a[3] == 0);
    double b[12] = {4, 2, 1, 2, 5, 3, 1, 3, 6, 1, 2, 3}, orig[12], w3[12];
    for (int k = 0; k < 12; ++k) orig[k] = b[k];
    int three = 3, one = 1, ip3[3];
    rfmatnv_(b, &three, &any, w3, &any, &three, &one, ip3);
    for (int i = 0; i < 3; ++i) {
      for (int j = 0; j < 3; ++j) {
        double s = 0;
        for (int k = 0; k < 3; ++k) s += orig[i + 3 * k] * b[k + 3 * j];
        CHECK(near(s, i == j ? 1.0 : 0.0, 1e-12));
      }
      double s = 0;  // A * (A^-1 r) = r
      for (int k = 0; k < 3; ++k) s += orig[i + 3 * k] * b[9 + k];
      CHECK(near(s, orig[9 + i], 1e-12));
    }
  }
  // least squares: three cases on the line y = 1 + 2 t
  {
    const int np = 2, ld = 2, ldx = 3, ncas = 3;
    double x[9] = {0, 1, 2, 1, 1, 1, 1, 3, 5}, w[3] = {1, 1, 1};
    double theta[2], se[2], sscp[6], work[6], q = -1;
    int ipiv[2];
    rflsreg_(&any, &ld, &np, &ldx, theta, x, w, se, sscp, &q, work, &any, ipiv, &any,
             &ncas);
    CHECK(near(theta[0], 2) && near(theta[1], 1) && near(q, 0) && near(se[0], 0) &&
          near(se[1], 0));
    // off the line: residual sum of squares and standard errors of a fit
    double y2[3] = {1, 4, 5};
    for (int i = 0; i < 3; ++i) x[6 + i] = y2[i];
    rflsreg_(&any, &ld, &np, &ldx, theta, x, w, se, sscp, &q, work, &any, ipiv, &any,
             &ncas);
    // slope 2, intercept 4/3; residuals (-1/3, 2/3, -1/3)
    CHECK(near(theta[0], 2) && near(theta[1], 4.0 / 3) && near(q, 2.0 / 3));
    CHECK(near(se[0], std::sqrt((2.0 / 3) / 2)));
    int k = 3, np3 = 2;
    CHECK(near(rfqlsrg_(&np3, &ldx, &any, &ld, theta, x, w, sscp, &k, &any, &ncas),
               2.0 / 3));
  }
  // medians
  {
    double a[3] = {3, 1, 2}, b[4] = {4, 1, 3, 2};
    int idx[4], n3 = 3, n4 = 4;
    CHECK(rfamdan_(&any, a, &n3, idx) == 2);
    CHECK(rfamdan_(&any, b, &n4, idx) == 2.5);
  }
  // standardization
  {
    const double mad = static_cast<double>(1.4826f), mean = static_cast<double>(1.2533f);
    CHECK(mad == 1.4825999736785889 && mean == 1.2532999515533447);
    // intercept model: x1, column of ones, y with a zero MAD
    const int n = 5, ncol = 3, jint = 2, icpt = 1;
    double x[15] = {1, 2, 3, 4, 10, 1, 1, 1, 1, 1, 7, 7, 7, 8, 9};
    double loc[3], scale[3], work[5], ones[5], ystd[5], eps = 1e-6;
    int flag = -1, index[5];
    rfstatis_(x, loc, scale, work, &icpt, &ncol, &any, &any, &n, &flag, &eps, ones, ystd,
              &jint, index);
    CHECK(flag == 0 && loc[0] == 3 && scale[0] == 1 * mad && loc[1] == 0 &&
          scale[1] == 1);
    CHECK(x[5] == 1 && x[9] == 1);
    CHECK(loc[2] == 7 && near(scale[2], 3.0 / 5 * mean));  // |y - 7| = 0,0,0,1,2
    CHECK(near(x[0], -2 / mad) && near(ystd[4], 2 / (0.6 * mean)) && ones[3] == 1);
    // a constant column stops at once: later columns untouched
    double z[10] = {2, 2, 2, 2, 2, 1, 2, 3, 4, 5}, zs[2] = {-9, -9}, zl[2];
    int two = 2, zero = 0;
    ones[0] = -1;
    rfstatis_(z, zl, zs, work, &icpt, &two, &any, &any, &n, &flag, &eps, ones, ystd,
              &jint, index);
    CHECK(flag == 1 && zs[0] == 0 && z[5] == 1 && ones[0] == -1);
    // the failing column is named: column 2 of (x1, 1, constant y)
    double c3[15] = {1, 2, 3, 4, 10, 1, 1, 1, 1, 1, 4, 4, 4, 4, 4};
    CHECK(kelvara::standardize_columns(c3, loc, scale, work, true, 3, n, eps, ones, ystd, 2,
                                       index) == 3);
    // no intercept: absolute values, location 0
    double u[5] = {-3, 1, -2, 5, 4};
    int one = 1;
    rfstatis_(u, zl, zs, work, &zero, &one, &any, &any, &n, &flag, &eps, ones, ystd,
              &jint, index);
    CHECK(flag == 0 && zl[0] == 0 && zs[0] == 3 * mad && near(u[0], -3 / (3 * mad)));
  }
  // the shared search plan: group sizes, C-step caps, best-list slots
  {
    const int ns[5] = {599, 600, 901, 1202, 2000};
    const int want[5][5] = {{0}, {300, 300}, {300, 301, 300}, {300, 301, 301, 300},
                            {300, 300, 300, 300, 300}};
    for (int c = 0; c < 5; ++c) {
      const kelvara::group_plan g = kelvara::plan_groups(ns[c], 300, 500);
      int total = 0;
      for (int k = 0; k < 5; ++k) {
        CHECK(g.sizes[k] == want[c][k]);
        total += want[c][k];
      }
      CHECK(g.partitioned == (c > 0) && g.merged_size == total);
    }
    CHECK(!kelvara::plan_groups(5000, 300, 0).partitioned);
    CHECK(!kelvara::plan_groups(2000000000, 2147483647, 5).partitioned);
    // 100 up to 1e5, 10 up to 2e5, then one fewer per 1e5 started, 1 above 1e6
    for (std::int64_t np = 1; np <= 1200000; np += 997) {
      const int cap = np <= 100000 ? 100 : np <= 200000 ? 10 : np > 1000000 ? 1
                    : 9 - static_cast<int>((np - 200001) / 100000);
      CHECK(kelvara::final_csteps(np) == cap);
    }
    CHECK(kelvara::final_csteps(300000) == 9 && kelvara::final_csteps(300001) == 8);
    const double keys[10] = {1, 2, 2, 2, 5, 6, 7, 8, 9, 1e26};
    auto none = [](int) { return false; };
    auto all = [](int) { return true; };
    auto last = [](int e) { return e != 3; };
    CHECK(kelvara::best_list_slot(keys, 0, 0.5, none) == 0);
    CHECK(kelvara::best_list_slot(keys, 1, 0.5, none) == 1);
    CHECK(kelvara::best_list_slot(keys, 0, 2, all) == -1);
    CHECK(kelvara::best_list_slot(keys, 0, 2, last) == 1);
    CHECK(kelvara::best_list_slot(keys, 0, 1e27, none) == -1);
  }
  std::printf("ok: %d failure(s)\n", failures);
  return failures == 0 ? 0 : 1;
}
