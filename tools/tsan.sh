#!/usr/bin/env bash
# tsan.sh: ThreadSanitizer build of the Bluetooth and tethering tests (the agent and
# the transports run off the UI thread) into build-tsan, and runs them.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/tools/install-deps.sh"
dir="$top/build-tsan"
cmake -S "$top" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSARNAVEL_TSAN=ON -DSARNAVEL_BENCH=OFF >/dev/null
cmake --build "$dir" -j"$(nproc)"
# die_after_fork=0: the simulated BlueZ forks dbus-daemon from a test that already has
# threads; the child only calls async-signal-safe functions before exec.
export TSAN_OPTIONS="halt_on_error=1 die_after_fork=0 second_deadlock_stack=1 suppressions=$top/tools/tsan.supp"
ctest --test-dir "$dir" --output-on-failure -L 'wcl|tethering|bluez|radio|devices' --timeout 900
