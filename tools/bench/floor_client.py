#!/usr/bin/python3
"""The floor of the real stack for a scripted client: norvel-read's bluetoothd calls made with
python3-dbus on a GLib loop, as plain method calls (no proxy objects, so no introspection and
no name-owner look-ups). Scans on hci0 for a device whose name holds "Norvel", connects, waits
for ServicesResolved, reads the detailed readings characteristic, prints the record as JSON,
then disconnects and waits for the Disconnect reply."""
import json
import struct
import sys

import dbus
import dbus.mainloop.glib
from gi.repository import GLib

BLUEZ, ADAPTER, ADAPTER_INTERFACE = "org.bluez", "/org/bluez/hci0", "org.bluez.Adapter1"
MANAGER, PROPERTIES = "org.freedesktop.DBus.ObjectManager", "org.freedesktop.DBus.Properties"
DEVICE, CHARACTERISTIC = "org.bluez.Device1", "org.bluez.GattCharacteristic1"
DETAILED_UUID = "f0cd3001-95da-4f4b-9ac8-aa55d312af0c"
STATUS = {1: "GREEN", 2: "YELLOW"}


def record(address, name, value):
    co2, temperature, pressure, humidity, battery, status, interval, age = struct.unpack_from(
        "<HHHBBBHH", value
    )
    return {
        "address": "00000000-0000-8000-8000-" + address.replace(":", ""),
        "name": name,
        "co2": co2,
        "temperature": "%.1f °C" % (temperature / 20.0),
        "humidity": "%d %%" % humidity,
        "pressure": "%.1f hPa" % (pressure / 10.0),
        "battery": "%d %%" % battery,
        "status": STATUS.get(status, "RED"),
        "interval": interval,
        "age": age,
    }


def main():
    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    bus, loop = dbus.SystemBus(), GLib.MainLoop()
    devices, state = {}, {"device": None, "resolved": False, "status": 1}

    def call(path, interface, method, signature=None, args=(), reply=lambda *_: None, timeout=-1):
        bus.call_async(BLUEZ, path, interface, method, signature, args, reply, fail, timeout)

    def fail(error):
        print("Error: %s" % error.get_dbus_message(), file=sys.stderr)
        loop.quit()

    def seen(path, props):
        devices.setdefault(path, {}).update(props)
        if (
            state["device"] is None
            and path.startswith(ADAPTER + "/")
            and "RSSI" in props
            and "norvel" in str(devices[path].get("Name", "")).lower()
        ):
            state["device"] = path
            call(ADAPTER, ADAPTER_INTERFACE, "StopDiscovery")
            call(
                path,
                DEVICE,
                "Connect",
                timeout=60,
                reply=lambda: devices[path].get("ServicesResolved") and resolved(),
            )

    def resolved():
        if not state["resolved"]:
            state["resolved"] = True
            call("/", MANAGER, "GetManagedObjects", reply=read)

    def read(tree):
        path = next(
            (
                path
                for path, interfaces in sorted(tree.items())
                if path.startswith(state["device"] + "/")
                and str(interfaces.get(CHARACTERISTIC, {}).get("UUID")) == DETAILED_UUID
            ),
            None,
        )
        if path is None:
            print("Error: No Norvel characteristics found", file=sys.stderr)
            return loop.quit()
        return call(path, CHARACTERISTIC, "ReadValue", "a{sv}", ({},), reply=done)

    def done(value):
        device = devices[state["device"]]
        print(
            json.dumps(
                record(str(device["Address"]), str(device.get("Name", "")), bytes(value)),
                indent=2,
                ensure_ascii=False,
            ),
            flush=True,
        )
        state["status"] = 0
        call(state["device"], DEVICE, "Disconnect", reply=loop.quit)

    def properties_changed(interface, changed, _invalidated, path=None):
        if interface == DEVICE:
            seen(path, changed)
            if path == state["device"] and changed.get("ServicesResolved"):
                resolved()

    bus.add_signal_receiver(
        lambda path, interfaces: seen(str(path), interfaces.get(DEVICE, {})),
        "InterfacesAdded",
        MANAGER,
    )
    bus.add_signal_receiver(
        properties_changed, "PropertiesChanged", PROPERTIES, path_keyword="path"
    )

    def scan(tree):
        for path, interfaces in tree.items():
            devices[str(path)] = dict(interfaces.get(DEVICE, {}))
        call(
            ADAPTER,
            ADAPTER_INTERFACE,
            "SetDiscoveryFilter",
            "a{sv}",
            ({"Transport": "le", "DuplicateData": False},),
        )
        call(ADAPTER, ADAPTER_INTERFACE, "StartDiscovery")

    def timeout():
        print("Error: Timeout searching for Norvel sensor", file=sys.stderr)
        loop.quit()

    call("/", MANAGER, "GetManagedObjects", reply=scan)
    GLib.timeout_add_seconds(15, timeout)
    loop.run()
    return state["status"]


if __name__ == "__main__":
    sys.exit(main())
