# Set-up and checks for kelvara.  Everything installs into a local library
# (.rlib/) so that nothing outside the checkout is touched.
R ?= R
RSCRIPT ?= Rscript
LIB := $(CURDIR)/.rlib
export R_LIBS := $(LIB)
export R_MAKEVARS_USER ?= $(CURDIR)/tools/Makevars.dev
VERSION := $(shell sed -n 's/^Version: //p' DESCRIPTION)

.PHONY: all install test demo check memcheck clean native

R_INCLUDE := $(shell $(R) RHOME)/include
NATIVE_BIN := tests/native/native_tests

all: install

$(LIB):
	mkdir -p $(LIB)

install: | $(LIB)
	$(R) CMD INSTALL --no-multiarch --preclean -l $(LIB) .

# Internal routines that no entry point exposes alone, tested by a small
# program that links the module's objects and runs R embedded.
native: install
	$(shell $(R) CMD config CXX17) $(shell $(R) CMD config CXX17STD) -g -O1 -ffp-contract=off \
	  -DR_NO_REMAP $(shell $(R) CMD config --cppflags) \
	  $(if $(wildcard src/scale.h),-DKELVARA_HAVE_SCALE) \
	  -o $(NATIVE_BIN) tests/native/native_tests.cpp $(wildcard src/*.o) \
	  $(shell $(R) CMD config --ldflags) $(shell $(R) CMD config LAPACK_LIBS) \
	  $(shell $(R) CMD config BLAS_LIBS) $(shell $(R) CMD config FLIBS)

test: native
	$(RSCRIPT) tests/run-tests.R

demo: install
	$(RSCRIPT) -e 'demo("kelvara", package = "kelvara", ask = FALSE, echo = TRUE)'

check:
	$(R) CMD build --no-build-vignettes .
	_R_CHECK_FORCE_SUGGESTS_=false $(R) CMD check --no-manual kelvara_$(VERSION).tar.gz

# The test suite under valgrind: definite leaks and invalid accesses.
memcheck: install
	$(R) -d "valgrind --leak-check=full --errors-for-leak-kinds=definite --error-exitcode=42 --suppressions=$(CURDIR)/tests/valgrind.supp" \
	  --vanilla --no-echo -f tests/run-tests.R

clean:
	rm -rf $(LIB) src/*.o src/*.so kelvara_*.tar.gz kelvara.Rcheck
