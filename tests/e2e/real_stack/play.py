# The real-stack tier, in the guest: plays each row against bluetoothd and the emulated sensor,
# checks what it saw and writes one line per row to /out/report, then "N passed, N failed"
# (counting checks). Exit status 0 only when every check passed. Needs DBUS_MONITOR=1.
#   usage: python3 -m tests.e2e.real_stack.play NORVEL_READ   (the repository's root in PYTHONPATH)
import os, signal, sys, time
from tests.e2e.expected_output import identifier, json_document
from tools.real_stack_vm import guest_runner as runner
from tools.real_stack_vm.guest_runner import sensor

# fmt: off
RECORD = {'co2': 800, 'temperature': '22.6 °C', 'humidity': '45 %', 'pressure': '1013.3 hPa',
          'battery': '87 %', 'status': 'GREEN', 'interval': 300, 'age': 120}
CONNECT = 'org.bluez.Device1.Connect'
# link: 'drops' (a read reached the sensor, and the link goes within 5 s of the exit), 'none' (no
# Connect), 'comes-up' or 'cancelled' (Connect before SIGTERM; the link stays down 8 s after the
# silent sensor advertises again). printed: the "name" of the document on stdout, None for none.
# Where bluetoothd behaves differently by version, a row's value is a table: {version: value}.
DEFAULT = dict(args=[], gap='Norvel4 TEST', printed='Norvel4 TEST', stderr='', status=0, scan=True,
               link='drops', wall=(0, 15), advertising=True, forget=False, refuse=False, hold=0,
               term=None, env={})
ROWS = [  # in this order: each row finds bluetoothd as the one before left it
    # No argument: scan by the advertised name, read the detailed record.
    dict(name='scan-by-name'),
    # The identifier printed before: bluetoothd knows the sensor, no scan.
    dict(name='known-identifier', args=['{id}'], scan=False),
    # The same with the debug trace on stderr: stdout is still the document alone.
    dict(name='debug-trace', args=['{id}'], scan=False, env={'NORVEL_DEBUG': '1'}, stderr=None),
    # Unknown sensor whose GAP Device Name lacks "Norvel": found by the advertised name, printed
    # with Device1.Name as bluetoothd holds it once connected, the GAP name.
    dict(name='gap-name-unknown', forget=True, gap='Sensor GAP', printed='Sensor GAP'),
    # Now known by that GAP name: the scan still finds it by the name it advertises. Printed with
    # the Device1.Name bluetoothd then holds: still the GAP name with 5.66, the advertised one
    # with 5.82.
    dict(name='gap-name-known', gap='Sensor GAP',
         printed={'5.66': 'Sensor GAP', '5.82': 'Norvel4 TEST'}),
    # The sensor refuses the read: bluetoothd's text for it.
    dict(name='read-refused', refuse=True, printed=None, status=1,
         stderr='Error reading characteristic: Read not permitted\n'),
    # SIGTERM while a read answer is held: dies by it, and the link goes.
    dict(name='sigterm-reading', args=['{id}'], scan=False, hold=1.5, term='reading', printed=None,
         status=-signal.SIGTERM),
    # Control for the next row: a Connect its caller gave up on (busctl's 3 s) completes once the
    # sensor advertises again.
    dict(name='abandoned-connect-completes', advertising=False, printed=None, stderr=None,
         status=1, scan=None, link='comes-up',
         command=['busctl', '--system', '--timeout=3', 'call', 'org.bluez', '{path}',
                  'org.bluez.Device1', 'Connect']),
    # SIGTERM while Connect is pending: the attempt is cancelled.
    dict(name='sigterm-connect-pending', args=['{id}'], advertising=False, term='connecting',
         printed=None, status=-signal.SIGTERM, scan=False, link='cancelled'),
    # A silent, unknown sensor: the timeout.
    dict(name='timeout', advertising=False, forget=True, printed=None, link='none', wall=(15, 16),
         status=1, stderr='Error: Timeout searching for Norvel sensor\n'),
]
# fmt: on


def play(row, tool, address, path, pid):
    runner.close_leftover_link(path)
    sensor("configure", refuse=row["refuse"], hold=row["hold"])
    if row["forget"]:
        runner.forget_sensor(path)
    sensor("gap_name", name=row["gap"])
    sensor("advertise", on=row["advertising"])
    time.sleep(0.3)
    reads = sensor("status")["reads"]
    values = {"id": identifier(address), "path": path}
    run = runner.Run(
        [part.format(**values) for part in row.get("command", [tool, *row["args"]])], env=row["env"]
    )
    calls = lambda: [
        c["member"]
        for c in runner.bluez_calls(run.start_wall)
        if c["path"].startswith("/org/bluez/hci0")
    ]
    held = {
        None: lambda: True,
        "reading": lambda: run.terminate_when(lambda: sensor("status")["reads"] > reads),
        "connecting": lambda: run.terminate_when(lambda: CONNECT in calls(), settle_s=1.0),
    }[row["term"]]()
    stdout, stderr = run.wait()
    if not row["advertising"]:
        sensor("advertise", on=True)
    link = {
        "drops": lambda: sensor("status")["reads"] > reads and runner.wait_link(False, 5.0),
        "comes-up": lambda: runner.wait_link(True, 8.0),
        "cancelled": lambda: not runner.wait_link(True, 8.0),
        "none": lambda: not runner.link_up(),
    }[row["link"]]()
    time.sleep(0.2)  # dbus-monitor's last lines
    expected = (
        json_document(dict(RECORD, address=identifier(address), name=row["printed"]))
        if row["printed"]
        else ""
    )
    low, high = row["wall"]
    return {
        "exit status %d" % row["status"]: run.record["status"] == row["status"],
        "stdout": stdout.decode(errors="replace") == expected,
        "stderr": row["stderr"] in (None, stderr.decode(errors="replace")),
        "wall time in [%g, %g] s" % row["wall"]: low <= run.record["wall"] <= high,
        "scan"
        if row["scan"]
        else "no scan": row["scan"] in (None, "org.bluez.Adapter1.StartDiscovery" in calls()),
        "Connect"
        if row["link"] != "none"
        else "no Connect": (CONNECT in calls()) == (row["link"] != "none"),
        "signal sent at its point": held,
        "link " + row["link"]: link,
        "bluetoothd alive": runner.bluetoothd_alive(pid),
    }, (run.record, stdout[-300:], stderr[-300:])


def main():
    address, passed, failed = runner.sensor_address(), 0, 0
    with open(os.path.join(runner.OUT, "report"), "w") as report:
        for row in ROWS:
            row = {
                k: v[runner.BLUEZ] if type(v) is dict and k != "env" else v
                for k, v in {**DEFAULT, **row}.items()
            }
            try:
                checks, seen = play(
                    row,
                    sys.argv[1],
                    address,
                    runner.device_path(address),
                    int(os.environ["BTD_PID"]),
                )
            except Exception as error:  # a broken stack must not hide the other rows
                checks, seen = {"played": False}, repr(error)
            bad = [what for what, ok in checks.items() if not ok]
            passed, failed = passed + len(checks) - len(bad), failed + len(bad)
            print(
                "FAIL %s: %s; saw %s" % (row["name"], ", ".join(bad), seen)
                if bad
                else "PASS " + row["name"],
                file=report,
                flush=True,
            )
        print("%d passed, %d failed" % (passed, failed), file=report)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
