"""The emulated bluetoothd: a scenario's adapters, devices and GATT objects on dbus-python.

Scenario keys (daemon.py adds the scripted misbehaviour):
  adapters: [{name, address, powered: true, powered_after: s, appears_after: s (announced powered)}]
  devices:  [{adapter, address, name (absent: no Name; a number: a Name of the wrong type), alias,
              gap_name (the GAP Device Name, read once connected: then Name and Alias),
              known (in the tree from the start, GATT objects cached), connected (and resolved),
              sighting: added|rssi|none, sighted_name, sighted_by: adapter, sighted_after: s,
              connect: ok|hang|[error, message] (every attempt after those of attempts),
              attempts: [[error, message] or [error, message, 'flap' (Connected true, then false,
                         then the error)]] for the first attempts,
              other_client: [error, message] (the first attempt collides with another client's,
                            which connects the device 0.2 s later),
              resolve: normal|signals_late|never|drop_once (the first link drops before its
                       services are resolved), resolved_name (sent with ServicesResolved),
              gatt: [{uuid, characteristics: [{uuid, value: hex | error: [name, message]
                                                 | text}]}]}]
  delayed: {Connect|ReadValue|GetAll: s}   crowd: {count}   storm: {rate: per s, seconds}

Orders and delays follow bluetoothd 5.66 (src/device.c, src/adapter.c): a property change is
queued and goes out before the next reply, so Connected=true precedes the Connect reply
(device_add_connection, then att_connect_cb) and ServicesResolved=true comes later, when the
GATT client is ready (device_svc_resolved); GATT objects are in the tree before their
InterfacesAdded, which may follow ServicesResolved (signals_late). Disconnect drops the link
after 2 s (disconnect_all), then device_remove_connection sends ServicesResolved=false, the
Disconnect reply, Connected=false; a Disconnect fails a pending Connect. Discovery calls are
answered before Discovering changes.
"""

import time

import dbus
import dbus.lowlevel
import dbus.service
from gi.repository import GLib

PROPERTIES = "org.freedesktop.DBus.Properties"
INTROSPECTABLE = "org.freedesktop.DBus.Introspectable"
OBJECT_MANAGER = "org.freedesktop.DBus.ObjectManager"
ADAPTER, DEVICE = "org.bluez.Adapter1", "org.bluez.Device1"
SERVICE, CHARACTERISTIC = "org.bluez.GattService1", "org.bluez.GattCharacteristic1"
FAILED = "org.bluez.Error.Failed"
CONNECT_DELAY, RESOLVE_DELAY, CACHED_RESOLVE_DELAY, LATE_SIGNALS_DELAY = 0.05, 0.3, 0.005, 0.2
OTHER_CLIENT_DELAY, FLAP_DELAY = 0.2, 0.02
GAP_NAME_DELAY, DISCONNECT_DELAY, RSSI = 0.05, 2.0, dbus.Int16(-58)


def later(seconds, action):
    GLib.timeout_add(int(seconds * 1000), lambda: action() and False)


def failure(name, text):
    return dbus.exceptions.DBusException(text, name=name)


def method(interface, in_signature="", out_signature=""):
    return dbus.service.method(
        interface, in_signature, out_signature, async_callbacks=("reply", "fail")
    )


class Exported(dbus.service.Object):
    """An object of bluetoothd's tree: properties by interface, exported on export()."""

    def __init__(self, bluez, path, interface, props):
        super().__init__()
        self.bluez, self.path, self.exported = bluez, path, False
        self.props = {INTROSPECTABLE: {}, PROPERTIES: {}, interface: props}

    def export(self, announce=False):
        self.add_to_connection(self.bluez.connection, self.path)
        self.bluez.tree[self.path], self.exported = self, True
        if announce:
            self.announce()

    def announce(self):
        self.bluez.InterfacesAdded(self.path, self.props)

    def change(self, interface, **values):
        self.props[interface].update(values)
        self.PropertiesChanged(interface, values, dbus.Array([], "s"))

    @dbus.service.method(PROPERTIES, "ss", "v")
    def Get(self, interface, name):
        return self.props[interface][name]

    @method(PROPERTIES, "s", "a{sv}")
    def GetAll(self, interface, reply, fail):  # pylint: disable=unused-argument
        self.bluez.answer("GetAll", lambda: reply(self.props[interface]))

    @dbus.service.signal(PROPERTIES, "sa{sv}as")
    def PropertiesChanged(self, interface, changed, invalidated):
        pass

    @dbus.service.method(
        INTROSPECTABLE, "", "s", path_keyword="path", connection_keyword="connection"
    )
    def Introspect(self, path, connection):
        # dbus-python's, plus the interfaces that have only properties (GattService1).
        head, end, tail = dbus.service.Object.Introspect(self, path, connection).rpartition(
            "</node>"
        )
        extra = "".join(
            f'<interface name="{name}"/>' for name in self.props if f'"{name}"' not in head
        )
        return head + extra + end + tail


class Adapter(Exported):
    def __init__(self, bluez, config):
        self.name, self.powered, self.discovering = (
            config["name"],
            config.get("powered", True),
            False,
        )
        number = int(self.name[-1])
        super().__init__(
            bluez,
            "/org/bluez/" + self.name,
            ADAPTER,
            {
                "Address": config.get("address", ":".join(f"{number + i:02d}" for i in range(6))),
                "AddressType": "public",
                "Name": "mock-host",
                "Alias": "mock-host",
                "Class": dbus.UInt32(268),
                "Powered": self.powered,
                "Discoverable": False,
                "Pairable": True,
                "Discovering": False,
                "UUIDs": dbus.Array(["00001800-0000-1000-8000-00805f9b34fb"], "s"),
            },
        )

    def appear(self):
        self.export(announce=True)
        self.bluez.note("adapter-added", path=self.path)

    def power_on(self):
        self.powered = True
        self.change(ADAPTER, Powered=True)
        self.bluez.note("powered-on", path=self.path)

    @method(ADAPTER, "a{sv}")
    def SetDiscoveryFilter(self, discovery_filter, reply, fail):  # pylint: disable=unused-argument
        reply()

    @method(ADAPTER)
    def StartDiscovery(self, reply, fail):
        if not self.powered:
            fail(failure("org.bluez.Error.NotReady", "Resource Not Ready"))
            return
        reply()
        self.discovering = True
        self.change(ADAPTER, Discovering=True)
        for device in self.bluez.devices:
            if device.config.get("sighted_by", device.config["adapter"]) == self.name:
                later(device.config.get("sighted_after", 0.1), device.sighted)
        self.bluez.start_storm()

    @method(ADAPTER)
    def StopDiscovery(self, reply, fail):
        if not self.discovering:
            fail(failure(FAILED, "No discovery started"))
            return
        reply()
        self.discovering = False
        self.change(ADAPTER, Discovering=False)


class Characteristic(Exported):
    def __init__(self, device, path, service_path, config):
        super().__init__(
            device.bluez,
            path,
            CHARACTERISTIC,
            {
                "UUID": config["uuid"],
                "Service": dbus.ObjectPath(service_path),
                "Value": dbus.Array([], "y"),
                "Flags": dbus.Array(["read"], "s"),
            },
        )
        self.device, self.config = device, config

    # No fixed reply signature: a {text} characteristic answers a string, as a broken bluetoothd
    # could.
    @method(CHARACTERISTIC, "a{sv}", None)
    def ReadValue(self, options, reply, fail):  # pylint: disable=unused-argument
        if self.device.connected:
            self.bluez.answer("ReadValue", lambda: self.answer_read(reply, fail))
        else:
            fail(failure(FAILED, "Not connected"))

    def answer_read(self, reply, fail):
        # bluetoothd's own read of the GAP name is queued first on the bearer, so it is answered
        # first.
        self.device.read_gap_name()
        if "error" in self.config:
            fail(failure(*self.config["error"]))
        elif "text" in self.config:
            reply(self.config["text"])
        else:
            self.change(CHARACTERISTIC, Value=dbus.Array(bytes.fromhex(self.config["value"]), "y"))
            reply(self.props[CHARACTERISTIC]["Value"])


class Device(Exported):
    def __init__(self, bluez, config):
        name, address = config.get("name"), config["address"]
        self.config, self.connected = config, config.get("connected", False)
        self.pending_connect, self.gap_name_due, self.gatt = None, False, []
        self.attempts = list(config.get("attempts", []))
        adapter = "/org/bluez/" + config["adapter"]
        super().__init__(
            bluez,
            adapter + "/dev_" + address.replace(":", "_"),
            DEVICE,
            dict(
                {
                    "Address": address,
                    "AddressType": "public",
                    "Alias": config.get(
                        "alias", name if isinstance(name, str) else address.replace(":", "-")
                    ),
                    "Paired": False,
                    "Bonded": False,
                    "Trusted": False,
                    "Blocked": False,
                    "LegacyPairing": False,
                    "Connected": self.connected,
                    "ServicesResolved": self.connected,
                    "Adapter": dbus.ObjectPath(adapter),
                    "UUIDs": dbus.Array(["0000fce0-0000-1000-8000-00805f9b34fb"], "s"),
                },
                **({} if name is None else {"Name": name}),
            ),
        )

    def export(self, announce=False):
        super().export(announce)
        if self.connected or self.config.get("known"):
            self.export_gatt(announce=False)

    def sighted(self):
        config = self.config
        if not self.bluez.adapters[config.get("sighted_by", config["adapter"])].discovering:
            return
        if not self.exported:
            self.props[DEVICE]["RSSI"] = RSSI
            self.export(announce=True)
        elif "sighted_name" in config:
            self.change(DEVICE, Name=config["sighted_name"], RSSI=RSSI)
        elif config.get("sighting", "added") == "rssi":
            self.change(DEVICE, RSSI=RSSI)
        else:
            return
        self.bluez.note("sighted", path=self.path)

    @method(DEVICE)
    def Connect(self, reply, fail):
        outcome = self.attempts.pop(0) if self.attempts else self.config.get("connect", "ok")
        if self.connected:
            reply()
        elif self.pending_connect:
            fail(failure(FAILED, "Operation already in progress"))
        elif "other_client" in self.config and not self.config.get("collided"):
            self.config["collided"] = True
            self.pending_connect = lambda _error: None
            fail(failure(*self.config["other_client"]))
            later(OTHER_CLIENT_DELAY, lambda: self.link_up(lambda: None))
        elif isinstance(outcome, list) and len(outcome) == 3:
            self.change(DEVICE, Connected=True)
            later(FLAP_DELAY, lambda: self.change(DEVICE, Connected=False))
            later(CONNECT_DELAY, lambda: fail(failure(*outcome[:2])))
        elif outcome in ("ok", "hang"):
            self.pending_connect = fail
            if outcome == "ok":
                later(
                    CONNECT_DELAY, lambda: self.bluez.answer("Connect", lambda: self.link_up(reply))
                )
        else:
            later(CONNECT_DELAY, lambda: fail(failure(*outcome)))

    def link_up(self, reply):
        if not self.pending_connect:
            return
        self.pending_connect, self.connected = None, True
        self.change(DEVICE, Connected=True)
        reply()
        later(CACHED_RESOLVE_DELAY if self.gatt else RESOLVE_DELAY, self.resolve_services)

    def resolve_services(self):
        resolve = self.config.get("resolve", "normal")
        if resolve == "never" or not self.connected:
            return
        if resolve == "drop_once":
            self.config["resolve"], self.connected = "normal", False
            self.change(DEVICE, Connected=False)
            self.bluez.note("link-lost", path=self.path)
            return
        discovered = not self.gatt
        if discovered:
            self.export_gatt(announce=resolve != "signals_late")
        name = self.config.get("resolved_name")
        self.change(
            DEVICE, ServicesResolved=True, **({"Name": name, "Alias": name} if name else {})
        )
        self.bluez.note("services-resolved", path=self.path)
        if discovered and resolve == "signals_late":
            later(LATE_SIGNALS_DELAY, self.announce_gatt)
        if "gap_name" in self.config:
            self.gap_name_due = True
            later(GAP_NAME_DELAY, self.read_gap_name)

    def read_gap_name(self):
        if self.gap_name_due and self.connected:
            self.gap_name_due = False
            self.change(DEVICE, Name=self.config["gap_name"], Alias=self.config["gap_name"])

    def export_gatt(self, announce):
        handle = 0x000A
        for service in self.config.get("gatt", []):
            path = f"{self.path}/service{handle:04x}"
            self.gatt.append(
                Exported(
                    self.bluez,
                    path,
                    SERVICE,
                    {
                        "UUID": service["uuid"],
                        "Device": dbus.ObjectPath(self.path),
                        "Primary": True,
                        "Includes": dbus.Array([], "o"),
                    },
                )
            )
            for config in service["characteristics"]:
                self.gatt.append(Characteristic(self, f"{path}/char{handle + 1:04x}", path, config))
                handle += 3
            handle += 1
        for obj in self.gatt:
            obj.export(announce)

    def announce_gatt(self):
        for obj in self.gatt:
            obj.announce()

    @method(DEVICE)
    def Disconnect(self, reply, fail):  # pylint: disable=unused-argument
        if self.pending_connect:
            self.pending_connect(failure(FAILED, "br-connection-canceled"))
            self.pending_connect = None
        if self.connected:
            self.connected = False
            later(DISCONNECT_DELAY, lambda: self.link_down(reply))
        else:
            reply()

    def link_down(self, reply):
        if self.props[DEVICE]["ServicesResolved"]:
            self.change(DEVICE, ServicesResolved=False)
        reply()
        self.change(DEVICE, Connected=False)


class EmulatedBluez(dbus.service.Object):
    """The object manager at "/" and everything under /org/bluez, driven by the GLib main loop."""

    def __init__(self, connection, scenario, note):
        super().__init__(connection, "/")
        self.note, self.tree = note, {}
        self.delays, self.storm = scenario.get("delayed", {}), scenario.get("storm")
        manager = Exported(self, "/org/bluez", "org.bluez.AgentManager1", {})
        manager.props["org.bluez.ProfileManager1"] = {}
        manager.export()
        self.adapters = {
            config["name"]: Adapter(self, config) for config in scenario.get("adapters", [])
        }
        self.crowd = [
            Device(
                self,
                {
                    "adapter": "hci0",
                    "address": f"00:00:00:00:{n >> 8:02X}:{n & 0xFF:02X}",
                    "name": f"Device {n}",
                    "known": True,
                    "sighting": "none",
                },
            )
            for n in range(scenario.get("crowd", {}).get("count", 0))
        ]
        self.devices = self.crowd + [Device(self, config) for config in scenario.get("devices", [])]
        for config in scenario.get("adapters", []):
            adapter = self.adapters[config["name"]]
            if "appears_after" in config:
                later(config["appears_after"], adapter.appear)
            else:
                adapter.export()
            if "powered_after" in config:
                later(config["powered_after"], adapter.power_on)
        for device in self.devices:
            if device.config.get("known") or device.connected:
                device.export()

    @dbus.service.method(OBJECT_MANAGER, "", "a{oa{sa{sv}}}")
    def GetManagedObjects(self):
        return {path: obj.props for path, obj in self.tree.items()}

    @dbus.service.signal(OBJECT_MANAGER, "oa{sa{sv}}")
    def InterfacesAdded(self, path, interfaces):
        pass

    def answer(self, member, action):
        later(self.delays.get(member, 0), action)

    def start_storm(self):
        """RSSI changes of the crowd's devices at storm's rate, as bluetoothd relays a busy
        place."""
        if not self.storm or not self.crowd:
            return
        storm, self.storm, started, sent = self.storm, None, time.monotonic(), [0, 0]

        def burst():
            elapsed = time.monotonic() - started
            while sent[0] < storm["rate"] * min(elapsed, storm["seconds"]):
                # Built by hand, not through dbus.service.signal, to reach the rate.
                device = self.crowd[sent[0] % len(self.crowd)]
                signal = dbus.lowlevel.SignalMessage(device.path, PROPERTIES, "PropertiesChanged")
                signal.append(
                    DEVICE,
                    {"RSSI": dbus.Int16(-40 - sent[0] % 50)},
                    dbus.Array([], "s"),
                    signature="sa{sv}as",
                )
                self.connection.send_message(signal)
                sent[0] += 1
            if int(elapsed) > sent[1]:
                sent[1] = int(elapsed)
                self.note("storm", signals=sent[0], seconds=round(elapsed, 3))
            return elapsed < storm["seconds"]

        GLib.timeout_add(10, burst)
