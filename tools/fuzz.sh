#!/usr/bin/env bash
# fuzz.sh SECONDS [TARGET...]: builds the libFuzzer targets with clang (ASan + UBSan)
# into build-fuzz and runs each for SECONDS, starting from the seed corpus in
# fuzz/corpus/<target> (hand-made seeds, and in found/ the minimized corpus of longer
# runs, refreshed with `<target> -merge=1 NEW fuzz/corpus/<target> build-fuzz/corpus/<target>`).
# A crash, leak or hang fails the run; the input is kept in
# build-fuzz/artifacts/<target>/ (add it to fuzz/regressions/<target>/ once fixed).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
secs=${1:-60}; shift || true
dir=${FUZZ_BUILD_DIR:-$top/build-fuzz}
all=(fuzz_address fuzz_version_date fuzz_controlfile fuzz_frames fuzz_session)
targets=("$@"); [ ${#targets[@]} -gt 0 ] || targets=("${all[@]}")
CC=clang CXX=clang++ cmake -S "$top" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DSARNAVEL_FUZZ=ON -DSARNAVEL_BENCH=OFF >/dev/null
built=()
for t in "${targets[@]}"; do
  [ -f "$top/fuzz/$t.cpp" ] && built+=("$t")
done
cmake --build "$dir" -j"$(nproc)" --target "${built[@]}"
export ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
failed=0
for t in "${built[@]}"; do
  work="$dir/corpus/$t"; art="$dir/artifacts/$t/"
  mkdir -p "$work" "$art"
  seeds=(); [ -d "$top/fuzz/corpus/$t" ] && seeds+=("$top/fuzz/corpus/$t")
  # Known crashers stay fixed: every regression input must run clean first.
  if [ -d "$top/fuzz/regressions/$t" ] && ls "$top/fuzz/regressions/$t"/* >/dev/null 2>&1; then
    "$dir/fuzz/$t" "$top/fuzz/regressions/$t"/* >"$dir/$t.regressions.log" 2>&1 || { echo "$t: regression input fails"; failed=1; continue; }
  fi
  echo "== $t: ${secs}s"
  if "$dir/fuzz/$t" "$work" "${seeds[@]}" -max_total_time="$secs" -timeout=10 -rss_limit_mb=2048 \
       -max_len=65536 -print_final_stats=1 -artifact_prefix="$art" >"$dir/$t.log" 2>&1; then
    grep -E '^stat::number_of_executed_units|^stat::peak_rss_mb|cov: ' "$dir/$t.log" | tail -n 3 | sed "s/^/   /"
  else
    echo "$t: FINDING (see $dir/$t.log and $art)"; tail -n 30 "$dir/$t.log"; failed=1
  fi
done
exit $failed
