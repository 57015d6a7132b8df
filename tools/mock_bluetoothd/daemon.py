"""The mock bluetoothd process: serves a scenario (model.py) as org.bluez on the bus in
DBUS_SYSTEM_BUS_ADDRESS until SIGTERM, SIGINT or the bus goes, and logs to CALLS.jsonl every
method call it receives and its own events (name-acquired, adapter-added, powered-on, sighted,
services-resolved, forged, storm, exiting). Scenario keys that script misbehaviour:

  unanswered: [member]             never answered
  exit_after: [call or event, s]   leaves the bus that long after it, calls unanswered
  forged: [{after: call or event, delay: s, and one of:
            added: {address, name}                 InterfacesAdded of a device that does not exist
            changed: [path, interface, {name: v}]  PropertiesChanged of a real object
            owner_lost: name                       NameOwnerChanged of that name to nobody
            reply: hex | {name: v} | error: [name, message]
                                                   an answer (ay, a{sv}) to the call in after}]
  Forged messages go to the tool's unique name from a second connection, which does not own
  org.bluez.

  usage: /usr/bin/python3 -m tools.mock_bluetoothd.daemon SCENARIO.json CALLS.jsonl
"""

import json
import os
import signal
import sys
import time

import dbus
import dbus.lowlevel
import dbus.mainloop.glib
import dbus.service
from gi.repository import Gio, GLib

from tools.mock_bluetoothd.model import DEVICE, OBJECT_MANAGER, PROPERTIES, EmulatedBluez, later


def plain(value):
    """D-Bus values as JSON: byte arrays as lists of ints, dicts keyed by text."""
    if isinstance(value, dict):
        return {str(key): plain(item) for key, item in value.items()}
    if isinstance(value, (list, tuple)):
        return [plain(item) for item in value]
    return bool(value) if isinstance(value, dbus.Boolean) else value


class CallLog:
    """Logs calls (before they are dispatched) and events; runs watchers; drops unanswered calls."""

    def __init__(self, path, unanswered):
        self.file = open(
            path, "a", encoding="utf-8", buffering=1
        )  # pylint: disable=consider-using-with
        self.unanswered, self.watchers, self.client = set(unanswered), [], None

    def when(self, what, action):
        self.watchers.append((what, action))

    def note(self, event, **details):
        self.write(dict(details, t=round(time.time(), 3), event=event))

    def write(self, entry):
        self.file.write(json.dumps(entry) + "\n")
        what = entry.get("member") or entry.get("event")
        for watcher in [watcher for watcher in self.watchers if watcher[0] == what]:
            self.watchers.remove(watcher)
            watcher[1](entry)

    def on_message(self, _connection, message):
        if message.get_type() != dbus.lowlevel.MESSAGE_TYPE_METHOD_CALL:
            return dbus.lowlevel.HANDLER_RESULT_NOT_YET_HANDLED
        self.client = message.get_sender()
        self.write(
            {
                "t": round(time.time(), 3),
                "sender": self.client,
                "serial": message.get_serial(),
                "path": message.get_path(),
                "interface": message.get_interface(),
                "member": message.get_member(),
                "args": plain(message.get_args_list()),
            }
        )
        if message.get_member() in self.unanswered:
            return dbus.lowlevel.HANDLER_RESULT_HANDLED
        return dbus.lowlevel.HANDLER_RESULT_NOT_YET_HANDLED


def variant(value):
    """A forged property's value: booleans, int16 (RSSI), string arrays (UUIDs) or strings."""
    kinds = ((bool, "b"), (int, "n"), (list, "as"), (str, "s"))
    return GLib.Variant(next(kind for python, kind in kinds if isinstance(value, python)), value)


def forged_message(forgery, entry, owner):
    """The message a forgery stands for; entry is the logged call or event it follows."""
    if "added" in forgery:
        address, name = forgery["added"]["address"], forgery["added"]["name"]
        props = {
            "Address": address,
            "AddressType": "public",
            "Name": name,
            "Alias": name,
            "Paired": False,
            "Connected": False,
            "ServicesResolved": False,
            "RSSI": -40,
            "UUIDs": ["0000fce0-0000-1000-8000-00805f9b34fb"],
        }
        message = Gio.DBusMessage.new_signal("/", OBJECT_MANAGER, "InterfacesAdded")
        body = GLib.Variant(
            "(oa{sa{sv}})",
            (
                "/org/bluez/hci0/dev_" + address.replace(":", "_"),
                {DEVICE: {key: variant(value) for key, value in props.items()}},
            ),
        )
    elif "changed" in forgery:
        path, interface, values = forgery["changed"]
        message = Gio.DBusMessage.new_signal(path, PROPERTIES, "PropertiesChanged")
        body = GLib.Variant(
            "(sa{sv}as)", (interface, {key: variant(value) for key, value in values.items()}, [])
        )
    elif "owner_lost" in forgery:
        message = Gio.DBusMessage.new_signal(
            "/org/freedesktop/DBus", "org.freedesktop.DBus", "NameOwnerChanged"
        )
        body = GLib.Variant("(sss)", (forgery["owner_lost"], owner, ""))
    else:
        message = Gio.DBusMessage.new()
        message.set_reply_serial(entry["serial"])
        if "reply" in forgery:
            message.set_message_type(Gio.DBusMessageType.METHOD_RETURN)
            reply = forgery["reply"]
            body = (
                GLib.Variant("(a{sv})", ({key: variant(value) for key, value in reply.items()},))
                if isinstance(reply, dict)
                else GLib.Variant("(ay)", (bytes.fromhex(reply),))
            )
        else:
            message.set_message_type(Gio.DBusMessageType.ERROR)
            message.set_error_name(forgery["error"][0])
            body = GLib.Variant("(s)", (forgery["error"][1],))
    message.set_body(body)
    return message


def forge(forgeries, log, owner):
    if not forgeries:
        return
    flags = (
        Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT
        | Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION
    )
    spoofer = Gio.DBusConnection.new_for_address_sync(
        os.environ["DBUS_SYSTEM_BUS_ADDRESS"], flags, None, None
    )

    def send(forgery, entry):
        message = forged_message(forgery, entry, owner)
        message.set_destination(log.client)
        spoofer.send_message(message, Gio.DBusSendMessageFlags.NONE)
        spoofer.flush_sync(None)
        log.note("forged", signal=message.get_member())

    for forgery in forgeries:
        log.when(
            forgery["after"],
            lambda entry, forgery=forgery: later(
                forgery.get("delay", 0), lambda: send(forgery, entry)
            ),
        )


def main():
    scenario = json.loads(
        open(sys.argv[1], encoding="utf-8").read()
    )  # pylint: disable=consider-using-with
    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    loop, bus = GLib.MainLoop(), dbus.SystemBus()
    bus.add_signal_receiver(
        loop.quit, "Disconnected", "org.freedesktop.DBus.Local", path="/org/freedesktop/DBus/Local"
    )
    for signum in (signal.SIGTERM, signal.SIGINT):
        GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, signum, loop.quit)
    log = CallLog(sys.argv[2], scenario.get("unanswered", []))
    bus.add_message_filter(log.on_message)
    EmulatedBluez(bus, scenario, log.note)

    def exit_now():
        log.note("exiting")
        bus.flush()
        loop.quit()

    if "exit_after" in scenario:
        what, delay = scenario["exit_after"]
        # At once when the delay is 0, so that no call after the event is answered.
        log.when(what, lambda entry: later(delay, exit_now) if delay else exit_now())
    forge(scenario.get("forged", []), log, bus.get_unique_name())
    name = dbus.service.BusName("org.bluez", bus, do_not_queue=True)  # released when collected
    log.note("name-acquired", name=name.get_name(), owner=bus.get_unique_name())
    loop.run()


if __name__ == "__main__":
    main()
