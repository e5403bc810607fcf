// Test-only access to the internal M-scale and weight routines, built from
// the module's own sources into a separate library by helper-native.R.
#include "host.h"
#include "scale.h"

extern "C" {

void probe_sum_rho_sc(const double* r, const double* scale, const int* n, const int* p,
                      const double* k, const int* ipsi, double* out) {
  kelvara::host::run_entry(
      [&] { *out = kelvara::sum_rho_sc(r, *scale, *n, *p, k, *ipsi); });
}

void probe_find_scale(const double* r, const double* b, const double* k, const int* ipsi,
                      const double* initial_scale, const int* n, const int* p,
                      const int* max_it, double* out) {
  kelvara::host::run_entry([&] {
    *out = kelvara::find_scale(r, *b, k, *ipsi, *initial_scale, *n, *p, *max_it);
  });
}

void probe_get_weights_rhop(const double* r, const double* scale, const int* n,
                            const double* k, const int* ipsi, double* w) {
  kelvara::host::run_entry(
      [&] { kelvara::get_weights_rhop(r, *scale, *n, k, *ipsi, w); });
}

}  // extern "C"
