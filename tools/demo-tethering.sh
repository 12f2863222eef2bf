#!/usr/bin/env bash
# demo-tethering.sh [screenshot.png]: the tethering text exchange on this machine
# alone. Builds the window and the command-line companion client, starts a
# simulated BlueZ on a private bus, lets it hand an RFCOMM connection to the
# window's server profile "Quenlith Server", and runs sarnavel-companion on the
# other end: its texts appear in the window's received-text box, and a text
# typed into the window reaches the companion, which prints it.
# Without a display it runs offscreen. SKIP_BUILD=1 uses an existing build;
# BUILD_DIR (default build/) names it.
#
# With a second Linux machine and real Bluetooth, the same client talks to a
# running Sarnavel Server:  sarnavel-companion --rfcomm AA:BB:CC:DD:EE:FF
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$top/build}
if [ "${SKIP_BUILD:-0}" != 1 ]; then
  "$top/tools/install-deps.sh"
  cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=${BUILD_TYPE:-RelWithDebInfo} >/dev/null
  cmake --build "$build" --target tethering_demo sarnavel-companion -j"$(nproc)"
fi
demo=$build/tests/tethering/tethering_demo
companion=$build/platform/tethering/companion/sarnavel-companion
[ -x "$demo" ] && [ -x "$companion" ] || { echo "build first: $demo or $companion is missing" >&2; exit 1; }
if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  export QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen}
fi
export QT_LOGGING_RULES=${QT_LOGGING_RULES:-"*.debug=false;sarnavel.*.info=false"}
exec "$demo" "$companion" "$@"
