#!/usr/bin/env bash
# Installs what is needed, builds with warnings as errors and runs every test.
# SANITIZE=1 builds with AddressSanitizer + UndefinedBehaviorSanitizer into build-asan
# and runs the tests with LeakSanitizer on (a leak fails the test).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/tools/install-deps.sh"
if [ "${SANITIZE:-0}" = 1 ]; then
  dir="$top/build-asan"
  "$top/tools/build.sh" "$dir" -DSARNAVEL_WERROR=ON -DSARNAVEL_SANITIZE=ON -DSARNAVEL_BENCH=OFF
  export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 LSAN_OPTIONS=suppressions=$top/tools/lsan.supp \
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
else
  dir="$top/build"
  "$top/tools/build.sh" "$dir" -DSARNAVEL_WERROR=ON
fi
ctest --test-dir "$dir" --output-on-failure -j2 --timeout 600
