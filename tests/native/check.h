// Shared scaffolding of the stand-alone kernel checks.
#ifndef KELVARA_TEST_CHECK_H
#define KELVARA_TEST_CHECK_H

#include <cmath>
#include <cstdio>

static int failures = 0;
#define CHECK(cond)                                         \
  do {                                                      \
    if (!(cond)) {                                          \
      std::printf("FAILED line %d: %s\n", __LINE__, #cond); \
      ++failures;                                           \
    }                                                       \
  } while (0)

static inline bool near(double a, double b, double tol = 1e-12) {
  return std::fabs(a - b) <= tol;
}

#endif
