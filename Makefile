# Set-up and checks for kelvara.  Everything installs into a local library
# (.rlib/) so that nothing outside the checkout is touched.
R ?= R
RSCRIPT ?= Rscript
LIB := $(CURDIR)/.rlib
export R_LIBS := $(LIB)
export R_MAKEVARS_USER ?= $(CURDIR)/tools/Makevars.dev
VERSION := $(shell sed -n 's/^Version: //p' DESCRIPTION)

.PHONY: all install test demo check memcheck clean

all: install

$(LIB):
	mkdir -p $(LIB)

install: | $(LIB)
	$(R) CMD INSTALL --no-multiarch --preclean -l $(LIB) .

test: install
	$(RSCRIPT) tests/run-tests.R

demo: install
	$(RSCRIPT) -e 'demo("kelvara", package = "kelvara", ask = FALSE, echo = TRUE)'

check:
	$(R) CMD build --no-build-vignettes .
	_R_CHECK_FORCE_SUGGESTS_=false $(R) CMD check --no-manual kelvara_$(VERSION).tar.gz

# The test suite under valgrind: definite leaks and invalid accesses.
memcheck: install
	$(R) -d "valgrind --leak-check=full --errors-for-leak-kinds=definite --error-exitcode=42 --suppressions=$(CURDIR)/tests/valgrind.supp" \
	  --vanilla -f tests/run-tests.R

clean:
	rm -rf $(LIB) src/*.o src/*.so kelvara_*.tar.gz kelvara.Rcheck
