// Module initialisation.  The random-number wrappers of the minimum
// covariance determinant and least trimmed squares routines live in the host
// layer (host_rng.h); this header still declares them for those routines.
#ifndef KELVARA_REGISTRATION_H
#define KELVARA_REGISTRATION_H

#include <R_ext/Rdynload.h>

#include "host_rng.h"

extern "C" {
void R_init_kelvara(DllInfo* dll);
}

#endif
