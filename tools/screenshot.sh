#!/usr/bin/env bash
# screenshot.sh [OUT.png] [BUILD_DIR]: runs the program under Xvfb (with whatever
# BlueZ DBUS_SYSTEM_BUS_ADDRESS points at), waits for the main window and writes a PNG of it.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$top/docs/window.png}
build=${2:-$top/build}
exe=$build/app/sarnavel-server
[ -x "$exe" ] || { echo "build first: $exe is missing" >&2; exit 1; }
inner=$(mktemp)
cat >"$inner" <<'INNER'
set -u
exe=$1; out=$2
"$exe" & pid=$!
# The update wizard comes first: close it with Escape, as a user would.
for _ in $(seq 1 150); do
  wid=$(xdotool search --onlyvisible --name '^Sarnavel Server   Ver\.' 2>/dev/null | head -n1 || true)
  [ -n "$wid" ] && break
  for w in $(xdotool search --onlyvisible --pid "$pid" '' 2>/dev/null); do
    xdotool windowfocus --sync "$w" 2>/dev/null && xdotool key Escape 2>/dev/null || true
  done
  sleep 0.2
done
sleep 1.5
if [ -n "${wid:-}" ]; then import -window "$wid" "$out"; rc=$?; else echo "main window did not appear" >&2; rc=1; fi
kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null
exit $rc
INNER
xvfb-run -a -s "-screen 0 1280x800x24" bash "$inner" "$exe" "$out"
rc=$?
rm -f "$inner"
[ $rc -eq 0 ] && echo "wrote $out"
exit $rc
