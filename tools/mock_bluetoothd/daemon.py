'''A mock bluetoothd with an emulated air-quality sensor, on the system bus.

Usage: /usr/bin/python3 -m tools.mock_bluetoothd.daemon --scenario FILE.json --calls CALLS.jsonl

The system bus is the one in DBUS_SYSTEM_BUS_ADDRESS, so point it at a private
dbus-daemon. The scenario file holds the dict described in model.py,
plus keys that script the answers and the mock's life:

  refuse:     {member: [error name, message]}  answered with that error instead
  unanswered: [member, ...]                    never answered at all
  exit_after: [call or event, s]               bluetoothd exits that long after it
  forged:     [{after: call or event, delay: s, ...}]  messages a spoofing client
              (spoofing_client.py, a process of its own that does not own org.bluez) sends
              to the tool's unique name; see forgeries.py for the kinds

Every method call received is appended to CALLS.jsonl (see incoming_calls.py), and so
are the mock's own events: name-acquired, adapter-added, powered-on, sighted,
services-resolved, forged, storm (signals sent so far, each second) and exiting.
The mock takes the name org.bluez only once its objects are in place, and runs
until SIGTERM or SIGINT, or until the bus goes away.
'''

import argparse
import json
import signal
from pathlib import Path

import dbus
import dbus.mainloop.glib
import dbus.service
from dbusmock import OBJECT_MANAGER_IFACE, mockobject
from gi.repository import GLib

from tools.mock_bluetoothd.forgeries import Spoofer
from tools.mock_bluetoothd.incoming_calls import IncomingCalls
from tools.mock_bluetoothd.model import EmulatedBluez, later


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
    if 'exit_after' in scenario:
        what, delay = scenario['exit_after']
        # At once when the delay is 0, so that no call that follows the event is answered.
        calls.when(what, lambda entry: later(delay, lambda: exit_now(bus, loop, calls)) if delay
                   else exit_now(bus, loop, calls))
    spoofer = Spoofer(scenario.get('forged', []), calls, bus.get_unique_name())
    bus_name = dbus.service.BusName('org.bluez', bus, do_not_queue=True)
    calls.note('name-acquired', name=bus_name.get_name(), owner=bus.get_unique_name())
    loop.run()
    spoofer.close()


def exit_now(bus, loop, calls):
    '''Leaves the bus with calls unanswered, as a bluetoothd that crashes or is stopped.'''
    calls.note('exiting')
    bus.flush()
    loop.quit()


if __name__ == '__main__':
    main()
