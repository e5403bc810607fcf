# Set-up and checks for kelvara.  Everything installs into a local library
# (.rlib/) so that nothing outside the checkout is touched.
R ?= R
RSCRIPT ?= Rscript
LIB := $(CURDIR)/.rlib
export R_LIBS := $(LIB)
export R_MAKEVARS_USER ?= $(CURDIR)/tools/Makevars.dev
VERSION := $(shell sed -n 's/^Version: //p' DESCRIPTION)

.PHONY: all install clean-install test demo check memcheck sanitize fuzz faults clean vignette-deps

all: install

$(LIB):
	mkdir -p $(LIB)

# Incremental: only what changed is rebuilt (tools/Makevars.dev tracks the
# headers).  CI builds from a clean tree (clean-install).
install: | $(LIB)
	$(R) CMD INSTALL --no-multiarch -l $(LIB) .

clean-install: | $(LIB)
	rm -f src/*.o src/*.so
	$(R) CMD INSTALL --no-multiarch --preclean -l $(LIB) .

test: install
	$(RSCRIPT) tests/run-tests.R

demo: install
	$(RSCRIPT) -e 'demo("kelvara", package = "kelvara", ask = FALSE, echo = TRUE)'

# The CRAN packages that the vignette (knitr with the markdown package's
# engine, no pandoc) and the tidy methods (generics) need, installed into
# the local library when they are missing.
VIGNETTE_PKGS := c("knitr", "markdown", "generics")
vignette-deps: | $(LIB)
	$(RSCRIPT) -e 'pk <- $(VIGNETTE_PKGS); need <- pk[!vapply(pk, requireNamespace, NA, quietly = TRUE)]' \
	  -e 'if (length(need)) install.packages(need, lib = "$(LIB)", repos = "https://cloud.r-project.org")'

# Input fuzzing of every exported function in child processes (FUZZ_N calls
# per function, FUZZ_SEED, FUZZ_FUNS=a,b to select); fails on any crash,
# hang or unclear error.
fuzz: install
	$(RSCRIPT) tests/fuzz/run.R

# The planted faults of tools/fault-injection.sh, each built in a copy of the
# tree: which the test suite catches (slow: one build and run per fault).
faults: install
	nice tools/fault-injection.sh

# The vignette is built (knitr with the markdown package's engine, from the
# local library) and the tarball checked as CRAN would, less the incoming
# checks that need the network (no manual: no LaTeX here).  The check
# compiles with R's own flags, not the development ones.  The vignette is
# HTML, so there is no PDF for qpdf to compact: where qpdf is missing, a
# no-op stands in for it.
check: vignette-deps
	$(R) CMD build .
	env -u R_MAKEVARS_USER _R_CHECK_FORCE_SUGGESTS_=false _R_CHECK_CRAN_INCOMING_=false \
	  R_QPDF=$$(command -v qpdf || command -v true) \
	  $(R) CMD check --as-cran --no-manual kelvara_$(VERSION).tar.gz

# The test suite under valgrind: definite leaks and invalid accesses.
memcheck: install
	$(R) -d "valgrind --leak-check=full --errors-for-leak-kinds=definite --error-exitcode=42 --suppressions=$(CURDIR)/tests/valgrind.supp" \
	  --vanilla --no-echo -f tests/run-tests.R

# The test suite against a build under the address and undefined-behaviour
# sanitizers (installed into its own library); any report fails the run.
SAN_LIB := $(CURDIR)/.rlib-san
sanitize: | $(LIB)
	mkdir -p $(SAN_LIB)
	R_MAKEVARS_USER=$(CURDIR)/tools/Makevars.sanitize $(R) CMD INSTALL --no-multiarch --no-test-load --preclean -l $(SAN_LIB) .
	LD_PRELOAD="$$(gcc -print-file-name=libasan.so) $$(gcc -print-file-name=libubsan.so)" \
	ASAN_OPTIONS=detect_leaks=0:halt_on_error=1:abort_on_error=1 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	R_LIBS=$(SAN_LIB) $(RSCRIPT) tests/run-tests.R
	$(R) CMD INSTALL --no-multiarch --preclean -l $(LIB) . >/dev/null

clean:
	rm -rf $(LIB) $(SAN_LIB) src/*.o src/*.so kelvara_*.tar.gz kelvara.Rcheck
