#!/bin/sh
# Builds and runs the stand-alone checks of the MCD and LTS kernels, which
# run without R through a stand-in host layer.  Prints "ok: 0 failures" per
# program on success.
set -e
here=$(cd "$(dirname "$0")" && pwd)
src="$here/../../src"
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
CXX="$(R CMD config CXX17) $(R CMD config CXX17STD)"
FLAGS="-O1 -Wall -Wextra -DR_NO_REMAP $(R CMD config --cppflags)"
LIBS="$(R CMD config LAPACK_LIBS) $(R CMD config BLAS_LIBS) $(R CMD config FLIBS)"
$CXX $FLAGS -o "$out/mcd" "$here/check_mcd_kernels.cpp" "$here/stub_host.cpp" "$src/mcd.cpp" \
  "$src/utilities.cpp" $LIBS
$CXX $FLAGS -o "$out/lts" "$here/check_lts_kernels.cpp" "$here/stub_host.cpp" "$src/lts.cpp" \
  "$src/utilities.cpp" $LIBS
"$out/mcd"
"$out/lts"
