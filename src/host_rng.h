// Argument-free wrappers of R's random-number generator, callable by
// reference from the minimum covariance determinant and least trimmed squares
// routines: one uniform or normal draw, and the bracket of a series of draws
// (GetRNGstate / PutRNGstate).
#ifndef KELVARA_HOST_RNG_H
#define KELVARA_HOST_RNG_H

extern "C" {
double unifrnd_();
double normrnd_();  // exported for the same callers; no routine here draws normals
void rndstart_();
void rndend_();
}

#endif
