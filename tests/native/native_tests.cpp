// Tests of internal routines that no entry point exposes on its own.  The
// program links the module's object files and runs R embedded, so that the
// host layer (printing, BLAS) works as it does inside R.
#include <Rembedded.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <algorithm>
#include <vector>

#include "../../src/host.h"
#include "../../src/utilities.h"
#ifdef KELVARA_HAVE_SCALE
#include "../../src/psi.h"
#include "../../src/scale.h"
#endif

namespace {
int n_passed = 0, n_failed = 0;

void check(bool ok, const char* what) {
  if (ok) {
    ++n_passed;
  } else {
    ++n_failed;
    std::printf("FAILED: %s\n", what);
  }
}

bool near(double a, double b, double tol) { return std::fabs(a - b) <= tol; }

void test_selection_and_medians() {
  using namespace kelvara;
  std::vector<double> aux(8);
  const double a3[] = {3, 1, 2};
  const double a4[] = {4, 1, 3, 2};
  const double a1[] = {7.5};
  check(median(a3, 3, aux.data()) == 2, "median of (3, 1, 2) is 2");
  check(median(a4, 4, aux.data()) == 2.5, "median of (4, 1, 3, 2) is 2.5");
  check(a4[0] == 4 && a4[1] == 1 && a4[2] == 3 && a4[3] == 2, "median leaves x unchanged");
  std::vector<double> sorted(aux.begin(), aux.begin() + 4);
  std::sort(sorted.begin(), sorted.end());
  check(sorted == std::vector<double>({1, 2, 3, 4}), "aux holds a permutation of x");
  check(median(a1, 1, aux.data()) == 7.5, "median of one value");
  const double m3[] = {-3, 1, 2};
  check(median_abs(m3, 3, aux.data()) == 2, "median_abs of (-3, 1, 2) is 2");

  const double x5[] = {1, 2, 3, 4, 100};
  double t[5];
  check(MAD(x5, 5, 3, t, aux.data()) == 1.4826, "MAD uses exactly 1.4826");
  check(t[0] == -2 && t[1] == -1 && t[2] == 0 && t[3] == 1 && t[4] == 97,
        "MAD leaves the centred values in t");

  // kthplace against sorting on many random vectors with ties.
  unsigned state = 12345u;
  auto next = [&state]() {
    state = state * 1103515245u + 12345u;
    return static_cast<double>((state >> 16) % 9);
  };
  bool all_ok = true;
  for (int rep = 0; rep < 300; ++rep) {
    const int n = 1 + rep % 17;
    std::vector<double> v(n);
    for (double& e : v) e = next();
    std::vector<double> s = v;
    std::sort(s.begin(), s.end());
    for (int k = 1; k <= n; ++k) {
      std::vector<double> w = v;
      const double got = kthplace(w.data(), n, k);
      if (got != s[k - 1]) all_ok = false;
      for (int i = 0; i < k - 1; ++i)
        if (w[i] > got) all_ok = false;
      for (int i = k; i < n; ++i)
        if (w[i] < got) all_ok = false;
    }
  }
  check(all_ok, "kthplace selects and partitions like a full sort");
}

void test_norms_and_max() {
  using namespace kelvara;
  const double v[] = {3, 4};
  check(norm2(v, 2) == 25 && norm(v, 2) == 5, "norm and norm2 of (3, 4)");
  const double a[] = {1, 2}, b[] = {3, -1};
  check(norm1_diff(a, b, 2) == 5, "norm1_diff of (1, 2) and (3, -1)");
  check(norm_diff2(a, b, 2) == 13 && near(norm_diff(a, b, 2), std::sqrt(13.0), 1e-15),
        "Euclidean distances");
  check(norm(v, 0) == 0 && norm1(v, 0) == 0 && norm2(v, 0) == 0 &&
            norm_diff(a, b, 0) == 0 && norm1_diff(a, b, 0) == 0,
        "norms of empty vectors are 0");
  const double m[] = {1, 5, 5, 2};
  check(find_max(m, 4) == 1, "first of equal maxima");
  check(find_max(m, 1) == 0 && find_max(m, 0) == 0, "find_max of short arrays");
  const double withnan[] = {1, NAN, 3, NAN, 2};
  check(find_max(withnan, 5) == 2, "NaN elements are never chosen");
}

#ifdef KELVARA_HAVE_SCALE
void test_mscale() {
  using namespace kelvara;
  const double r[] = {1, -1, 2, -2};
  const double k15[] = {1.5};
  const double s1 = find_scale(r, 0.5, k15, 1, 1.0, 4, 0, 200);
  check(near(s1, 2.19621090582, 1e-10), "M-scale of (1, -1, 2, -2)");
  const double s10 = find_scale(r, 0.5, k15, 1, 10.0, 4, 0, 200);
  const double s05 = find_scale(r, 0.5, k15, 1, 0.5, 4, 0, 200);
  check(near(s10, s1, 1e-10 * s1) && near(s05, s1, 1e-10 * s1),
        "M-scale does not depend on the start");
  check(near(sum_rho_sc(r, s1, 4, 0, k15, 1), 0.5, 1e-9), "the solution solves the equation");
  const double k2[] = {2};
  const double r3[] = {0, 1, 5};
  check(sum_rho_sc(r3, 1, 3, 1, k2, 1) == 0.7890625, "mean chi with n - p divisor");
  const double rw[] = {0, 2, 4, 6};
  double w[4];
  get_weights_rhop(rw, 2, 4, k2, 1, w);
  check(w[0] == 1 && w[1] == 0.5625 && w[2] == 0 && w[3] == 0, "biweight weights");
}
#endif
}  // namespace

int main() {
  const char* argv[] = {"R", "--vanilla", "--silent", "--no-echo"};
  Rf_initEmbeddedR(4, const_cast<char**>(argv));
  test_selection_and_medians();
  test_norms_and_max();
#ifdef KELVARA_HAVE_SCALE
  test_mscale();
#endif
  Rf_endEmbeddedR(0);
  std::printf("native: %d passed, %d failed\n", n_passed, n_failed);
  return n_failed > 0 ? 1 : 0;
}
