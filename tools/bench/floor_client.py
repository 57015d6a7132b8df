#!/usr/bin/python3
"""The floor of the real stack for a scripted client: the same D-Bus calls as norvel-read,
made with python3-dbus on a GLib loop and nothing else. Scans on hci0 for a device whose
name holds "Norvel", connects, waits for ServicesResolved, reads the detailed readings
characteristic, prints the record as JSON and disconnects without waiting."""
import json
import struct
import sys

import dbus
import dbus.mainloop.glib
from gi.repository import GLib

BLUEZ = 'org.bluez'
ADAPTER_PATH = '/org/bluez/hci0'
DEVICE = 'org.bluez.Device1'
CHARACTERISTIC = 'org.bluez.GattCharacteristic1'
DETAILED_UUID = 'f0cd3001-95da-4f4b-9ac8-aa55d312af0c'
STATUS = {1: 'GREEN', 2: 'YELLOW'}


def record(address, name, value):
    co2, temperature, pressure, humidity, battery, status, interval, age = \
        struct.unpack_from('<HHHBBBHH', value)
    return {
        'address': '00000000-0000-8000-8000-' + address.replace(':', ''),
        'name': name,
        'co2': co2,
        'temperature': '%.1f °C' % (temperature / 20.0),
        'humidity': '%d %%' % humidity,
        'pressure': '%.1f hPa' % (pressure / 10.0),
        'battery': '%d %%' % battery,
        'status': STATUS.get(status, 'RED'),
        'interval': interval,
        'age': age,
    }


def main():
    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    bus = dbus.SystemBus()
    loop = GLib.MainLoop()
    root = dbus.Interface(bus.get_object(BLUEZ, '/'), 'org.freedesktop.DBus.ObjectManager')
    adapter = dbus.Interface(bus.get_object(BLUEZ, ADAPTER_PATH), 'org.bluez.Adapter1')
    state = {'device': None, 'resolved': False, 'status': 1}

    def fail(error):
        print('Error: %s' % error.get_dbus_message(), file=sys.stderr)
        loop.quit()

    def read_value(path, device_props):
        def done(value):
            print(json.dumps(record(str(device_props['Address']), str(device_props.get('Name', '')),
                                    bytes(value)), indent=2, ensure_ascii=False), flush=True)
            state['status'] = 0
            dbus.Interface(bus.get_object(BLUEZ, state['device']), DEVICE).Disconnect(
                reply_handler=lambda: None, error_handler=lambda e: None)
            bus.flush()
            loop.quit()
        dbus.Interface(bus.get_object(BLUEZ, path), CHARACTERISTIC).ReadValue(
            dbus.Dictionary({}, signature='sv'), reply_handler=done, error_handler=fail)

    def resolved():
        if state['resolved']:
            return
        state['resolved'] = True

        def objects(tree):
            device = tree[state['device']][DEVICE]
            for path, interfaces in sorted(tree.items()):
                if path.startswith(state['device'] + '/') and CHARACTERISTIC in interfaces and \
                        str(interfaces[CHARACTERISTIC]['UUID']) == DETAILED_UUID:
                    read_value(path, device)
                    return
            print('Error: No Norvel characteristics found', file=sys.stderr)
            loop.quit()
        root.GetManagedObjects(reply_handler=objects, error_handler=fail)

    def connect(path):
        state['device'] = path
        adapter.StopDiscovery(reply_handler=lambda: None, error_handler=lambda e: None)
        device = dbus.Interface(bus.get_object(BLUEZ, path), DEVICE)
        props = dbus.Interface(bus.get_object(BLUEZ, path), 'org.freedesktop.DBus.Properties')

        def connected():
            if props.Get(DEVICE, 'ServicesResolved'):
                resolved()
        device.Connect(reply_handler=connected, error_handler=fail, timeout=60)

    def sighted(path, device_props):
        if state['device'] is None and path.startswith(ADAPTER_PATH + '/') and \
                'norvel' in str(device_props.get('Name', '')).lower():
            connect(path)

    def interfaces_added(path, interfaces):
        if DEVICE in interfaces:
            sighted(str(path), interfaces[DEVICE])

    def properties_changed(interface, changed, _invalidated, path=None):
        if interface != DEVICE or not path.startswith(ADAPTER_PATH + '/'):
            return
        if state['device'] is None:
            sighted(path, dbus.Interface(bus.get_object(BLUEZ, path),
                                         'org.freedesktop.DBus.Properties').GetAll(DEVICE))
        elif path == state['device'] and changed.get('ServicesResolved'):
            resolved()

    bus.add_signal_receiver(interfaces_added, 'InterfacesAdded',
                            'org.freedesktop.DBus.ObjectManager', BLUEZ)
    bus.add_signal_receiver(properties_changed, 'PropertiesChanged',
                            'org.freedesktop.DBus.Properties', BLUEZ, path_keyword='path')
    adapter.SetDiscoveryFilter({'Transport': 'le', 'DuplicateData': False})
    adapter.StartDiscovery(reply_handler=lambda: None, error_handler=fail)
    GLib.timeout_add_seconds(15, loop.quit)
    loop.run()
    return state['status']


if __name__ == '__main__':
    sys.exit(main())
