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

}  // extern "C"
