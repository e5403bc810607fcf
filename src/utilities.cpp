#include "host.h"
#include "utilities.h"

#include <cmath>

#define USE_FC_LEN_T
#include <R_ext/BLAS.h>

namespace kelvara {

double kthplace(double* a, int n, int k) {
  const int k0 = k - 1;
  int l = 0, r = n - 1;
  if (r <= 0) return a[k0];
  while (l < r) {
    const double x = a[k0];
    int i = l, j = r;
    do {
      while (a[i] < x) ++i;
      while (x < a[j]) --j;
      if (j < i) break;
      const double w = a[i];
      a[i] = a[j];
      a[j] = w;
      ++i;
      --j;
    } while (i <= j);
    if (j < k0) l = i;
    if (k0 < i) r = j;
  }
  return a[k0];
}

namespace {
// Median of aux[0..n-1], which the caller has filled; reorders aux.
double median_in_place(double* aux, int n) {
  const int h = n / 2;
  if (static_cast<double>(h) == n * 0.5) {
    // Two selections on the same, already partly ordered, work array.
    const double lo = kthplace(aux, n, h);
    const double hi = kthplace(aux, n, h + 1);
    return (lo + hi) * 0.5;
  }
  return kthplace(aux, n, h + 1);
}
}  // namespace

double median(const double* x, int n, double* aux) {
  for (int i = 0; i < n; ++i) aux[i] = x[i];
  return median_in_place(aux, n);
}

double median_abs(const double* x, int n, double* aux) {
  for (int i = 0; i < n; ++i) aux[i] = std::fabs(x[i]);
  return median_in_place(aux, n);
}

double MAD(const double* x, int n, double center, double* t, double* aux) {
  for (int i = 0; i < n; ++i) t[i] = x[i] - center;
  // Exactly 1.4826, not 1/qnorm(3/4) to more digits.
  return median_abs(t, n, aux) * 1.4826;
}

double norm(const double* x, int n) {
  const int one = 1;
  return F77_CALL(dnrm2)(&n, x, &one);
}

double norm2(const double* x, int n) {
  const double r = norm(x, n);
  return r * r;
}

double norm1(const double* x, int n) {
  const int one = 1;
  return F77_CALL(dasum)(&n, x, &one);
}

double norm_diff2(const double* x, const double* y, int n) {
  double s = 0.0;
  for (int i = 0; i < n; ++i) {
    const double d = x[i] - y[i];
    s = std::fma(d, d, s);
  }
  return s;
}

double norm_diff(const double* x, const double* y, int n) {
  return std::sqrt(norm_diff2(x, y, n));
}

double norm1_diff(const double* x, const double* y, int n) {
  double s = 0.0;
  for (int i = 0; i < n; ++i) s = s + std::fabs(x[i] - y[i]);
  return s;
}

int find_max(const double* a, int n) {
  if (n <= 1) return 0;
  double m = a[0];
  int k = 0;
  for (int i = 1; i < n; ++i)
    if (m < a[i]) {
      m = a[i];
      k = i;
    }
  return k;
}

void zero_mat(double** a, int n, int p) {
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < p; ++j) a[i][j] = 0.0;
}

void disp_mat(double** a, int n, int p) {
  for (int i = 0; i < n; ++i) {
    host::print("\n");
    for (int j = 0; j < p; ++j) host::print("%10.8f ", a[i][j]);
  }
  host::print("\n");
}

void disp_vec(const double* a, int n) {
  for (int i = 0; i < n; ++i) host::print("%lf ", a[i]);
  host::print("\n");
}

void disp_veci(const int* a, int n) {
  for (int i = 0; i < n; ++i) host::print("%d ", a[i]);
  host::print("\n");
}

}  // namespace kelvara
