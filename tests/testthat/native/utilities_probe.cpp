// Test-only access to the vector utilities, built from the module's own
// sources into a separate library by helper-native.R.
#include "host.h"
#include "utilities.h"

extern "C" {

void probe_kthplace(double* a, const int* n, const int* k, double* out) {
  kelvara::host::run_entry([&] { *out = kelvara::kthplace(a, *n, *k); });
}

// what: 0 median, 1 median_abs, 2 MAD (t returned in aux2)
void probe_median(const double* x, const int* n, const int* what, const double* center,
                  double* aux, double* aux2, double* out) {
  kelvara::host::run_entry([&] {
    switch (*what) {
      case 0: *out = kelvara::median(x, *n, aux); break;
      case 1: *out = kelvara::median_abs(x, *n, aux); break;
      default: *out = kelvara::MAD(x, *n, *center, aux2, aux); break;
    }
  });
}

// what: 0 norm, 1 norm2, 2 norm1, 3 norm_diff, 4 norm_diff2, 5 norm1_diff
void probe_norm(const double* x, const double* y, const int* n, const int* what,
                double* out) {
  kelvara::host::run_entry([&] {
    switch (*what) {
      case 0: *out = kelvara::norm(x, *n); break;
      case 1: *out = kelvara::norm2(x, *n); break;
      case 2: *out = kelvara::norm1(x, *n); break;
      case 3: *out = kelvara::norm_diff(x, y, *n); break;
      case 4: *out = kelvara::norm_diff2(x, y, *n); break;
      default: *out = kelvara::norm1_diff(x, y, *n); break;
    }
  });
}

void probe_find_max(const double* a, const int* n, int* out) {
  kelvara::host::run_entry([&] { *out = kelvara::find_max(a, *n); });
}

void probe_disp(const double* a, const int* ia, const int* n, const int* what) {
  kelvara::host::run_entry([&] {
    if (*what == 0) kelvara::disp_vec(a, *n);
    else kelvara::disp_veci(ia, *n);
  });
}

}  // extern "C"
