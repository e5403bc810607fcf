// The random-number wrappers of host_rng.h, over the host layer.
#include "host_rng.h"

#include "host.h"

extern "C" {

double unifrnd_() { return kelvara::host::unif_rand(); }
double normrnd_() { return kelvara::host::norm_rand(); }
void rndstart_() { kelvara::host::rng_begin(); }
void rndend_() { kelvara::host::rng_end(); }

}  // extern "C"
