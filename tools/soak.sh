#!/usr/bin/env bash
# soak.sh: the soak and fault runs, one section per area. Each section builds and runs
# one bounded program from soak/<area>/ that prints its figures and exits non-zero
# when an invariant breaks. Runs every area, then fails if any failed.
#   SOAK_BUILD_DIR   build directory (default build-soak)
#   SANITIZE=1       build with ASan + UBSan + LeakSanitizer into build-soak-asan
set -uo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/tools/install-deps.sh" || exit 1
opts=(-DSARNAVEL_BENCH=ON)
if [ "${SANITIZE:-0}" = 1 ]; then
  dir=${SOAK_BUILD_DIR:-$top/build-soak-asan}
  opts+=(-DSARNAVEL_SANITIZE=ON)
  export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
  export LSAN_OPTIONS="suppressions=$top/tools/lsan.supp:print_suppressions=0"
else
  dir=${SOAK_BUILD_DIR:-$top/build-soak}
fi
cmake -S "$top" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${opts[@]}" >/dev/null || exit 1
failed=()

# Builds one soak target and runs it with its arguments; records a failure.
run_soak() {
  local area=$1 target=$2; shift 2
  echo "== soak: $area"
  if ! cmake --build "$dir" -j"$(nproc)" --target "$target" >"$dir/build-$target.log" 2>&1; then
    echo "$area: build failed"; tail -n 30 "$dir/build-$target.log"; failed+=("$area"); return
  fi
  local bin
  bin=$(find "$dir/soak" -type f -name "$target" -perm -u+x | head -n 1)
  if ! "$bin" "$@"; then failed+=("$area"); fi
}

# --- bluetooth ---
# BlueZ killed and restarted 20 times each during discovery, pairing and switching.
run_soak bluetooth soak_bluetooth --rounds "${SOAK_BT_ROUNDS:-20}"
# --- end bluetooth ---

# --- update ---
# The update server closing connections mid-file, sending more bytes than declared,
# stalling, and mixtures, through the real checker and wizard.
run_soak update soak_update --rounds "${SOAK_UPDATE_ROUNDS:-200}" --seconds "${SOAK_UPDATE_SECONDS:-300}"
# --- end update ---

# --- tethering ---
# 1 000 companion connects and disconnects (half abrupt, mid-frame, texts in flight) and
# 100 000 texts from 4 companions at once, against the real framework over socket pairs.
run_soak tethering soak_tethering --connects "${SOAK_TETH_CONNECTS:-1000}" --texts "${SOAK_TETH_TEXTS:-100000}"
# --- end tethering ---

if [ ${#failed[@]} -gt 0 ]; then
  echo "soak: FAILED: ${failed[*]}"
  exit 1
fi
echo "soak: all passed"
