'''bluetoothd as a BLE central sees it, built from a scenario on dbusmock's bluez5 template.

The scenario is a dict (see daemon.py for the file form):

  adapters: [{name: "hci0", address: "AA:BB:CC:DD:EE:FF", powered: true, powered_after: s,
              appears_after: s}]
            (an adapter that appears later is announced powered, as bluez5's AddAdapter does;
             the address defaults to bluez5's: 00:01:02:03:04:05 for hci0, 01:02:... for hci1)
  devices:  [{adapter: "hci0", address: "C0:FF:EE:00:00:01",
              name: "Norvel4 TEST"            (omit: no Name property; a number: a Name of the wrong type)
              alias: "..."                    (default: the name, else the address)
              gap_name: "..."                 (the GAP Device Name: Name and Alias once resolved)
              known: false                    (in the tree before any discovery, connected before:
                                               its GATT objects are served from the cache)
              connected: false                (connected and resolved before the run)
              sighting: "added"|"rssi"|"none" (what a discovery shows of it)
              sighted_name: "..."             (a known device's sighting also changes its Name)
              sighted_by: "hci0"              (whose StartDiscovery sights it; default its own)
              sighted_after: 0.1              (seconds after StartDiscovery)
              connect: "ok"|"hang"|[error name, message]
              connected_signal: false         (bluetoothd never signalled it for a client's Connect)
              resolve: "normal"|"signals_late"|"never"
              gatt: [{uuid, characteristics: [{uuid, value: "hex"} | {uuid, error: [name, msg]}
                                             | {uuid, text: "..."} (ReadValue answers a string)]}]}]
  delayed:  {member: s}  Connect and ReadValue are answered that much later than usual
  crowd:    {count: N}   N more known devices "Device N" on hci0 (00:00:xx:xx:xx:xx)
  storm:    {rate: per s, seconds: s}  RSSI PropertiesChanged of the crowd's devices, from
            StartDiscovery on (bluetoothd relays every advertisement of a busy place)

Timings follow what bluetoothd 5.66 was seen to do: Connect replies before the
services are resolved, and ServicesResolved can come before the GATT objects'
InterfacesAdded ("signals_late"), although GetManagedObjects already holds them.
A known device's GATT objects stay exported while it is disconnected, and its
ServicesResolved follows the Connect reply within milliseconds, with no
InterfacesAdded. Disconnect drops the link only after about 2 s; a Disconnect
while a Connect is pending fails that Connect.
'''

import time

import dbus
import dbus.lowlevel
from dbusmock import OBJECT_MANAGER_IFACE, mockobject
from dbusmock.templates import bluez5
from gi.repository import GLib

ADAPTER_IFACE = 'org.bluez.Adapter1'
DEVICE_IFACE = 'org.bluez.Device1'
SERVICE_IFACE = 'org.bluez.GattService1'
CHARACTERISTIC_IFACE = 'org.bluez.GattCharacteristic1'
ERROR_FAILED = 'org.bluez.Error.Failed'

CONNECT_REPLY_DELAY = 0.05
SERVICES_RESOLVED_DELAY = 0.3
CACHED_SERVICES_RESOLVED_DELAY = 0.005
LATE_SIGNALS_DELAY = 0.2
GAP_NAME_DELAY = 0.05
DISCONNECT_DELAY = 2.0
SIGHTED_RSSI = -58


def later(seconds, action):
    def fire():
        action()
        return False
    GLib.timeout_add(int(seconds * 1000), fire)


def variant(value):
    if isinstance(value, bool):
        return dbus.Boolean(value, variant_level=1)
    if isinstance(value, str):
        return dbus.String(value, variant_level=1)
    return value


def changed(obj, interface, name, value):
    '''Sets a property and signals it, as bluetoothd does (the property may be new, like RSSI).'''
    changed_together(obj, interface, {name: value})


def changed_together(obj, interface, values):
    '''Sets several properties and signals them in one PropertiesChanged.'''
    obj.props[interface].update(values)
    obj.EmitSignal(dbus.PROPERTIES_IFACE, 'PropertiesChanged', 'sa{sv}as',
                   [interface, dbus.Dictionary(values, signature='sv'), dbus.Array([], signature='s')])


def failure(error):
    name, text = error
    return dbus.exceptions.DBusException(text, name=name)


def manager():
    return mockobject.objects['/']


def emit_added(path):
    obj = mockobject.objects[path]
    manager().EmitSignal(OBJECT_MANAGER_IFACE, 'InterfacesAdded', 'oa{sa{sv}}',
                         [dbus.ObjectPath(path), obj.props])


def list_standard_interfaces(obj):
    '''bluetoothd lists these two, without properties, for every object it exports.'''
    obj.props.setdefault('org.freedesktop.DBus.Introspectable', {})
    obj.props.setdefault(dbus.PROPERTIES_IFACE, {})


def export(path, interface, props, methods=()):
    '''Puts an object in the tree (GetManagedObjects sees it) without any signal.'''
    manager().AddObject(path, interface, props, [])
    obj = mockobject.objects[path]
    list_standard_interfaces(obj)
    for method in methods:
        obj.methods.setdefault(method._dbus_interface, {})[method.__name__] = (
            method._dbus_in_signature, method._dbus_out_signature, method, method)
    return obj


def async_method(interface, in_signature='', out_signature=''):
    return dbus.service.method(interface, in_signature=in_signature, out_signature=out_signature,
                               async_callbacks=('reply', 'fail'))


@async_method(ADAPTER_IFACE, 'a{sv}')
def SetDiscoveryFilter(obj, discovery_filter, reply, fail):  # pylint: disable=unused-argument
    reply()


@async_method(ADAPTER_IFACE)
def StartDiscovery(obj, reply, fail):
    obj.model.start_discovery(reply, fail)


@async_method(ADAPTER_IFACE)
def StopDiscovery(obj, reply, fail):
    obj.model.stop_discovery(reply, fail)


@async_method(DEVICE_IFACE)
def Connect(obj, reply, fail):
    obj.model.connect(reply, fail)


@async_method(DEVICE_IFACE)
def Disconnect(obj, reply, fail):  # pylint: disable=unused-argument
    obj.model.disconnect(reply)


@async_method(CHARACTERISTIC_IFACE, 'a{sv}', 'ay')
def ReadValue(obj, options, reply, fail):  # pylint: disable=unused-argument
    obj.model.read(reply, fail)


@async_method(CHARACTERISTIC_IFACE, 'a{sv}', 's')
def ReadValueAsText(obj, options, reply, fail):  # pylint: disable=unused-argument
    reply(obj.model.config['text'])


ReadValueAsText.__name__ = 'ReadValue'


class Adapter:
    def __init__(self, bluez, config):
        self.bluez = bluez
        self.name = config['name']
        self.path = '/org/bluez/' + self.name
        self.powered = config.get('powered', True)
        self.address = config.get('address')
        self.discovering = False
        self.obj = None

    def export(self, announce):
        bluez5.AddAdapter(manager(), self.name, 'mock-host')
        self.obj = mockobject.objects[self.path]
        self.obj.model = self
        self.obj.props[ADAPTER_IFACE]['Powered'] = variant(self.powered)
        if self.address:
            self.obj.props[ADAPTER_IFACE]['Address'] = variant(self.address)
        list_standard_interfaces(self.obj)
        for method in (SetDiscoveryFilter, StartDiscovery, StopDiscovery):
            self.obj.methods[ADAPTER_IFACE][method.__name__] = (
                method._dbus_in_signature, method._dbus_out_signature, method, method)
        if announce:
            self.bluez.notes.note('adapter-added', path=self.path)

    def power_on(self):
        self.powered = True
        changed(self.obj, ADAPTER_IFACE, 'Powered', variant(True))
        self.bluez.notes.note('powered-on', path=self.path)

    def start_discovery(self, reply, fail):
        if not self.powered:
            fail(failure(['org.bluez.Error.NotReady', 'Resource Not Ready']))
            return
        self.discovering = True
        changed(self.obj, ADAPTER_IFACE, 'Discovering', variant(True))
        reply()
        for device in self.bluez.devices:
            if device.sighted_by == self.name:
                later(device.config.get('sighted_after', 0.1), device.sighted)
        self.bluez.start_storm()

    def stop_discovery(self, reply, fail):
        if not self.discovering:
            fail(failure([ERROR_FAILED, 'No discovery started']))
            return
        self.discovering = False
        changed(self.obj, ADAPTER_IFACE, 'Discovering', variant(False))
        reply()


class Characteristic:
    def __init__(self, device, config):
        self.device = device
        self.config = config

    def read(self, reply, fail):
        if not self.device.connected:
            fail(failure([ERROR_FAILED, 'Not connected']))
            return
        self.device.bluez.answer('ReadValue', lambda: self.answer_read(reply, fail))

    def answer_read(self, reply, fail):
        # bluetoothd's own read of the GAP name is queued first on the bearer, so it is answered first.
        self.device.gap_name_read()
        if 'error' in self.config:
            fail(failure(self.config['error']))
        else:
            value = dbus.Array(bytes.fromhex(self.config['value']), signature='y')
            changed(self.obj, CHARACTERISTIC_IFACE, 'Value', value)
            reply(value)


class Device:
    def __init__(self, bluez, config):
        self.bluez = bluez
        self.config = config
        self.adapter_path = '/org/bluez/' + config['adapter']
        self.path = self.adapter_path + '/dev_' + config['address'].replace(':', '_').upper()
        self.sighted_by = config.get('sighted_by', config['adapter'])
        self.connected = config.get('connected', False)
        self.pending_connect = None
        self.gap_name_pending = False
        self.exported = False
        self.gatt_paths = []
        self.obj = None

    def properties(self, rssi):
        config = self.config
        name = config.get('name')
        alias = config.get('alias', name if isinstance(name, str) else config['address'].replace(':', '-'))
        props = {
            'Address': variant(config['address']),
            'AddressType': variant('public'),
            'Alias': variant(alias),
            'Paired': variant(False),
            'Bonded': variant(False),
            'Trusted': variant(False),
            'Blocked': variant(False),
            'LegacyPairing': variant(False),
            'Connected': variant(self.connected),
            'ServicesResolved': variant(self.connected),
            'UUIDs': dbus.Array(['0000fce0-0000-1000-8000-00805f9b34fb'], signature='s', variant_level=1),
            'Adapter': dbus.ObjectPath(self.adapter_path, variant_level=1),
        }
        if name is not None:
            props['Name'] = variant(name)
        if rssi is not None:
            props['RSSI'] = dbus.Int16(rssi, variant_level=1)
        return props

    def export(self, rssi=None, announce=False):
        self.obj = export(self.path, DEVICE_IFACE, self.properties(rssi), (Connect, Disconnect))
        self.obj.model = self
        self.exported = True
        if announce:
            emit_added(self.path)
        if self.connected or self.config.get('known', False):
            self.export_gatt()

    def sighted(self):
        if not self.bluez.adapters[self.sighted_by].discovering:
            return
        sighting = self.config.get('sighting', 'added')
        if not self.exported:
            self.export(rssi=SIGHTED_RSSI, announce=True)
        elif 'sighted_name' in self.config:
            changed_together(self.obj, DEVICE_IFACE, {'Name': variant(self.config['sighted_name']),
                                                      'RSSI': dbus.Int16(SIGHTED_RSSI, variant_level=1)})
        elif sighting == 'rssi':
            changed(self.obj, DEVICE_IFACE, 'RSSI', dbus.Int16(SIGHTED_RSSI, variant_level=1))
        else:
            return
        self.bluez.notes.note('sighted', path=self.path)

    def connect(self, reply, fail):
        outcome = self.config.get('connect', 'ok')
        if self.connected:
            reply()
        elif self.pending_connect:
            fail(failure([ERROR_FAILED, 'Operation already in progress']))
        elif outcome == 'hang':
            self.pending_connect = fail
        elif outcome == 'ok':
            self.pending_connect = fail
            later(CONNECT_REPLY_DELAY,
                  lambda: self.bluez.answer('Connect', lambda: self.connection_made(reply)))
        else:
            later(CONNECT_REPLY_DELAY, lambda: fail(failure(outcome)))

    def connection_made(self, reply):
        if not self.pending_connect:
            return
        self.pending_connect = None
        self.connected = True
        self.obj.props[DEVICE_IFACE]['Connected'] = variant(True)
        reply()
        if self.config.get('connected_signal', False):
            changed(self.obj, DEVICE_IFACE, 'Connected', variant(True))
        later(CACHED_SERVICES_RESOLVED_DELAY if self.gatt_paths else SERVICES_RESOLVED_DELAY,
              self.resolve_services)

    def resolve_services(self):
        resolve = self.config.get('resolve', 'normal')
        if resolve == 'never' or not self.connected:
            return
        discovered = not self.gatt_paths
        if discovered:
            self.export_gatt()
        if discovered and resolve == 'normal':
            self.announce_gatt()
        changed(self.obj, DEVICE_IFACE, 'ServicesResolved', variant(True))
        self.bluez.notes.note('services-resolved', path=self.path)
        if discovered and resolve == 'signals_late':
            later(LATE_SIGNALS_DELAY, self.announce_gatt)
        if 'gap_name' in self.config:
            self.gap_name_pending = True
            later(GAP_NAME_DELAY, self.gap_name_read)

    def gap_name_read(self):
        '''bluetoothd reads the GAP Device Name once connected and takes it as Name and Alias.'''
        if not self.gap_name_pending or not self.connected:
            return
        self.gap_name_pending = False
        name = variant(self.config['gap_name'])
        changed_together(self.obj, DEVICE_IFACE, {'Name': name, 'Alias': name})

    def export_gatt(self):
        handle = 0x000a
        for service in self.config.get('gatt', []):
            service_path = f'{self.path}/service{handle:04x}'
            export(service_path, SERVICE_IFACE, {
                'UUID': variant(service['uuid']),
                'Device': dbus.ObjectPath(self.path, variant_level=1),
                'Primary': variant(True),
                'Includes': dbus.Array([], signature='o', variant_level=1),
            })
            self.gatt_paths.append(service_path)
            for characteristic_config in service.get('characteristics', []):
                handle += 1
                path = f'{service_path}/char{handle:04x}'
                characteristic = Characteristic(self, characteristic_config)
                characteristic.obj = export(path, CHARACTERISTIC_IFACE, {
                    'UUID': variant(characteristic_config['uuid']),
                    'Service': dbus.ObjectPath(service_path, variant_level=1),
                    'Value': dbus.Array([], signature='y', variant_level=1),
                    'Flags': dbus.Array(['read'], signature='s', variant_level=1),
                }, (ReadValueAsText if 'text' in characteristic_config else ReadValue,))
                characteristic.obj.model = characteristic
                self.gatt_paths.append(path)
                handle += 2
            handle += 1

    def announce_gatt(self):
        for path in self.gatt_paths:
            emit_added(path)

    def disconnect(self, reply):
        if self.pending_connect:
            self.pending_connect(failure([ERROR_FAILED, 'br-connection-canceled']))
            self.pending_connect = None
        if not self.connected:
            reply()
            return
        self.connected = False

        def disconnected():
            changed_together(self.obj, DEVICE_IFACE,
                             {'ServicesResolved': variant(False), 'Connected': variant(False)})
            reply()
        later(DISCONNECT_DELAY, disconnected)


class EmulatedBluez:
    '''Adapters, devices and GATT objects of one scenario, driven by the GLib main loop.'''

    def __init__(self, main_object, scenario, notes):
        self.notes = notes
        self.connection = main_object.connection
        self.delays = scenario.get('delayed', {})
        self.storm = scenario.get('storm')
        mockobject.objects['/'] = main_object
        main_object.AddTemplate('bluez5', {})
        self.adapters = {config['name']: Adapter(self, config) for config in scenario.get('adapters', [])}
        self.crowd = [Device(self, crowd_member(number)) for number in range(scenario.get('crowd', {}).get('count', 0))]
        self.devices = self.crowd + [Device(self, config) for config in scenario.get('devices', [])]
        for config in scenario.get('adapters', []):
            adapter = self.adapters[config['name']]
            if 'appears_after' in config:
                later(config['appears_after'], lambda adapter=adapter: adapter.export(announce=True))
            else:
                adapter.export(announce=False)
            if 'powered_after' in config:
                later(config['powered_after'], adapter.power_on)
        for device in self.devices:
            if device.config.get('known', False) or device.connected:
                device.export()

    def answer(self, member, action):
        if member in self.delays:
            later(self.delays[member], action)
        else:
            action()

    def start_storm(self):
        if not self.storm or not self.crowd:
            return
        storm, self.storm = self.storm, None
        tick = 0.01
        started = time.monotonic()
        sent = 0
        noted = 0

        def burst():
            nonlocal sent, noted
            elapsed = time.monotonic() - started
            if int(elapsed) > noted or elapsed >= storm['seconds']:
                noted = int(elapsed)
                self.notes.note('storm', signals=sent, seconds=round(elapsed, 3))
            if elapsed >= storm['seconds']:
                return False
            while sent < storm['rate'] * elapsed:
                device = self.crowd[sent % len(self.crowd)]
                rssi = dbus.Int16(-40 - sent % 50, variant_level=1)
                # Sent directly, not through the mock's per-signal logging, to reach a realistic rate.
                signal = dbus.lowlevel.SignalMessage(device.path, dbus.PROPERTIES_IFACE, 'PropertiesChanged')
                signal.append(DEVICE_IFACE, dbus.Dictionary({'RSSI': rssi}, signature='sv'),
                              dbus.Array([], signature='s'), signature='sa{sv}as')
                self.connection.send_message(signal)
                sent += 1
            return True
        GLib.timeout_add(int(tick * 1000), burst)


def crowd_member(number):
    return {'adapter': 'hci0', 'address': f'00:00:00:00:{number >> 8:02X}:{number & 0xFF:02X}',
            'name': f'Device {number}', 'known': True, 'sighting': 'none', 'gatt': []}
