#!/usr/bin/env bash
# demo.sh [--old-bluez|--no-adapter]: Sarnavel Server without a Bluetooth radio.
# Builds, starts a simulated BlueZ on a private bus (one adapter, four devices
# that show up when you search, pairing by numeric comparison) and runs the
# program against it; without a display it runs under Xvfb. The simulated BlueZ
# goes when the program ends.
#
# Things to try: close the update wizard; the radio list shows the adapter
# "sarnavel-demo" with the API "BlueZ"; switch the two sliders and watch the
# Connectable / Discoverable cells; click the search button: after about 19 s
# the device list shows four devices; select "Torvane phone" and pair it (no
# prompt, no message); pair it again for "Device is already paired."; unpair.
# SKIP_BUILD=1 uses an existing build; BUILD_DIR (default build/) names it.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$top/build}
if [ "${SKIP_BUILD:-0}" != 1 ]; then
  "$top/tools/install-deps.sh"
  "$top/tools/build.sh" "$build"
fi
exe=$build/app/sarnavel-server
[ -x "$exe" ] || { echo "$exe is missing: build first" >&2; exit 1; }

env_file=$(mktemp)
"$top/tools/simulated-bluez.sh" "$@" >"$env_file" &
bluez_pid=$!
cleanup() {
  kill "$bluez_pid" 2>/dev/null || true
  wait "$bluez_pid" 2>/dev/null || true
  rm -f "$env_file"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# The simulated BlueZ prints the bus address once it answers (bounded wait).
for _ in $(seq 1 200); do
  grep -q '^export DBUS_SYSTEM_BUS_ADDRESS=' "$env_file" && break
  kill -0 "$bluez_pid" 2>/dev/null || { echo "the simulated BlueZ did not start" >&2; exit 1; }
  sleep 0.1
done
grep -q '^export DBUS_SYSTEM_BUS_ADDRESS=' "$env_file" || { echo "the simulated BlueZ did not answer in 20 s" >&2; exit 1; }
# shellcheck disable=SC1090
. "$env_file"
echo "Simulated BlueZ on $DBUS_SYSTEM_BUS_ADDRESS (bluetoothctl talks to it too)."

if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  xvfb-run -a -s "-screen 0 1280x800x24" "$exe"
else
  "$exe"
fi
