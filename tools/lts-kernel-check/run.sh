#!/bin/sh
# Builds and runs the stand-alone check of the least trimmed squares kernels
# (with the host stand-in of the shared kernel check).
set -e
cd "$(dirname "$0")"
RINC=$(R CMD config --cppflags)
g++ -std=c++17 -O1 -Wall -Wextra -ffp-contract=off -DR_NO_REMAP $RINC -o /tmp/kelvara-lts-kernel-check \
  check_lts_kernels.cpp ../kernel-check/stub_host.cpp ../../src/lts.cpp ../../src/mcd.cpp \
  $(R CMD config LAPACK_LIBS) $(R CMD config BLAS_LIBS) -lgfortran
/tmp/kelvara-lts-kernel-check
