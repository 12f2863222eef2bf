'''Additions to python-dbusmock's bluez5 template for Sarnavel Server's tests.

Loaded with AddTemplate on top of bluez5. Everything is driven through extra
methods on org.bluez.Mock (object /):

  AddAdapterEx(hci, alias, options)      adapter; options: Address (s),
                                         Connectable (b, the property exists
                                         only when given), Powered (b),
                                         Discoverable (b), DiscoverableTimeout (u)
  AddDeviceEx(hci, address, options)     a device BlueZ already knows; options:
                                         Name (s, absent = nameless), Class (u,
                                         absent = no Class), Paired (b), RSSI (n)
  AddNearbyDevice(hci, address, options) a device that shows up while a
                                         discovery runs (same options, plus
                                         DelayMs (u))
  AddNearbyDevices(hci, count, first)    count nameless-free devices at once
                                         (10:00:00:xx:xx:xx), for benchmarks
  FailProperty(path, iface, prop, error, which)
                                         which = get|set|both; error '' clears
  SetDiscoveryError(hci, error)          StartDiscovery fails with it ('' clears)
  SetPairBehaviour(device, mode, options)
                                         mode: confirm (default; asks the
                                         caller's agent RequestConfirmation),
                                         pin, passkey, notify, justworks,
                                         error (options ErrorName), hang;
                                         options Passkey (u), DelayMs (u,
                                         before the agent is asked or the
                                         answer comes)
  GetPairingLog(device) -> a{sv}         Method and Answer of the last agent call
  GetAgents() -> a(sos)                  registered agents: sender, path, capability
'''

import dbus
import dbus.service
from gi.repository import GLib

from dbusmock import OBJECT_MANAGER_IFACE, mockobject

BUS_NAME = 'org.bluez'
MAIN_OBJ = '/'
SYSTEM_BUS = True
IS_OBJECT_MANAGER = True

MOCK_IFACE = 'org.bluez.Mock'
AGENT_MANAGER_IFACE = 'org.bluez.AgentManager1'
ADAPTER_IFACE = 'org.bluez.Adapter1'
DEVICE_IFACE = 'org.bluez.Device1'
AGENT_IFACE = 'org.bluez.Agent1'
PROPS = dbus.PROPERTIES_IFACE

READ_ONLY = {
    ADAPTER_IFACE: {'Address', 'AddressType', 'Name', 'Class', 'Discovering', 'UUIDs', 'Modalias', 'Roles'},
    DEVICE_IFACE: {'Address', 'AddressType', 'Name', 'Class', 'Paired', 'Bonded', 'Connected', 'RSSI', 'UUIDs',
                   'Adapter', 'LegacyPairing', 'Icon', 'Appearance', 'ServicesResolved', 'Modalias'},
}


def _error(name, text=None):
    return dbus.exceptions.DBusException(text or ('Simulated ' + name.split('.')[-1]), name=name)


def _emit_changed(obj, iface, changes):
    obj.EmitSignal(PROPS, 'PropertiesChanged', 'sa{sv}as', [
        iface, dbus.Dictionary(changes, signature='sv'), dbus.Array([], signature='s')])


def _manager():
    return mockobject.objects['/']


# --- Properties with simulated failures -------------------------------------

@dbus.service.method(PROPS, in_signature='ss', out_signature='v')
def _prop_get(obj, iface, name):
    err = obj.sar_fail.get((str(iface), str(name), 'get'))
    if err:
        raise _error(err, f'Simulated failure reading {name}')
    if not iface:
        iface = obj.interface
    try:
        return obj.props[iface][name]
    except KeyError as e:
        raise _error('org.freedesktop.DBus.Error.InvalidArgs', f"No such property '{name}'") from e


@dbus.service.method(PROPS, in_signature='s', out_signature='a{sv}')
def _prop_get_all(obj, iface):
    if not iface:
        iface = obj.interface
    if iface not in obj.props:
        raise _error('org.freedesktop.DBus.Error.InvalidArgs', f'No such interface {iface}')
    return dbus.Dictionary({k: v for k, v in obj.props[iface].items()
                            if (str(iface), str(k), 'get') not in obj.sar_fail}, signature='sv')


@dbus.service.method(PROPS, in_signature='ssv', out_signature='')
def _prop_set(obj, iface, name, value):
    iface = str(iface)
    name = str(name)
    err = obj.sar_fail.get((iface, name, 'set'))
    if err:
        raise _error(err, f'Simulated failure setting {name}')
    props = obj.props.get(iface)
    if props is None or name not in props:
        raise _error('org.freedesktop.DBus.Error.InvalidArgs', f"No such property '{name}'")
    if name in READ_ONLY.get(iface, ()):
        raise _error('org.freedesktop.DBus.Error.PropertyReadOnly', f"Property '{name}' is not writable")
    if iface == ADAPTER_IFACE:
        _adapter_set(obj, name, value)
    else:
        props[name] = value
        _emit_changed(obj, iface, {name: value})


def _adapter_set(adapter, name, value):
    props = adapter.props[ADAPTER_IFACE]
    if name in ('Powered', 'Discoverable', 'Connectable', 'Pairable'):
        if not isinstance(value, dbus.Boolean):
            raise _error('org.freedesktop.DBus.Error.InvalidArgs', 'Invalid arguments in method call')
        value = dbus.Boolean(bool(value), variant_level=1)
    elif name in ('DiscoverableTimeout', 'PairableTimeout'):
        if not isinstance(value, dbus.UInt32):
            raise _error('org.freedesktop.DBus.Error.InvalidArgs', 'Invalid arguments in method call')
        value = dbus.UInt32(int(value), variant_level=1)
    changes = {name: value}
    if name == 'Discoverable' and value and not props['Powered']:
        raise _error('org.bluez.Error.NotReady', 'Resource Not Ready')
    if name == 'Connectable' and not value and props['Discoverable']:
        # switching connectable off also ends discoverable
        changes['Discoverable'] = dbus.Boolean(False, variant_level=1)
    if name == 'Powered' and not value:
        changes['Discoverable'] = dbus.Boolean(False, variant_level=1)
        changes['Discovering'] = dbus.Boolean(False, variant_level=1)
    for k, v in changes.items():
        props[k] = v
    _emit_changed(adapter, ADAPTER_IFACE, changes)
    _arm_discoverable_timer(adapter)


def _arm_discoverable_timer(adapter):
    '''Like bluetoothd: discoverable ends by itself after DiscoverableTimeout s.'''
    if adapter.sar_disc_timer:
        GLib.source_remove(adapter.sar_disc_timer)
        adapter.sar_disc_timer = 0
    props = adapter.props[ADAPTER_IFACE]
    timeout = int(props['DiscoverableTimeout'])
    if props['Discoverable'] and timeout > 0:
        def expire():
            adapter.sar_disc_timer = 0
            props['Discoverable'] = dbus.Boolean(False, variant_level=1)
            _emit_changed(adapter, ADAPTER_IFACE, {'Discoverable': props['Discoverable']})
            return False
        adapter.sar_disc_timer = GLib.timeout_add(timeout * 1000, expire)


def _make_failable(obj):
    obj.sar_fail = {}
    obj.methods.setdefault(PROPS, {})
    obj.methods[PROPS]['Get'] = ('ss', 'v', '', _prop_get)
    obj.methods[PROPS]['GetAll'] = ('s', 'a{sv}', '', _prop_get_all)
    obj.methods[PROPS]['Set'] = ('ssv', '', '', _prop_set)


# --- Adapter -------------------------------------------------------------------

def _adapter(hci):
    path = '/org/bluez/' + hci
    if path not in mockobject.objects:
        raise _error('org.bluez.Mock.NoSuchAdapter', f'Adapter {hci} does not exist.')
    return mockobject.objects[path]


def _device_path(hci, address):
    return f'/org/bluez/{hci}/dev_' + address.upper().replace(':', '_')


@dbus.service.method(ADAPTER_IFACE, in_signature='', out_signature='', sender_keyword='sender')
def _start_discovery(adapter, sender=None):
    props = adapter.props[ADAPTER_IFACE]
    if adapter.sar_discovery_error:
        raise _error(adapter.sar_discovery_error)
    if not props['Powered']:
        raise _error('org.bluez.Error.NotReady', 'Resource Not Ready')
    if sender in adapter.sar_discovery_clients:
        raise _error('org.bluez.Error.InProgress', 'Operation already in progress')
    adapter.sar_discovery_clients.add(sender)
    if sender and sender not in adapter.sar_client_watches:
        # like bluetoothd: a client leaving the bus ends its discovery
        def owner_changed(owner, adapter=adapter, sender=sender):
            if not owner and sender in adapter.sar_discovery_clients:
                _stop_discovery(adapter, sender=sender)
        adapter.sar_client_watches[sender] = adapter.connection.watch_name_owner(sender, owner_changed)
    if not props['Discovering']:
        props['Discovering'] = dbus.Boolean(True, variant_level=1)
        _emit_changed(adapter, ADAPTER_IFACE, {'Discovering': props['Discovering']})
    generation = adapter.sar_generation = adapter.sar_generation + 1
    for entry in list(adapter.sar_nearby):
        GLib.timeout_add(int(entry['DelayMs']), _appear, adapter, entry, generation)


def _appear(adapter, entry, generation):
    if adapter.sar_generation != generation or not adapter.props[ADAPTER_IFACE]['Discovering']:
        return False
    path = _device_path(adapter.sar_hci, entry['Address'])
    if path in mockobject.objects:
        dev = mockobject.objects[path]
        rssi = dbus.Int16(-40 - (generation % 30), variant_level=1)
        dev.props[DEVICE_IFACE]['RSSI'] = rssi
        _emit_changed(dev, DEVICE_IFACE, {'RSSI': rssi})
    else:
        _create_device(adapter.sar_hci, entry['Address'], entry)
    return False


@dbus.service.method(ADAPTER_IFACE, in_signature='', out_signature='', sender_keyword='sender')
def _stop_discovery(adapter, sender=None):
    if sender not in adapter.sar_discovery_clients:
        raise _error('org.bluez.Error.Failed', 'No discovery started')
    adapter.sar_discovery_clients.discard(sender)
    props = adapter.props[ADAPTER_IFACE]
    if not adapter.sar_discovery_clients and props['Discovering']:
        props['Discovering'] = dbus.Boolean(False, variant_level=1)
        _emit_changed(adapter, ADAPTER_IFACE, {'Discovering': props['Discovering']})


@dbus.service.method(ADAPTER_IFACE, in_signature='o', out_signature='')
def _remove_device(adapter, path):
    path = str(path)
    if path not in mockobject.objects or not path.startswith(adapter.path + '/'):
        raise _error('org.bluez.Error.DoesNotExist', 'Does Not Exist')
    adapter.RemoveObject(path)
    _manager().EmitSignal(OBJECT_MANAGER_IFACE, 'InterfacesRemoved', 'oas', [
        dbus.ObjectPath(path), dbus.Array([DEVICE_IFACE], signature='s')])


@dbus.service.method(MOCK_IFACE, in_signature='ssa{sv}', out_signature='o')
def AddAdapterEx(self, hci, alias, options):
    path = '/org/bluez/' + hci
    if path in mockobject.objects:
        raise _error('org.bluez.Mock.AdapterExists', f'Adapter {hci} exists')
    n = int(hci[3:]) if hci[3:].isdigit() else 0
    address = str(options.get('Address', f'00:1A:7D:DA:71:{n:02X}'))
    props = {
        'Address': dbus.String(address, variant_level=1),
        'AddressType': dbus.String('public', variant_level=1),
        'Name': dbus.String(alias, variant_level=1),
        'Alias': dbus.String(alias, variant_level=1),
        'Class': dbus.UInt32(0x7C010C, variant_level=1),
        'Powered': dbus.Boolean(bool(options.get('Powered', True)), variant_level=1),
        'Discoverable': dbus.Boolean(bool(options.get('Discoverable', False)), variant_level=1),
        'DiscoverableTimeout': dbus.UInt32(int(options.get('DiscoverableTimeout', 180)), variant_level=1),
        'Pairable': dbus.Boolean(True, variant_level=1),
        'PairableTimeout': dbus.UInt32(0, variant_level=1),
        'Discovering': dbus.Boolean(False, variant_level=1),
        'UUIDs': dbus.Array(['00001800-0000-1000-8000-00805f9b34fb'], signature='s', variant_level=1),
        'Modalias': dbus.String('usb:v1D6Bp0246d0542', variant_level=1),
        'Roles': dbus.Array(['central', 'peripheral'], signature='s', variant_level=1),
    }
    if 'Connectable' in options:
        props['Connectable'] = dbus.Boolean(bool(options['Connectable']), variant_level=1)
    self.AddObject(path, ADAPTER_IFACE, props, [])
    adapter = mockobject.objects[path]
    adapter.sar_hci = hci
    adapter.sar_nearby = []
    adapter.sar_generation = 0
    adapter.sar_discovery_error = ''
    adapter.sar_discovery_clients = set()
    adapter.sar_client_watches = {}
    adapter.sar_disc_timer = 0
    _make_failable(adapter)
    adapter.methods[ADAPTER_IFACE]['StartDiscovery'] = ('', '', '', _start_discovery)
    adapter.methods[ADAPTER_IFACE]['StopDiscovery'] = ('', '', '', _stop_discovery)
    adapter.methods[ADAPTER_IFACE]['RemoveDevice'] = ('o', '', '', _remove_device)
    adapter.AddMethods(ADAPTER_IFACE, [('SetDiscoveryFilter', 'a{sv}', '', '')])
    _manager().EmitSignal(OBJECT_MANAGER_IFACE, 'InterfacesAdded', 'oa{sa{sv}}', [
        dbus.ObjectPath(path), dbus.Dictionary({ADAPTER_IFACE: props}, signature='sa{sv}')])
    _arm_discoverable_timer(adapter)
    return dbus.ObjectPath(path)


# --- Devices ---------------------------------------------------------------------

def _create_device(hci, address, options):
    adapter = _adapter(hci)
    path = _device_path(hci, address)
    if path in mockobject.objects:
        raise _error('org.bluez.Mock.DeviceExists', f'Device {address} exists')
    props = {
        'Address': dbus.String(address.upper(), variant_level=1),
        'AddressType': dbus.String('public', variant_level=1),
        'Alias': dbus.String(str(options['Name']) if 'Name' in options else address.upper().replace(':', '-'),
                             variant_level=1),
        'Paired': dbus.Boolean(bool(options.get('Paired', False)), variant_level=1),
        'Bonded': dbus.Boolean(bool(options.get('Paired', False)), variant_level=1),
        'Trusted': dbus.Boolean(False, variant_level=1),
        'Blocked': dbus.Boolean(False, variant_level=1),
        'Connected': dbus.Boolean(False, variant_level=1),
        'LegacyPairing': dbus.Boolean(False, variant_level=1),
        'Adapter': dbus.ObjectPath(adapter.path, variant_level=1),
        'UUIDs': dbus.Array([], signature='s', variant_level=1),
        'ServicesResolved': dbus.Boolean(False, variant_level=1),
        'RSSI': dbus.Int16(int(options.get('RSSI', -60)), variant_level=1),
    }
    if 'Name' in options:
        props['Name'] = dbus.String(str(options['Name']), variant_level=1)
    if 'Class' in options:
        props['Class'] = dbus.UInt32(int(options['Class']), variant_level=1)
    adapter.AddObject(path, DEVICE_IFACE, props, [
        ('CancelPairing', '', '', ''),
        ('Connect', '', '', ''),
        ('Disconnect', '', '', ''),
    ])
    dev = mockobject.objects[path]
    _make_failable(dev)
    dev.sar_pair_mode = 'confirm'
    dev.sar_pair_options = {}
    dev.sar_pair_log = {}
    dev.methods[DEVICE_IFACE]['Pair'] = ('', '', '', _pair)
    _manager().EmitSignal(OBJECT_MANAGER_IFACE, 'InterfacesAdded', 'oa{sa{sv}}', [
        dbus.ObjectPath(path), dbus.Dictionary({DEVICE_IFACE: props}, signature='sa{sv}')])
    return dbus.ObjectPath(path)


def _options(options):
    return {str(k): v for k, v in options.items()}


@dbus.service.method(MOCK_IFACE, in_signature='ssa{sv}', out_signature='o')
def AddDeviceEx(self, hci, address, options):
    return _create_device(str(hci), str(address), _options(options))


@dbus.service.method(MOCK_IFACE, in_signature='ssa{sv}', out_signature='')
def AddNearbyDevice(self, hci, address, options):
    adapter = _adapter(str(hci))
    entry = _options(options)
    entry['Address'] = str(address).upper()
    entry.setdefault('DelayMs', 50 + 10 * len(adapter.sar_nearby))
    adapter.sar_nearby.append(entry)


@dbus.service.method(MOCK_IFACE, in_signature='suu', out_signature='')
def AddNearbyDevices(self, hci, count, first):
    adapter = _adapter(str(hci))
    for i in range(int(first), int(first) + int(count)):
        adapter.sar_nearby.append({
            'Address': f'10:00:00:{(i >> 16) & 0xFF:02X}:{(i >> 8) & 0xFF:02X}:{i & 0xFF:02X}',
            'Name': f'Device {i}', 'Class': 0x5A020C, 'DelayMs': 20})


@dbus.service.method(MOCK_IFACE, in_signature='ossss', out_signature='')
def FailProperty(self, path, iface, prop, error, which):
    obj = mockobject.objects.get(str(path))
    if obj is None or not hasattr(obj, 'sar_fail'):
        raise _error('org.bluez.Mock.NoSuchObject', f'{path} cannot fail properties')
    for w in (['get', 'set'] if which == 'both' else [str(which)]):
        key = (str(iface), str(prop), w)
        if error:
            obj.sar_fail[key] = str(error)
        else:
            obj.sar_fail.pop(key, None)


@dbus.service.method(MOCK_IFACE, in_signature='ss', out_signature='')
def SetDiscoveryError(self, hci, error):
    _adapter(str(hci)).sar_discovery_error = str(error)


@dbus.service.method(MOCK_IFACE, in_signature='osa{sv}', out_signature='')
def SetPairBehaviour(self, device, mode, options):
    dev = mockobject.objects.get(str(device))
    if dev is None or not hasattr(dev, 'sar_pair_mode'):
        raise _error('org.bluez.Mock.NoSuchDevice', f'{device} does not exist')
    dev.sar_pair_mode = str(mode)
    dev.sar_pair_options = _options(options)


@dbus.service.method(MOCK_IFACE, in_signature='o', out_signature='a{sv}')
def GetPairingLog(self, device):
    dev = mockobject.objects.get(str(device))
    if dev is None or not hasattr(dev, 'sar_pair_log'):
        raise _error('org.bluez.Mock.NoSuchDevice', f'{device} does not exist')
    return dbus.Dictionary(dev.sar_pair_log, signature='sv')


# --- Agents and pairing ----------------------------------------------------------

@dbus.service.method(AGENT_MANAGER_IFACE, in_signature='os', out_signature='', sender_keyword='sender')
def _register_agent(manager, path, capability, sender=None):
    if capability not in ('', 'DisplayOnly', 'DisplayYesNo', 'KeyboardOnly', 'NoInputNoOutput', 'KeyboardDisplay'):
        raise _error('org.bluez.Error.InvalidArguments', 'Invalid arguments in method call')
    if sender in manager.sar_agents:
        raise _error('org.bluez.Error.AlreadyExists', 'Already Exists')
    manager.sar_agents[sender] = (str(path), str(capability))


@dbus.service.method(AGENT_MANAGER_IFACE, in_signature='o', out_signature='', sender_keyword='sender')
def _unregister_agent(manager, path, sender=None):
    if manager.sar_agents.get(sender, ('',))[0] != str(path):
        raise _error('org.bluez.Error.DoesNotExist', 'Does Not Exist')
    del manager.sar_agents[sender]
    if manager.sar_default == sender:
        manager.sar_default = None


@dbus.service.method(AGENT_MANAGER_IFACE, in_signature='o', out_signature='', sender_keyword='sender')
def _request_default_agent(manager, path, sender=None):
    if manager.sar_agents.get(sender, ('',))[0] != str(path):
        raise _error('org.bluez.Error.DoesNotExist', 'Does Not Exist')
    manager.sar_default = sender


@dbus.service.method(MOCK_IFACE, in_signature='', out_signature='a(sos)')
def GetAgents(self):
    manager = mockobject.objects['/org/bluez']
    return dbus.Array([(s, dbus.ObjectPath(p), c) for s, (p, c) in manager.sar_agents.items()], signature='(sos)')


def _set_paired(dev):
    props = dev.props[DEVICE_IFACE]
    props['Paired'] = dbus.Boolean(True, variant_level=1)
    props['Bonded'] = dbus.Boolean(True, variant_level=1)
    _emit_changed(dev, DEVICE_IFACE, {'Paired': props['Paired'], 'Bonded': props['Bonded']})


@dbus.service.method(DEVICE_IFACE, in_signature='', out_signature='', sender_keyword='sender',
                     async_callbacks=('ok', 'err'))
def _pair(dev, sender=None, ok=None, err=None):
    dev.log(f'Pair {dev.path} from {sender} mode {dev.sar_pair_mode}')
    if dev.props[DEVICE_IFACE]['Paired']:
        err(_error('org.bluez.Error.AlreadyExists', 'Already Exists'))
        return
    if dev.sar_pair_busy:
        err(_error('org.bluez.Error.InProgress', 'In Progress'))
        return
    mode = dev.sar_pair_mode
    opts = dev.sar_pair_options
    delay = int(opts.get('DelayMs', 0))
    dev.sar_pair_log = {}

    def finish_error(name):
        dev.sar_pair_busy = False
        err(_error(name))

    def finish_ok():
        dev.sar_pair_busy = False
        _set_paired(dev)
        ok()

    if mode == 'hang':
        return  # never answers; the caller's timeout must end it
    if mode == 'error':
        GLib.timeout_add(delay, lambda: finish_error(str(opts.get('ErrorName', 'org.bluez.Error.Failed'))) and False)
        return
    if mode == 'justworks':
        GLib.timeout_add(delay, lambda: finish_ok() and False)
        return

    manager = mockobject.objects['/org/bluez']
    owner = sender if sender in manager.sar_agents else manager.sar_default
    if owner is None or owner not in manager.sar_agents:
        err(_error('org.bluez.Error.AuthenticationFailed', 'Authentication Failed'))
        return
    agent_path, _cap = manager.sar_agents[owner]
    passkey = dbus.UInt32(int(opts.get('Passkey', 123456)))
    if mode == 'pin':
        method, sig, args = 'RequestPinCode', 'o', (dbus.ObjectPath(dev.path),)
    elif mode == 'passkey':
        method, sig, args = 'RequestPasskey', 'o', (dbus.ObjectPath(dev.path),)
    elif mode == 'notify':
        method, sig, args = 'DisplayPasskey', 'ouq', (dbus.ObjectPath(dev.path), passkey, dbus.UInt16(0))
    else:
        method, sig, args = 'RequestConfirmation', 'ou', (dbus.ObjectPath(dev.path), passkey)
    dev.sar_pair_busy = True
    dev.sar_pair_log = {'Method': method}

    def on_reply(*answer):
        dev.sar_pair_log['Answer'] = str(answer[0]) if answer else 'ok'
        finish_ok()

    def on_error(e):
        name = e.get_dbus_name() or ''
        dev.sar_pair_log['Answer'] = name
        if name == 'org.bluez.Error.Rejected':
            finish_error('org.bluez.Error.AuthenticationRejected')
        elif name == 'org.bluez.Error.Canceled':
            finish_error('org.bluez.Error.AuthenticationCanceled')
        elif name == 'org.freedesktop.DBus.Error.NoReply':
            finish_error('org.bluez.Error.AuthenticationTimeout')
        else:
            finish_error('org.bluez.Error.AuthenticationFailed')

    def ask_agent():
        dev.connection.call_async(owner, agent_path, AGENT_IFACE, method, sig, args,
                                  reply_handler=on_reply, error_handler=on_error,
                                  timeout=float(opts.get('AgentTimeoutS', 20)))
        return False

    # DelayMs: the remote takes that long before the agent is asked
    if delay > 0:
        GLib.timeout_add(delay, ask_agent)
    else:
        ask_agent()


def load(mock, _parameters):
    manager = mockobject.objects['/org/bluez']
    manager.sar_agents = {}
    manager.sar_default = None
    manager.methods[AGENT_MANAGER_IFACE]['RegisterAgent'] = ('os', '', '', _register_agent)
    manager.methods[AGENT_MANAGER_IFACE]['UnregisterAgent'] = ('o', '', '', _unregister_agent)
    manager.methods[AGENT_MANAGER_IFACE]['RequestDefaultAgent'] = ('o', '', '', _request_default_agent)
    # Python-level default for devices made before this template or by bluez5's AddDevice
    mockobject.DBusMockObject.sar_pair_busy = False
