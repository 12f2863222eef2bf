#!/usr/bin/python3
'''Runs a simulated BlueZ on a private bus until killed (used by
tools/simulated-bluez.sh for the demo and by hand-testing with bluetoothctl).

Prints "export DBUS_SYSTEM_BUS_ADDRESS=..." once BlueZ answers, then stays.
--old-bluez leaves Adapter1.Connectable out (Connectable then maps to Powered),
--no-adapter starts BlueZ without any adapter.
'''

import argparse
import ctypes
import os
import signal
import subprocess
import sys
import time

import dbus

HERE = os.path.dirname(os.path.abspath(__file__))


def die_with_parent():
    # PR_SET_PDEATHSIG: children go even if this script is killed hard
    ctypes.CDLL(None).prctl(1, signal.SIGTERM)


def sv(d):
    return dbus.Dictionary(d, signature='sv')


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument('--old-bluez', action='store_true', help='adapter without Connectable (BlueZ < 5.79)')
    parser.add_argument('--no-adapter', action='store_true', help='BlueZ without an adapter')
    args = parser.parse_args()

    children = []

    def stop(*_):
        for p in reversed(children):
            if p.poll() is None:
                p.terminate()
        for p in reversed(children):
            try:
                p.wait(timeout=3)
            except subprocess.TimeoutExpired:
                p.kill()
        sys.exit(0)

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)
    signal.signal(signal.SIGHUP, stop)

    bus_proc = subprocess.Popen(
        ['dbus-daemon', '--config-file=' + os.path.join(HERE, 'system-bus.conf'), '--print-address=1', '--nofork'],
        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, preexec_fn=die_with_parent)
    children.append(bus_proc)
    address = bus_proc.stdout.readline().decode().strip()
    if not address:
        print('dbus-daemon did not start', file=sys.stderr)
        stop()
    env = dict(os.environ, DBUS_SYSTEM_BUS_ADDRESS=address, PYTHONDONTWRITEBYTECODE='1')
    mock = subprocess.Popen(['/usr/bin/python3', '-m', 'dbusmock', '--system', '--template', 'bluez5'],
                            env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                            preexec_fn=die_with_parent)
    children.append(mock)

    bus = dbus.bus.BusConnection(address)
    deadline = time.time() + 15
    while not bus.name_has_owner('org.bluez'):
        if time.time() > deadline or mock.poll() is not None:
            print('the simulated BlueZ did not start', file=sys.stderr)
            stop()
        time.sleep(0.05)

    try:
        setup(bus, args)
    except Exception as e:  # leave no processes behind
        print(f'setting up the simulated BlueZ failed: {e}', file=sys.stderr)
        stop()

    print(f'export DBUS_SYSTEM_BUS_ADDRESS={address}', flush=True)
    while all(p.poll() is None for p in children):
        time.sleep(0.5)
    print('the simulated BlueZ or its bus ended', file=sys.stderr)
    stop()


def setup(bus, args):
    root = bus.get_object('org.bluez', '/')
    root.AddTemplate(os.path.join(HERE, 'templates', 'sarnavel_bluez.py'), dbus.Dictionary({}, signature='sv'),
                     dbus_interface='org.freedesktop.DBus.Mock')
    m = dbus.Interface(root, 'org.bluez.Mock')
    if not args.no_adapter:
        options = {'Address': '00:1A:7D:DA:71:13', 'Discoverable': False}
        if not args.old_bluez:
            options['Connectable'] = True
        m.AddAdapterEx('hci0', 'sarnavel-demo', sv(options))
        # remembered from an earlier day, not around now
        m.AddDeviceEx('hci0', '00:21:3C:11:22:33', sv({'Name': 'Old laptop', 'Class': dbus.UInt32(0x5A010C)}))
        # around: found by a search
        m.AddNearbyDevice('hci0', '88:C9:E8:4A:10:01',
                          sv({'Name': 'Torvane phone', 'Class': dbus.UInt32(0x5A020C), 'DelayMs': dbus.UInt32(600)}))
        m.AddNearbyDevice('hci0', '00:1B:66:0A:44:02',
                          sv({'Name': 'Headset', 'Class': dbus.UInt32(0x240404), 'DelayMs': dbus.UInt32(1200)}))
        m.AddNearbyDevice('hci0', '5C:F3:70:00:AB:03', sv({'DelayMs': dbus.UInt32(1800)}))  # nameless, no class
        m.AddNearbyDevice('hci0', 'F0:00:00:00:00:04',
                          sv({'Name': 'Odd class', 'Class': dbus.UInt32(0x8000020C), 'DelayMs': dbus.UInt32(2400)}))


if __name__ == '__main__':
    main()
