#!/bin/sh
# Starts a private D-Bus bus with a simulated BlueZ (one adapter, devices that
# show up when a search runs, pairing by numeric comparison), prints
#   export DBUS_SYSTEM_BUS_ADDRESS=...
# and stays until killed. Options: --old-bluez (no Adapter1.Connectable),
# --no-adapter. Example:
#   tools/simulated-bluez.sh > /tmp/bluez.env & sleep 2; . /tmp/bluez.env; build/app/SarnavelServer
exec /usr/bin/python3 "$(dirname "$0")/../tests/bluez/simulated_bluez.py" "$@"
