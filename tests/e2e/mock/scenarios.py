"""The end-to-end table: one row per bluetoothd behaviour the tool must get right."""

from signal import SIGHUP, SIGINT, SIGQUIT, SIGTERM

from tests.e2e.expected_output import document, identifier

# fmt: off
SERVICE = "0000fce0-0000-1000-8000-00805f9b34fb"
DETAILED, BASIC = "f0cd3001-95da-4f4b-9ac8-aa55d312af0c", "f0cd1503-95da-4f4b-9ac8-aa55d312af0c"
# The worked example of the detailed record; the basic record's first nine bytes, status 2.
DETAILED_VALUE = {"uuid": DETAILED, "value": "2003c30195272d57012c017800"}
BASIC_VALUE = {"uuid": BASIC, "value": "2003c30195272d5702"}
SENSOR, OTHER, BEFORE, THIRD = (f"C0:FF:EE:00:00:0{n}" for n in (1, 2, 0, 3))
FORGED, DEVICE, ERROR = "C0:FF:EE:66:66:66", "org.bluez.Device1", "org.bluez.Error"
HCI1_ADDRESS, SENSOR_PATH = "AA:BB:CC:00:11:22", "/org/bluez/hci0/dev_C0_FF_EE_00_00_01"
# Unicode noncharacters: libdbus sends them, sd-bus refuses to read them.
UNREADABLE, UNREADABLE_RENAME = "Headphones \uffff", "Headphones \ufdd0"
# What dbus-daemon answers for a call pending at a service that leaves the bus.
RECIPIENT_LEFT = "Message recipient disconnected from message bus without replying"
TIMEOUT = "Error: Timeout searching for Norvel sensor\n"
NO_SCAN = ["SetDiscoveryFilter", "StartDiscovery"]
DEFAULTS = dict(args=[], env={}, stderr="", absent=[], until=None, bus="normal", then=[],
                connects=None, trace=None)
# fmt: on


# A row: the mock's setup (tools/mock_bluetoothd/model.py, daemon.py), the command line (args,
# env) and what must come out: the document printed (by default the sensor's when the run
# succeeds), stderr, status, wall time (15 to 16 s when stderr is TIMEOUT, else under 15 s) and
# the calls and events the mock logs: calls in this order ("Member" or "Member path"); no call of
# SCOPED members but those; none of absent (before the event until, if given). bus: the bus
# policy (None: no bus). then: [(call or event, s, action)]: s after the mock logged that call or
# event (None: the tool's start), a mock starts ('mock': with the setup less its scripted
# answers; else the first mock starts with the tool) or the tool gets the signal action, of
# which it must then die, silently. connects: (fewest, most) Connect calls. trace: the steps
# that NORVEL_DEBUG=1's trace must show in order on stderr, before the row's stderr.
def row(name, setup=None, **expected):
    then = expected.get("then", [])
    succeeds = not expected.get("stderr") and all(action == "mock" for _, _, action in then)
    checks = dict(DEFAULTS, setup=bluez() if setup is None else setup, calls=read())
    checks.update(document=printed() if succeeds else None, status=0 if succeeds else 1)
    if "trace" in expected:
        checks["env"] = {"NORVEL_DEBUG": "1"}
    return dict(checks, name=name, **expected)


def gatt(*characteristics, service=SERVICE):
    return [{"uuid": service, "characteristics": list(characteristics)}]


# The basic characteristic comes first in path order, so picking the detailed one is a choice.
def dev(address=SENSOR, name="Norvel4 TEST", **options):
    device = {"adapter": "hci0", "address": address, "gatt": gatt(BASIC_VALUE, DETAILED_VALUE)}
    return dict(device, **({} if name is None else {"name": name}), **options)


def bluez(*devices, **options):
    return dict({"adapters": [{"name": "hci0"}], "devices": list(devices) or [dev()]}, **options)


def printed(address=SENSOR, name="Norvel4 TEST", **changes):
    return document(identifier(address), name, **changes)


# The calls of a run that scans (or not), connects, reads the characteristic char (None: none)
# and disconnects.
def read(address=SENSOR, char=1, adapter="hci0", scan=True):
    hci = "/org/bluez/" + adapter
    device = f"{hci}/dev_" + address.replace(":", "_")
    scanning = [f"SetDiscoveryFilter {hci}", f"StartDiscovery {hci}", f"sighted {device}"]
    value = [] if char is None else [f"ReadValue {device}/service000a/char{0xB + 3 * char:04x}"]
    calls = ["GetManagedObjects /"] + (scanning + [f"StopDiscovery {hci}"]) * scan
    return calls + [f"Connect {device}"] + value + [f"Disconnect {device}"]


# The sensor sighted 0.3 s into the scan while a second bus client sends the tool forged messages.
def spoofed(name, *forged, delayed=None, **options):
    setup = bluez(dev(sighted_after=0.3), forged=list(forged), delayed=delayed or {})
    return row(name, setup, **options)


def forge(after, delay=0.05, **message):
    return dict(message, after=after, delay=delay)


# bluetoothd exits delay s after what (call or event) and another starts 0.5 s later.
def restarted(name, what, delay, unanswered=(), sensor=None, **options):
    options.setdefault("calls", [what, "exiting", "name-acquired"] + read())
    sensor = dev(sighted_after=0.3, **(sensor or {}))
    setup = bluez(sensor, exit_after=[what, delay], unanswered=list(unanswered))
    return row(name, setup, then=[("exiting", 0.5, "mock")], **options)


# hci0 sighting a "Norvel" decoy; the sensor on the second adapter (hci1 with HCI1_ADDRESS).
def two_adapters(second=None, **hci0):
    second = second or {"name": "hci1", "address": HCI1_ADDRESS}
    adapters = [dict({"name": "hci0"}, **hci0), second]
    decoy = dev(OTHER, "Norvel4 decoy", sighted_after=0.05)
    return {
        "adapters": adapters,
        "devices": [decoy, dev(adapter=second["name"], sighted_after=0.3)],
    }


# fmt: off
ROWS = {r["name"]: r for r in [
    # Also: a name with "/" and a quote, escaped in the JSON.
    row("scan-by-name-reads-detailed-record",
        bluez(dev(OTHER, "Phone", sighted_after=0.05),
              dev(THIRD, None, alias="Norvel4 alias", sighted_after=0.1),
              dev(sighted_after=0.3, gap_name='Sensor "A/B"')),
        document=printed(name='Sensor "A/B"')),
    row("basic-record-when-detailed-missing", bluez(dev(gatt=gatt(BASIC_VALUE))),
        document=printed(status="YELLOW", age=0), calls=read(char=0)),
    # Also: the identifier in lower case, and a device without a Name.
    row("identifier-of-known-device", bluez(dev(name=None, known=True)),
        args=[identifier(SENSOR).lower()], document=printed(name="Norvel4"),
        calls=read(scan=False)),
    row("name-of-wrong-type-counts-as-absent", bluez(dev(name=7, known=True)),
        args=[identifier(SENSOR)], document=printed(name="Norvel4"), calls=read(scan=False)),
    row("unknown-identifier-falls-back-to-scan",
        bluez(dev(known=True, sighting="rssi", sighted_after=0.05),
              dev(THIRD, "Norvel4 decoy", sighted_after=0.1),
              dev(OTHER, "Kitchen", sighted_after=0.3)),
        args=["-v", identifier(OTHER)], document=printed(OTHER, "Kitchen"), calls=read(OTHER)),
    row("permission-denied-by-bus-policy", bus="deny", status=2, calls=[],
        stderr="Error: Bluetooth permission denied\n"),
    row("adapter-powered-off-then-on",
        bluez(adapters=[{"name": "hci0", "powered": False, "powered_after": 1.0}]),
        calls=["GetManagedObjects", "powered-on"] + read()[1:], absent=NO_SCAN, until="powered-on"),
    row("adapter-appears-later", bluez(adapters=[{"name": "hci0", "appears_after": 1.0}]),
        calls=["GetManagedObjects", "adapter-added"] + read()[1:], absent=NO_SCAN,
        until="adapter-added"),
    row("bluetoothd-starts-later", then=[(None, 1.0, "mock")]),
    # One row waits for the real deadline; the other stalls end by SIGTERM after a second of
    # nothing.
    row("no-system-bus-stalls", {}, bus=None, then=[(None, 1.0, SIGTERM)], calls=[]),
    row("no-adapter-times-out", {"adapters": []}, stderr=TIMEOUT, calls=["GetManagedObjects"]),
    row("bluetoothd-never-answers-stalls", bluez(unanswered=["GetManagedObjects"]),
        then=[("GetManagedObjects", 1.0, SIGTERM)], calls=["GetManagedObjects"]),
    row("connection-failure", bluez(dev(connect=[f"{ERROR}.Failed", "Input/output error"])),
        stderr="Error: Failed to connect: Input/output error\n", calls=read(char=None)[:-1],
        connects=(1, 1)),
    # Connect errors bluetoothd gives for a passing local reason, or a collision with another
    # client's attempt, of BlueZ 5.55 to 5.82: connected again after a pause.
    *[row(f"connect-retried-after-{name}", bluez(dev(attempts=[error])), connects=(2, 2))
      for name, error in [
          ("abort-by-local", [f"{ERROR}.Failed", "le-connection-abort-by-local"]),
          ("software-abort", [f"{ERROR}.Failed", "Software caused connection abort"]),
          ("canceled", [f"{ERROR}.Failed", "br-connection-canceled"]),
          ("in-progress", [f"{ERROR}.InProgress", "In Progress"]),
          ("already-in-progress", [f"{ERROR}.Failed", "Operation already in progress"]),
          ("link-up-and-down", [f"{ERROR}.Failed", "le-connection-abort-by-local", "flap"])]],
    # Another client's connection completes after ours collided with it: it stays up.
    row("connect-collides-with-other-client",
        bluez(dev(other_client=[f"{ERROR}.InProgress", "In Progress"])),
        calls=read()[:-1], absent=["Disconnect"], connects=(2, 2)),
    row("link-lost-before-services-resolved", bluez(dev(resolve="drop_once")), connects=(2, 2),
        calls=read()[:5] + ["link-lost", "Connect"] + read()[-2:]),
    # The trace says why the run failed, then the message; a few attempts a second at most.
    row("connect-failing-until-deadline",
        bluez(dev(connect=[f"{ERROR}.Failed", "le-connection-abort-by-local"])),
        stderr=TIMEOUT, calls=read(char=None), connects=(10, 60),
        trace=["adapter /org/bluez/hci0 chosen", "discovery started", f"{SENSOR_PATH} chosen",
               "Connect", "le-connection-abort-by-local", "again in 250 ms", "attempt 2",
               "Disconnect", "status 1"]),
    row("trace-of-a-read", trace=["bluetoothd is", "state: powered on", 'named "Norvel4 TEST"',
                                  "chosen", "answered: connected", "services resolved", "ReadValue",
                                  "13 bytes", "Disconnect", "with the document"]),
    *[row(name, bluez(dev(gatt=gatt(characteristic, service=service))),
          stderr=f"Error{message}\n", calls=read(char=char))
      for name, service, characteristic, char, message in [
          ("no-services", "0000180f-0000-1000-8000-00805f9b34fb",
           {"uuid": "00002a19-0000-1000-8000-00805f9b34fb", "value": "57"}, None,
           ": No Norvel services found"),
          ("no-characteristics", SERVICE,
           {"uuid": "f0cd2004-95da-4f4b-9ac8-aa55d312af0c", "value": "00"}, None,
           ": No Norvel characteristics found"),
          ("read-error", SERVICE,
           {"uuid": DETAILED, "error": [f"{ERROR}.NotPermitted", "Read not permitted"]}, 0,
           " reading characteristic: Read not permitted"),
          # bluetoothd's NotAuthorized is the sensor's refusal, not the bus policy's.
          ("read-not-authorized-without-message", SERVICE,
           {"uuid": DETAILED, "error": [f"{ERROR}.NotAuthorized", ""]}, 0,
           f" reading characteristic: {ERROR}.NotAuthorized"),
          ("value-of-wrong-type-counts-as-absent", SERVICE,
           {"uuid": DETAILED, "text": DETAILED_VALUE["value"]}, 0, ": Empty characteristic value"),
          ("short-value", SERVICE, {"uuid": BASIC, "value": "2003c30195"}, 0,
           ": Unexpected data format or length (5 bytes)")]],
    row("known-device-sighted-only-by-properties-changed",
        bluez(dev(BEFORE, "Norvel4 FAR", known=True, sighting="none"),
              dev(known=True, sighting="rssi", sighted_after=0.3))),
    row("device-of-second-adapter-ignored", {"adapters": [{"name": "hci1"}, {"name": "hci0"}],
                                             "devices": [
        dev(OTHER, "Norvel4 hci1", adapter="hci1", known=True, sighting="rssi", sighted_by="hci0",
            sighted_after=0.05),
        dev(THIRD, "Norvel4 new", adapter="hci1", sighted_by="hci0", sighted_after=0.05),
        dev(sighted_after=0.3)]}),
    row("gatt-signals-after-services-resolved", bluez(dev(resolve="signals_late"))),
    row("device-connected-before-run-left-connected", bluez(dev(connected=True)),
        args=[identifier(SENSOR)], calls=read(scan=False)[:-1], absent=["Disconnect"]),
    row("services-never-resolved-stalls", bluez(dev(resolve="never")),
        then=[("Connect", 1.0, SIGTERM)], calls=read(char=None)),
    *[row(f"{signum.name.lower()}-while-connecting", bluez(dev(connect="hang")),
          then=[("Connect", 0, signum)], calls=read(char=None)) for signum in (SIGTERM, SIGHUP)],
    *[row(f"{signum.name.lower()}-while-reading", bluez(unanswered=["ReadValue"]),
          then=[("ReadValue", 0, signum)]) for signum in (SIGINT, SIGHUP, SIGQUIT)],
    # A client that does not own org.bluez sends signals and replies to the tool's unique name.
    spoofed("forged-device-sighted-first",
            forge("StartDiscovery", added={"address": FORGED, "name": "Norvel4 X"})),
    spoofed("forged-properties-changed",
            forge("Connect", 0, changed=[SENSOR_PATH, DEVICE, {"ServicesResolved": True}]),
            forge("ReadValue", changed=[SENSOR_PATH, DEVICE, {"Name": "Forged name"}]),
            delayed={"ReadValue": 0.3}),
    spoofed("forged-bluetoothd-exit", forge("StartDiscovery", owner_lost="org.bluez")),
    # On a bus that passes replies nobody asked for, a forged answer takes the call's place in
    # sd-bus and the real one is dropped: the run stalls rather than believe it.
    spoofed("forged-read-reply", forge("ReadValue", reply="e703c30195272d57012c017800"),
            delayed={"ReadValue": 0.3}, bus="unrequested", then=[("ReadValue", 1.0, SIGTERM)]),
    # A forged answer while the objects are read one at a time: an adapter that is off, said to
    # be on.
    row("forged-reply-during-object-walk",
        bluez(dev(OTHER, UNREADABLE, known=True), adapters=[{"name": "hci0", "powered": False}],
              forged=[forge("GetAll", reply={"Powered": True})], delayed={"GetAll": 0.3}),
        bus="unrequested", then=[("GetAll", 1.0, SIGTERM)], absent=NO_SCAN,
        calls=["GetManagedObjects", "Introspect"]),
    spoofed("forged-connect-error", forge("Connect", error=[f"{ERROR}.Failed", "forged"]),
            delayed={"Connect": 0.3}, bus="unrequested", then=[("Connect", 1.0, SIGTERM)],
            calls=read(char=None)),
    # bluetoothd leaves the bus at each phase and comes back with no connection.
    restarted("bluetoothd-restarts-before-first-answer", "GetManagedObjects", 0.3,
              ["GetManagedObjects"]),
    restarted("bluetoothd-restarts-while-scanning", "StartDiscovery", 0.1),
    restarted("bluetoothd-restarts-while-connecting", "Connect", 0.2, sensor={"connect": "hang"},
              stderr=f"Error: Failed to connect: {RECIPIENT_LEFT}\n",
              calls=read(char=None)[:-1] + ["exiting"]),
    restarted("bluetoothd-restarts-after-services-resolved", "services-resolved", 0),
    restarted("bluetoothd-restarts-while-reading", "ReadValue", 0.2, ["ReadValue"],
              stderr=f"Error reading characteristic: {RECIPIENT_LEFT}\n",
              calls=read()[:-1] + ["exiting"]),
    # Devices whose names sd-bus cannot read never hide the adapter or the sensor.
    row("unreadable-known-devices", bluez(dev(BEFORE, UNREADABLE, known=True, sighting="none"),
                                          dev(OTHER, UNREADABLE, known=True, sighting="none"),
                                          dev(known=True, sighting="rssi", sighted_after=0.3))),
    row("unreadable-device-sighted",
        bluez(dev(OTHER, UNREADABLE, sighted_after=0.05), dev(sighted_after=0.3))),
    # bluetoothd sends the name it read from the device beside ServicesResolved.
    row("unreadable-name-with-services-resolved", bluez(dev(resolved_name=UNREADABLE))),
    row("unreadable-rename-of-known-device",
        bluez(dev(BEFORE, "Headphones", known=True, sighted_after=0.05,
                  sighted_name=UNREADABLE_RENAME), dev(sighted_after=0.3))),
    # The adapter: NORVEL_ADAPTER by name or address, else the first powered one.
    row("first-powered-adapter", two_adapters(powered=False), calls=read(adapter="hci1")),
    row("adapter-named", two_adapters(), env={"NORVEL_ADAPTER": "hci1"},
        calls=read(adapter="hci1")),
    row("adapter-named-by-address", two_adapters(), env={"NORVEL_ADAPTER": HCI1_ADDRESS.lower()},
        calls=read(adapter="hci1")),
    row("adapter-powered-on-later-chosen",
        two_adapters({"name": "hci1", "powered": False, "powered_after": 1.0}, powered=False),
        calls=read(adapter="hci1")),
    row("named-adapter-absent-waits", two_adapters(), env={"NORVEL_ADAPTER": "hci2"},
        then=[("GetManagedObjects", 1.0, SIGTERM)], calls=["GetManagedObjects"]),
    row("named-adapter-plugged-in-later", two_adapters({"name": "hci2", "appears_after": 1.0}),
        env={"NORVEL_ADAPTER": "hci2"},
        calls=["GetManagedObjects", "adapter-added"] + read(adapter="hci2")[1:], absent=NO_SCAN,
        until="adapter-added"),
    # Load: a crowded tree, and a storm of RSSI changes while the sensor appears.
    row("crowd-of-5000-known-devices", bluez(dev(sighted_after=0.5), crowd={"count": 5000})),
    row("rssi-storm-while-sensor-appears",
        bluez(dev(sighted_after=2.0), crowd={"count": 200}, storm={"rate": 3500, "seconds": 2.5})),
]}
# fmt: on
