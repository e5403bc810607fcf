#!/usr/bin/env bash
# Measures how many planted faults the test suite catches.  Each fault is a
# one-line sed edit applied to a copy of the tree; the copy is built (only
# what the edit touched is recompiled), the test files most likely to see
# the fault run first and, if they all pass, the whole suite.  Prints one
# line per fault: caught (with the first failing file) or MISSED.
#
#   nice tools/fault-injection.sh            # all faults
#   nice tools/fault-injection.sh F03 F11    # chosen faults
#
# Run from the package root after `make install` (the copy reuses its
# objects).  FI_WORK names the scratch directory (default: a temp dir);
# FI_FILE_LIMIT the seconds one test file may take (default 600).
set -u
ROOT=$(pwd)
WORK=${FI_WORK:-$(mktemp -d)}
limit=${FI_FILE_LIMIT:-600}  # seconds for one test file
mkdir -p "$WORK"

# id | file | sed script | test files to try first (comma-separated regexes) | what it breaks
FAULTS=$(cat <<'EOF'
F01|src/scale.cpp|s/m_scale_rel_tol = 1e-10/m_scale_rel_tol = 1e-6/|scale,lmrob-S|M-scale iteration stops at a loose tolerance
F02|src/scale.cpp|s/return s \/ (static_cast<double>(n) - static_cast<double>(p));/return s \/ (static_cast<double>(n) - 0 * static_cast<double>(p));/|scale,lmrob-S|M-scale mean of rho divides by n, not n - p
F03|R/mcd.R|s/n2 <- (n + p + 1) %\/% 2/n2 <- (n + p) %\/% 2/|lts,mcd|off-by-one in the coverage h
F04|R/lts.R|s/1 \/ sqrt(1 - 2 \* n \* c \* stats::dnorm(c) \/ h)/1 \/ sqrt(1 - n * c * stats::dnorm(c) \/ h)/|lts,consistency|wrong LTS consistency factor
F05|src/univariate.cpp|s/const std::int64_t rank = h \* (h - 1) \/ 2;/const std::int64_t rank = h * (h - 1) \/ 2 + 1;/|qn|Qn takes the next order statistic
F06|src/univariate.cpp|s/return Rf_sign(static_cast<double>(ab - ai - bi));/return Rf_sign(static_cast<double>(ai + bi - ab));/|medcouple|medcouple kernel sign at ties
F07|src/univariate.cpp|s/} else if (2 \* (w_rest + w_left + w_mid) > w_tot) {/} else if (2 * (w_rest + w_left + w_mid) >= w_tot) {/|whimed|whimed tie rule (>= for >)
F08|src/mcd.cpp|s/s.kstep = kelvara::final_csteps(static_cast<std::int64_t>(n) \* p);/s.kstep = 0;/|mcd|MCD skips the final C-steps
F09|src/psi.cpp|s/if (ax <= r) return a \/ (b - r);/if (ax <= r) return a \/ (r - b);/|psi|psi derivative of the Hampel family has the wrong sign
F10|R/frontend-lmrob.R|s/sw <- sqrt(weights)/sw <- rep(1, n)/|lmrob-wls,lmrob-frontend|lmrob drops the prior weights
F11|R/frontend-methods.R|s/fac <- stats::qt(a, object\$df.residual)/fac <- stats::qt(a, object$df.residual + 1)/|lmrob-inference,lm-conventions|confint.lmrob uses the wrong df
F12|R/mcd.R|s/cutoff <- stats::qchisq(0.975, p)/cutoff <- stats::qchisq(0.95, p)/|mcd|MCD reweighting cutoff quantile
F13|src/utilities.cpp|s/return static_cast<int>(kelvara::host::unif_rand() \* static_cast<double>(range)) + 1;/kelvara::host::unif_rand(); return static_cast<int>(kelvara::host::unif_rand() * static_cast<double>(range)) + 1;/|lts,mcd|one extra uniform draw per subset rank
F14|src/host.cpp|s/if (st != nullptr \&\& std::this_thread::get_id() != st->caller) return;/if (st != nullptr) return;/|interrupt|the interrupt poll takes R's own thread for a worker and never polls
F15|R/lts.R|s/c <- stats::qnorm((n + h) \/ (2 \* n))/c <- stats::qnorm((n + h + 1) \/ (2 * n))/|lts,consistency|LTS consistency quantile off by one case
F16|src/lmrob.cpp|s/    ws.solve(X, y, w, n, p, b1);/    ws.solve(X, y, w, n, p, b1); b1[0] += 1e-7;/|lmrob-MM,lmrob-wls|IRWLS step of the MM fit perturbed by 1e-7
F17|R/l1.R|s/^.l1_scale_divisor <- 0.773372647623/.l1_scale_divisor <- 0.77337/|l1|L1 scale divisor rounded to five digits
F18|R/mcd.R|s/c_cov <- ck\$cov \* (stats::pchisq(cutoff, p) \/ stats::pchisq(cutoff, p + 2)) \* f_rw/c_cov <- ck$cov * (stats::pchisq(cutoff, p + 2) \/ stats::pchisq(cutoff, p + 4)) * f_rw/|mcd,consistency|MCD reweighted consistency factor uses the wrong chi-square degrees
F19|R/smdm.R|s/d <- .find_D_scale(r\[use\], tab\$kappa, tau, scale, tuning, code, variant = 3L,/d <- .find_D_scale(r[use], tab$kappa, tau, scale, tuning, code, variant = 4L,/|smdm|SMDM D-step uses another fixed-point variant
F20|R/frontend-methods.R|s/ses <- sqrt(diag(vcov(object, type = cov_type)))\[parm\]/ses <- sqrt(diag(vcov(object)))[parm]/|smdm,lmrob-frontend|confint.lmrob ignores the covariance type asked for
F21|R/smdm.R|s/kappa = A \/ Ew, gamma/kappa = A \/ Ew^2, gamma/|smdm|SMDM kappa divides by the squared mean weight
EOF
)

want=" $* "
# A copy of the tree as it is now, built objects included (cp -a keeps the
# times, so make rebuilds only the edited file).
# FI_KEEP_BASE=1 reuses the copy already in FI_WORK.
BASE="$WORK/base"
[ "${FI_KEEP_BASE:-0}" = 1 ] && [ -d "$BASE" ] || { rm -rf "$BASE"; mkdir -p "$BASE"
(cd "$ROOT" && tar --exclude=./.git --exclude=./.rlib --exclude=./.rlib-san \
  --exclude='./kelvara_*.tar.gz' --exclude=./kelvara.Rcheck -cf - .) | (cd "$BASE" && tar -xpf -); }

caught=0; missed=0
while IFS='|' read -r id file script first what; do
  [ -z "$id" ] && continue
  if [ "$want" != "  " ] && [[ "$want" != *" $id "* ]]; then continue; fi
  T="$WORK/$id"; L="$WORK/$id.lib"
  rm -rf "$T" "$L"; cp -a "$BASE" "$T"; mkdir -p "$L"
  cp "$T/$file" "$T/$file.orig"
  sed -i "$script" "$T/$file"
  if cmp -s "$T/$file" "$T/$file.orig"; then
    echo "$id NOT-APPLIED  $what"; rm -rf "$T" "$L"; continue
  fi
  rm "$T/$file.orig"
  if ! (cd "$T" && R_MAKEVARS_USER="$T/tools/Makevars.dev" R CMD INSTALL --no-multiarch -l "$L" . \
        >"$WORK/$id.build.log" 2>&1); then
    echo "$id BUILD-FAILED $what"; continue
  fi
  # One process per test file, the likely ones first, each with a time
  # limit: a fault that makes a test hang (a lost interrupt poll) is caught
  # by that limit.
  all=$(cd "$T/tests/testthat" && ls test*.[rR] | sed 's/^test-\{0,1\}\(.*\)\.[rR]$/\1/')
  res=MISSED
  for f in $(echo "$all" | grep -E "${first//,/|}") $(echo "$all" | grep -vE "${first//,/|}"); do
    (cd "$T" && R_LIBS="$L" FI_FILE="$f" timeout "$limit" Rscript -e '
      suppressPackageStartupMessages(library(testthat)); library(kelvara)
      r <- as.data.frame(testthat::test_dir("tests/testthat",
             filter = paste0("^", Sys.getenv("FI_FILE"), "$"), reporter = "silent",
             package = "kelvara", load_package = "installed",
             stop_on_failure = FALSE, stop_on_warning = FALSE))
      quit(save = "no", status = if (any(r$failed > 0 | r$error)) 3 else 0)' \
      >/dev/null 2>&1)
    rc=$?
    if [ $rc -eq 124 ]; then res="caught by $f (no result in $limit s)"; break; fi
    if [ $rc -ne 0 ]; then res="caught by $f"; break; fi
  done
  case "$res" in
    caught*) caught=$((caught + 1)); echo "$id $res  $what" ;;
    *) missed=$((missed + 1)); echo "$id MISSED  $what" ;;
  esac
  rm -rf "$T" "$L"
done <<< "$FAULTS"
echo "caught $caught, missed $missed"
