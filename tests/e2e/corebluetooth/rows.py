"""norvel-read built against the model of CoreBluetooth: one row per CoreBluetooth behaviour."""
# /usr/bin/python3 -m tests.e2e.corebluetooth.rows --list | --binary BINARY ROW
# A row: the model's scenario (tools/corebluetooth_model/README.md), the command line and what
# must come out: stdout, stderr, status (minus the signal the row sends), the calls and events
# the model logs in this order (line prefixes), none of absent, no API MISUSE, and the end on
# the model's virtual clock: at 15 s exactly for the deadline, else before it.

import json
import os
import subprocess
import tempfile
import time
from signal import SIGINT, SIGTERM

from tests.e2e.expected_output import differences, document, first_missing, json_document, main
from tests.e2e.mock.scenarios import BASIC, BASIC_VALUE, DETAILED, DETAILED_VALUE, TIMEOUT

# fmt: off
SENSOR, OTHER = "6A1F0D2E-3B4C-4D5E-8F60-718293A4B5C6", "0B5E9C77-1D2A-4E3F-9A8B-7C6D5E4F3A2B"
CONNECT_FAILED = {"domain": "CBErrorDomain", "code": 10,
                  "description": "The connection has failed unexpectedly."}
READ_REFUSED = {"domain": "CBATTErrorDomain", "code": 2, "description": "Reading is not permitted."}
CHARACTERISTICS = (f'discoverCharacteristics: ("{DETAILED.upper()}", "{BASIC.upper()}") '
                   "forService: FCE0")
# fmt: on


def sensor(identifier=SENSOR, name="Norvel4 TEST", **options):
    services = [{"uuid": "FCE0", "characteristics": [BASIC_VALUE, DETAILED_VALUE]}]
    peripheral = dict(identifier=identifier, sighted_after=0.3, services=services)
    return dict(peripheral, **({} if name is None else {"name": name}), **options)


def one(*characteristics, service="FCE0"):
    return sensor(services=[{"uuid": service, "characteristics": list(characteristics)}])


# The calls of a run that finds the sensor (by scan or retrieval), reads char (None: none) and ends.
def read(identifier=SENSOR, char=DETAILED, scan=True):
    found = ["scanForPeripheralsWithServices: nil options: nil", "stopScan"] if scan else []
    found += [f"connectPeripheral: {identifier} options: nil", "discoverServices: (FCE0)"]
    value = [CHARACTERISTICS, f"readValueForCharacteristic: {char.upper()}"] if char else []
    return found + value + [f"cancelPeripheralConnection: {identifier}"]


def row(name, *peripherals, states=((0, 5),), signal=None, **expected):
    fails = expected.get("stderr") or signal
    scenario = {"states": [list(s) for s in states], "peripherals": list(peripherals) or [sensor()]}
    if signal:
        scenario["signal"] = {"after": signal[0], "number": signal[1]}
    status = -signal[1] if signal else 1 if fails else 0
    checks = dict(args=[], document=None if fails else document(SENSOR), stderr="", status=status)
    checks.update(calls=read(), absent=[], name=name, scenario=scenario)
    return dict(checks, **expected)


# fmt: off
ROWS = {r["name"]: r for r in [
    # The decoy's own name wins over the "Norvel" it advertises.
    row("scan-by-name", sensor(OTHER, "Phone", local_name="Norvel4 X", sighted_after=0.05),
        sensor()),
    row("scan-by-advertised-local-name", sensor(name=None, local_name="Norvel4 AD"),
        document=document(SENSOR, "Norvel4")),
    row("identifier-retrieved-without-scan", sensor(known=True, sighted_after=None),
        args=["-v", SENSOR.lower()], absent=["scanFor"],
        calls=[f"retrievePeripheralsWithIdentifiers: ({SENSOR})"] + read(scan=False)),
    row("unknown-identifier-found-by-scan", sensor(name="Norvel4 decoy", sighted_after=0.1),
        sensor(OTHER, "Kitchen"), args=[OTHER], document=document(OTHER, "Kitchen"),
        calls=["retrievePeripheralsWithIdentifiers"] + read(OTHER)),
    row("unauthorized", states=[(0, 3)], stderr="Error: Bluetooth permission denied\n", status=2,
        calls=[], absent=["scanFor", "retrieve"]),
    row("powered-off-throughout-times-out", states=[(0, 4)], stderr=TIMEOUT, calls=[],
        absent=["scanFor"]),
    row("powered-off-then-on", states=[(0, 4), (2, 5)],
        calls=["event centralManagerDidUpdateState 4", "event centralManagerDidUpdateState 5"]
        + read()),
    row("connect-failure", sensor(connect=CONNECT_FAILED), calls=read(char=None)[:3],
        absent=["discoverServices"],
        stderr=f'Error: Failed to connect: {CONNECT_FAILED["description"]}\n'),
    row("no-services", one({"uuid": "2A19", "value": "57"}, service="180F"),
        stderr="Error: No Norvel services found\n", calls=read(char=None)),
    row("no-characteristics", one({"uuid": "F0CD2004-95DA-4F4B-9AC8-AA55D312AF0C", "value": "00"}),
        stderr="Error: No Norvel characteristics found\n",
        calls=read(char=None)[:-1] + [CHARACTERISTICS]),
    row("read-error", one({"uuid": DETAILED, "error": READ_REFUSED}),
        stderr=f'Error reading characteristic: {READ_REFUSED["description"]}\n'),
    row("empty-value", one({"uuid": DETAILED, "value": None}),
        stderr="Error: Empty characteristic value\n"),
    row("short-value", one({"uuid": BASIC, "value": "2003c30195"}), calls=read(char=BASIC),
        stderr="Error: Unexpected data format or length (5 bytes)\n"),
    row("basic-record-when-detailed-missing", one(BASIC_VALUE),
        document=document(SENSOR, status="YELLOW", age=0), calls=read(char=BASIC)),
    row("sigint-while-connecting", sensor(connect="hang"), signal=("connectPeripheral:", SIGINT),
        calls=read(char=None)[:3] + read(char=None)[-1:], absent=["discoverServices"]),
    row("sigterm-while-reading", one({"uuid": DETAILED, "hang": True}),
        signal=("readValueForCharacteristic:", SIGTERM)),
]}
# fmt: on


def check(row, got, log, seconds):
    stdout = json_document(row["document"]) if row["document"] else ""
    problems = differences(dict(stdout=stdout, stderr=row["stderr"], status=row["status"]), got)
    lines = [line.split(" ", 1) for line in log.splitlines()]
    texts = [text for _, text in lines]
    missing = first_missing(texts, row["calls"], lambda text, call: text.startswith(call))
    problems += [] if missing is None else [f"{missing!r} not logged (in this order)"]
    misuse = [t for t in texts if "API MISUSE" in t or any(map(t.startswith, row["absent"]))]
    problems += [f"logged: {text!r}" for text in misuse]
    ended = next((float(at) for at, text in lines if text == "exit"), None)
    in_time = ended is not None and ended <= 15 and (ended == 15) == (row["stderr"] == TIMEOUT)
    if row["status"] >= 0 and not in_time:
        problems.append(f"ended at {ended} s on the virtual clock")
    return problems + ([f"took {seconds:.1f} s"] if seconds > 5 else [])


def run(binary, row):
    with tempfile.NamedTemporaryFile("r") as log:
        scenario = json.dumps(row["scenario"])
        environment = dict(os.environ, CB_MODEL_SCENARIO=scenario, CB_MODEL_LOG=log.name)
        started = time.monotonic()
        tool = subprocess.run(
            [binary, *row["args"]], env=environment, capture_output=True, timeout=30
        )
        seconds, logged = time.monotonic() - started, log.read()
    got = dict(status=tool.returncode, stdout=tool.stdout.decode(errors="replace"))
    got["stderr"] = tool.stderr.decode(errors="replace")
    report = f'{row["name"]}: status {tool.returncode} after {seconds:.2f} s\n'
    report += f'stdout: {got["stdout"]!r}\nstderr: {got["stderr"]!r}\nmodel log:\n{logged}'
    return report, check(row, got, logged, seconds)


if __name__ == "__main__":
    main(ROWS, run)
