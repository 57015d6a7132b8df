'''A mock bluetoothd with an emulated air-quality sensor, on the system bus.

Usage: /usr/bin/python3 mock_bluez.py --scenario FILE.json --calls CALLS.jsonl

The system bus is the one in DBUS_SYSTEM_BUS_ADDRESS, so point it at a private
dbus-daemon. The scenario file holds the dict described in emulated_bluez.py,
plus two keys that script the answers themselves:

  refuse:     {member: [error name, message]}  answered with that error instead
  unanswered: [member, ...]                    never answered at all

Every method call received is appended to CALLS.jsonl (see incoming_calls.py).
The mock takes the name org.bluez only once its objects are in place, and runs
until SIGTERM or SIGINT, or until the bus goes away.
'''

import argparse
import json
import signal
import sys
from pathlib import Path

import dbus
import dbus.mainloop.glib
import dbus.service
from dbusmock import OBJECT_MANAGER_IFACE, mockobject
from gi.repository import GLib

sys.path.insert(0, str(Path(__file__).resolve().parent))

from emulated_bluez import EmulatedBluez  # noqa: E402 pylint: disable=wrong-import-position
from incoming_calls import IncomingCalls  # noqa: E402 pylint: disable=wrong-import-position


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('--scenario', required=True, type=Path)
    parser.add_argument('--calls', required=True, type=Path)
    args = parser.parse_args()
    scenario = json.loads(args.scenario.read_text(encoding='utf-8'))

    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    loop = GLib.MainLoop()
    bus = dbus.SystemBus()
    bus.add_signal_receiver(loop.quit, signal_name='Disconnected',
                            path='/org/freedesktop/DBus/Local',
                            dbus_interface='org.freedesktop.DBus.Local')
    for signum in (signal.SIGTERM, signal.SIGINT):
        GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, signum, loop.quit)

    calls = IncomingCalls(args.calls, scenario.get('refuse', {}), scenario.get('unanswered', []))
    calls.attach(bus)
    main_object = mockobject.DBusMockObject(bus, '/', OBJECT_MANAGER_IFACE, {}, None, True)
    main_object.model = EmulatedBluez(main_object, scenario, calls)
    bus_name = dbus.service.BusName('org.bluez', bus, do_not_queue=True)
    calls.note('name-acquired', name=bus_name.get_name())
    loop.run()


if __name__ == '__main__':
    main()
