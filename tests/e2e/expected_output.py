"""What norvel-read must print for a sensor, and the checks and command line the e2e tiers share."""

import json
import sys

# fmt: off
KEY_ORDER = ("address", "name", "co2", "temperature", "humidity", "pressure", "battery", "status",
             "interval", "age")
# The document of the detailed record's worked example, less the sensor's address and name.
READINGS = {"co2": 800, "temperature": "22.6 °C", "humidity": "45 %", "pressure": "1013.3 hPa",
            "battery": "87 %", "status": "GREEN", "interval": 300, "age": 120}
# fmt: on


# The tool's identifier for a Bluetooth address: version-8 UUID, address last.
def identifier(address):
    return "00000000-0000-8000-8000-" + address.replace(":", "").upper()


# The document printed for the worked example, with address as the tool prints it.
def document(address, name="Norvel4 TEST", **changes):
    return dict(READINGS, address=address, name=name, **changes)


# The exact text expected on stdout: members in the tool's order, "/" escaped.
def json_document(document):
    def text(value):
        if isinstance(value, int):
            return str(value)
        return json.dumps(value, ensure_ascii=False).replace("/", "\\/")

    return "{\n" + ",\n".join(f'  "{key}" : {text(document[key])}' for key in KEY_ORDER) + "\n}\n"


# One line for each key whose value in got is not the expected one.
def differences(expected, got):
    wrong = [key for key, value in expected.items() if got[key] != value]
    return [f"{key}: expected {expected[key]!r}, got {got[key]!r}" for key in wrong]


# The first wanted item that matches nothing logged after the previous ones, or None.
def first_missing(logged, wanted, matches):
    rest = iter(logged)
    return next((item for item in wanted if not any(matches(line, item) for line in rest)), None)


# --list | --binary BINARY ROW. run(binary, row) gives a report and the row's problems.
def main(rows, run):
    args = sys.argv[1:]
    if args == ["--list"]:
        return print("\n".join(rows))
    if len(args) != 3 or args[0] != "--binary" or args[2] not in rows:
        sys.exit(f"usage: {sys.argv[0]} --list | --binary BINARY ROW")
    report, problems = run(args[1], rows[args[2]])
    print(report + ("FAILED:\n  " + "\n  ".join(problems) if problems else "PASSED"))
    sys.exit(1 if problems else 0)
