#!/bin/sh
# Builds and runs the stand-alone check of the shared MCD kernels.
set -e
cd "$(dirname "$0")"
RINC=$(R CMD config --cppflags)
g++ -std=c++17 -O1 -Wall -Wextra -ffp-contract=off -DR_NO_REMAP $RINC -o /tmp/kelvara-kernel-check \
  check_kernels.cpp stub_host.cpp ../../src/mcd.cpp $(R CMD config LAPACK_LIBS) $(R CMD config BLAS_LIBS) -lgfortran
/tmp/kelvara-kernel-check
