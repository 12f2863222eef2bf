#!/usr/bin/env bash
# Installs what is needed, builds, and starts Sarnavel Server against the system's BlueZ.
# Without a display it runs under Xvfb.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/tools/install-deps.sh"
"$top/tools/build.sh" "$top/build"
if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  exec xvfb-run -a -s "-screen 0 1280x800x24" "$top/build/app/sarnavel-server"
fi
exec "$top/build/app/sarnavel-server"
