#!/usr/bin/python3
"""Emulated sensor for the real BlueZ stack: a GATT application and an LE advertisement
registered with bluetoothd on one adapter (hci1), steered between runs over a Unix socket.

The GATT application holds service FCE0 with the detailed and the basic readings
characteristics. The advertisement carries the local name and the FCE0 UUID; it is
registered again every 2 s (--refresh) because the emulated controller reports an
advertisement only when advertising or scanning is switched on.

Control: a client connects and sends one JSON object on a line; the answer, one JSON line
(with the count of reads so far), comes once the change is in effect. Commands:
  {"op": "configure", "refuse": bool, "hold": s}   refuse: reads fail with NotPermitted;
                                                   hold: read answers wait that long
  {"op": "advertise", "on": bool}
  {"op": "gap_name", "name": TEXT}   (the GAP Device Name a central reads once connected)
  {"op": "status"}
Answers stay prompt otherwise: bluetoothd 5.66 can crash when an application leaves
while one of its ReadValue answers is pending and the link is already gone.

usage: emulated_sensor.py [--adapter hci1] [--name "Norvel4 TEST"] [--socket PATH] [--refresh S]
"""
import argparse
import json
import os
import signal
import socket
import sys
import time

import dbus
import dbus.exceptions
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

BLUEZ = "org.bluez"
OBJECT_MANAGER = "org.freedesktop.DBus.ObjectManager"
PROPERTIES = "org.freedesktop.DBus.Properties"
ADAPTER = "org.bluez.Adapter1"
GATT_SERVICE = "org.bluez.GattService1"
GATT_CHARACTERISTIC = "org.bluez.GattCharacteristic1"
ADVERTISEMENT = "org.bluez.LEAdvertisement1"

SERVICE_UUID = "0000fce0-0000-1000-8000-00805f9b34fb"
DETAILED_UUID = "f0cd3001-95da-4f4b-9ac8-aa55d312af0c"
BASIC_UUID = "f0cd1503-95da-4f4b-9ac8-aa55d312af0c"
# The worked example of the detailed record, and the basic record's first nine bytes.
VALUES = {
    DETAILED_UUID: bytes.fromhex("2003C30195272D57012C017800"),
    BASIC_UUID: bytes.fromhex("2003C30195272D5701"),
}

T0 = time.monotonic()


def log(*words):
    print("[sensor +%.3f]" % (time.monotonic() - T0), *words, flush=True)


class NotPermitted(dbus.exceptions.DBusException):
    _dbus_error_name = "org.bluez.Error.NotPermitted"


class InvalidArgs(dbus.exceptions.DBusException):
    _dbus_error_name = "org.freedesktop.DBus.Error.InvalidArgs"


class Behaviour:
    """What the characteristics answer; changed between runs by the control socket."""

    def __init__(self):
        self.refuse = False
        self.hold_s = 0.0
        self.reads = 0


class Characteristic(dbus.service.Object):
    def __init__(self, bus, path, uuid, service_path, behaviour):
        super().__init__(bus, path)
        self.path = path
        self.uuid = uuid
        self.service_path = service_path
        self.behaviour = behaviour

    def properties(self):
        return {
            GATT_CHARACTERISTIC: {
                "Service": dbus.ObjectPath(self.service_path),
                "UUID": self.uuid,
                "Flags": dbus.Array(["read"], signature="s"),
                "Descriptors": dbus.Array([], signature="o"),
            }
        }

    @dbus.service.method(PROPERTIES, in_signature="s", out_signature="a{sv}")
    def GetAll(self, interface):
        if interface != GATT_CHARACTERISTIC:
            raise InvalidArgs()
        return self.properties()[GATT_CHARACTERISTIC]

    @dbus.service.method(
        GATT_CHARACTERISTIC,
        in_signature="a{sv}",
        out_signature="ay",
        async_callbacks=("reply", "error"),
    )
    def ReadValue(self, options, reply, error):
        b = self.behaviour
        b.reads += 1
        value = VALUES[self.uuid]
        offset = int(options.get("offset", 0))
        log(
            "ReadValue %s offset=%d refuse=%s hold=%.1f"
            % (self.uuid[:8], offset, b.refuse, b.hold_s)
        )

        def answer():
            if b.refuse:
                error(NotPermitted("Reading is refused by the emulated sensor"))
            else:
                reply(dbus.Array(value[offset:], signature="y"))
            return False

        if b.hold_s > 0:
            GLib.timeout_add(int(b.hold_s * 1000), answer)
        else:
            answer()


class Application(dbus.service.Object):
    """The ObjectManager bluetoothd reads the GATT objects from."""

    def __init__(self, bus, behaviour):
        super().__init__(bus, "/norvel")
        self.path = "/norvel"
        self.service_path = "/norvel/service0"
        self.characteristics = {
            DETAILED_UUID: Characteristic(
                bus, "/norvel/service0/char0", DETAILED_UUID, self.service_path, behaviour
            ),
            BASIC_UUID: Characteristic(
                bus, "/norvel/service0/char1", BASIC_UUID, self.service_path, behaviour
            ),
        }

    @dbus.service.method(OBJECT_MANAGER, out_signature="a{oa{sa{sv}}}")
    def GetManagedObjects(self):
        chars = list(self.characteristics.values())
        objects = {
            dbus.ObjectPath(self.service_path): {
                GATT_SERVICE: {
                    "UUID": SERVICE_UUID,
                    "Primary": dbus.Boolean(True),
                    "Characteristics": dbus.Array(
                        [dbus.ObjectPath(c.path) for c in chars], signature="o"
                    ),
                }
            }
        }
        for c in chars:
            objects[dbus.ObjectPath(c.path)] = c.properties()
        return objects


class Advertisement(dbus.service.Object):
    def __init__(self, bus, name):
        super().__init__(bus, "/norvel/advertisement0")
        self.path = "/norvel/advertisement0"
        self.name = name

    @dbus.service.method(PROPERTIES, in_signature="s", out_signature="a{sv}")
    def GetAll(self, interface):
        if interface != ADVERTISEMENT:
            raise InvalidArgs()
        return {
            "Type": "peripheral",
            "LocalName": dbus.String(self.name),
            "ServiceUUIDs": dbus.Array(["fce0"], signature="s"),
            "Discoverable": dbus.Boolean(True),
        }

    @dbus.service.method(ADVERTISEMENT)
    def Release(self):
        log("advertisement released by bluetoothd")


class Sensor:
    """Registrations with bluetoothd. Every call is asynchronous: bluetoothd calls back
    into this process while it registers, so a blocking call would deadlock."""

    def __init__(self, bus, adapter_path, name):
        self.adapter_properties = dbus.Interface(bus.get_object(BLUEZ, adapter_path), PROPERTIES)
        self.behaviour = Behaviour()
        self.app = Application(bus, self.behaviour)
        self.advertisement = Advertisement(bus, name)
        adapter = bus.get_object(BLUEZ, adapter_path)
        self.gatt_manager = dbus.Interface(adapter, "org.bluez.GattManager1")
        self.advertising_manager = dbus.Interface(adapter, "org.bluez.LEAdvertisingManager1")
        self.advertising = False
        self.wants_advertising = False
        self.refreshing = False

    def register_app(self, done):
        def registered():
            log("GATT application registered")
            done(None)

        self.gatt_manager.RegisterApplication(
            dbus.ObjectPath(self.app.path),
            {},
            reply_handler=registered,
            error_handler=lambda e: done(e.get_dbus_name()),
        )

    def advertise(self, on, done):
        self.wants_advertising = on
        if self.refreshing:
            GLib.timeout_add(50, lambda: self.advertise(on, done) and False)
            return
        if on == self.advertising:
            done(None)
            return
        path = dbus.ObjectPath(self.advertisement.path)

        def changed():
            self.advertising = on
            log("advertising", "on" if on else "off")
            done(None)

        method = (
            self.advertising_manager.RegisterAdvertisement
            if on
            else self.advertising_manager.UnregisterAdvertisement
        )
        args = (path, {}) if on else (path,)
        method(*args, reply_handler=changed, error_handler=lambda e: done(e.get_dbus_name()))

    def refresh_advertisement(self):
        if not self.wants_advertising or not self.advertising or self.refreshing:
            return True
        self.refreshing = True
        path = dbus.ObjectPath(self.advertisement.path)

        def finished(*_):
            self.refreshing = False

        def failed(e):
            self.refreshing = False
            log("advertisement refresh failed:", e.get_dbus_name())

        def unregistered():
            if not self.wants_advertising:
                self.advertising = False
                finished()
                return
            self.advertising_manager.RegisterAdvertisement(
                path, {}, reply_handler=finished, error_handler=failed
            )

        self.advertising_manager.UnregisterAdvertisement(
            path, reply_handler=unregistered, error_handler=failed
        )
        return True

    def set_gap_name(self, name, done):
        """bluetoothd serves the adapter's alias as the GAP Device Name."""
        self.adapter_properties.Set(
            ADAPTER,
            "Alias",
            dbus.String(name),
            reply_handler=lambda: done(None),
            error_handler=lambda e: done(e.get_dbus_name()),
        )

    def configure(self, command, done):
        self.behaviour.refuse = bool(command.get("refuse", False))
        self.behaviour.hold_s = float(command.get("hold", 0))
        done(None)


def serve_control(sock_path, sensor):
    if os.path.exists(sock_path):
        os.unlink(sock_path)
    server = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    server.bind(sock_path)
    server.listen(4)

    def accept(_fd, _condition):
        # The client sends its command right after connecting, so this read ends at once.
        conn, _ = server.accept()
        command = json.loads(conn.makefile().readline() or "{}")

        def done(error):
            answer = {
                "error": error,
                "advertising": sensor.advertising,
                "reads": sensor.behaviour.reads,
            }
            conn.sendall((json.dumps(answer) + "\n").encode())
            conn.close()

        op = command.get("op")
        if op == "configure":
            sensor.configure(command, done)
        elif op == "advertise":
            sensor.advertise(bool(command.get("on")), done)
        elif op == "gap_name":
            sensor.set_gap_name(str(command.get("name")), done)
        else:
            done(None if op == "status" else "unknown op")
        return True

    GLib.io_add_watch(server.fileno(), GLib.IO_IN, accept)
    return server


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--adapter", default="hci1")
    parser.add_argument(
        "--name", default="Norvel4 TEST", help="advertised, and the GAP Device Name"
    )
    parser.add_argument("--socket", default="/run/norvel-sensor.sock")
    parser.add_argument(
        "--refresh",
        type=float,
        default=2.0,
        help="seconds between re-registrations of the advertisement",
    )
    args = parser.parse_args()

    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    bus = dbus.SystemBus()
    loop = GLib.MainLoop()
    adapter_path = "/org/bluez/" + args.adapter
    sensor = Sensor(bus, adapter_path, args.name)
    sensor.adapter_properties.Set(ADAPTER, "Alias", dbus.String(args.name))
    server = serve_control(args.socket, sensor)

    def started(error):
        if error:
            log("FAILED", error)
            loop.quit()
            return
        sensor.advertise(True, lambda e: log("FAILED", e) if e else log("SENSOR READY"))

    sensor.register_app(started)
    GLib.timeout_add(int(args.refresh * 1000), sensor.refresh_advertisement)
    GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, signal.SIGTERM, loop.quit)
    GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, signal.SIGINT, loop.quit)
    loop.run()
    server.close()
    log("sensor exiting")
    return 0


if __name__ == "__main__":
    sys.exit(main())
