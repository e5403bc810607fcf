// Module initialisation and the random-number wrappers used by the
// minimum covariance determinant and least trimmed squares routines.
#ifndef KELVARA_REGISTRATION_H
#define KELVARA_REGISTRATION_H

#include <R_ext/Rdynload.h>

extern "C" {
void R_init_kelvara(DllInfo* dll);
double unifrnd_();
double normrnd_();
void rndstart_();
void rndend_();
}

#endif
