'''Tethering additions to the simulated BlueZ (load on top of bluez5 with
AddTemplate).

On /org/bluez, interface org.bluez.ProfileManager1:

  RegisterProfile(o profile, s uuid, a{sv} options)
  UnregisterProfile(o profile)

On / (org.bluez.Mock):

  GetProfiles() -> a(ssoa{sv})           registered profiles: sender, uuid,
                                         path, options
  SetRegisterProfileError(s error)       RegisterProfile fails with it
                                         ('' clears)
  NewProfileConnection(s uuid, o device) -> s path
                                         makes a socket pair, calls the
                                         profile's Profile1.NewConnection
                                         (device, fd, {}) with one end, and
                                         hands the other end once to whoever
                                         connects to the returned Unix socket
                                         path (SCM_RIGHTS, one data byte 'F').
'''

import os
import socket
import tempfile

import dbus
from gi.repository import GLib

from dbusmock import mockobject

MOCK_IFACE = 'org.bluez.Mock'
PROFILE_MANAGER_IFACE = 'org.bluez.ProfileManager1'
PROFILE_IFACE = 'org.bluez.Profile1'


def _error(name, text):
    return dbus.exceptions.DBusException(text, name=name)


def _bluez():
    return mockobject.objects['/org/bluez']


@dbus.service.method(PROFILE_MANAGER_IFACE, in_signature='osa{sv}', out_signature='', sender_keyword='sender')
def _register_profile(manager, path, uuid, options, sender=None):
    manager.log(f'RegisterProfile {path} {uuid} from {sender}')
    if manager.sar_profile_error:
        raise _error(manager.sar_profile_error, 'Simulated RegisterProfile failure')
    for (s, p) in manager.sar_profiles:
        if s == sender and p == str(path):
            raise _error('org.bluez.Error.AlreadyExists', 'Already Exists')
    role = str(options.get('Role', ''))
    if role not in ('', 'client', 'server'):
        raise _error('org.bluez.Error.InvalidArguments', 'Invalid arguments in method call')
    manager.sar_profiles[(sender, str(path))] = (str(uuid).lower(), dict(options))


@dbus.service.method(PROFILE_MANAGER_IFACE, in_signature='o', out_signature='', sender_keyword='sender')
def _unregister_profile(manager, path, sender=None):
    manager.log(f'UnregisterProfile {path} from {sender}')
    if manager.sar_profiles.pop((sender, str(path)), None) is None:
        raise _error('org.bluez.Error.DoesNotExist', 'Does Not Exist')


@dbus.service.method(MOCK_IFACE, in_signature='', out_signature='a(ssoa{sv})')
def GetProfiles(self):
    manager = _bluez()
    return dbus.Array([(s, u, dbus.ObjectPath(p), dbus.Dictionary(o, signature='sv'))
                       for (s, p), (u, o) in manager.sar_profiles.items()], signature='(ssoa{sv})')


@dbus.service.method(MOCK_IFACE, in_signature='s', out_signature='')
def SetRegisterProfileError(self, error):
    _bluez().sar_profile_error = str(error)


@dbus.service.method(MOCK_IFACE, in_signature='so', out_signature='s')
def NewProfileConnection(self, uuid, device):
    manager = _bluez()
    target = None
    for (s, p), (u, _o) in manager.sar_profiles.items():
        if u == str(uuid).lower():
            target = (s, p)
    if target is None:
        raise _error('org.bluez.Error.DoesNotExist', f'No profile registered for {uuid}')

    ours, theirs = socket.socketpair(socket.AF_UNIX, socket.SOCK_STREAM)
    folder = tempfile.mkdtemp(prefix='sarnavel-rfcomm-')
    path = os.path.join(folder, 'connection.sock')
    listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    listener.bind(path)
    listener.listen(1)

    def cleanup():
        for s in (listener, theirs):
            try:
                s.close()
            except OSError:
                pass
        try:
            os.unlink(path)
            os.rmdir(folder)
        except OSError:
            pass

    def hand_over(_source, _condition):
        try:
            conn, _ = listener.accept()
            socket.send_fds(conn, [b'F'], [theirs.fileno()])
            conn.close()
        finally:
            cleanup()
        return False

    GLib.io_add_watch(listener.fileno(), GLib.IO_IN, hand_over)
    # Nobody came for it: do not keep the pair forever.
    GLib.timeout_add_seconds(30, lambda: (cleanup(), False)[1])

    def on_reply(*_args):
        manager.log(f'NewConnection {device} accepted by {target[0]}')

    def on_error(e):
        manager.log(f'NewConnection {device} failed: {e}')

    manager.connection.call_async(target[0], target[1], PROFILE_IFACE, 'NewConnection', 'oha{sv}',
                                  [dbus.ObjectPath(device), dbus.types.UnixFd(ours.fileno()),
                                   dbus.Dictionary({}, signature='sv')],
                                  reply_handler=on_reply, error_handler=on_error, timeout=10.0)
    ours.close()  # the message holds its own copy
    return path


def load(mock, _parameters):
    manager = _bluez()
    manager.sar_profiles = {}
    manager.sar_profile_error = ''
    manager.methods.setdefault(PROFILE_MANAGER_IFACE, {})
    manager.methods[PROFILE_MANAGER_IFACE]['RegisterProfile'] = ('osa{sv}', '', '', _register_profile)
    manager.methods[PROFILE_MANAGER_IFACE]['UnregisterProfile'] = ('o', '', '', _unregister_profile)
