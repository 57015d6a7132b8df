#!/usr/bin/python3
"""Guest side of the speed comparison: runs norvel-read, the python3-dbus floor client and
the bleak script in turn through guest_runner.py, ROUNDS times (the order rotates each
round), against the same emulated sensor. For every run it stores the time from start to
the complete JSON document on stdout, the peak resident set size and whether the JSON held
the sensor's values, in /out/bench/runs.json.

Before every run hci0 forgets the sensor, so that each client meets it as on a first
contact: found by the first advertising report when the scan starts, instead of waiting
for the sensor's next re-advertisement, which would add noise.

usage: python3 -m tools.bench.bench_guest NORVEL_READ [ROUNDS]   (ROUNDS defaults to 7)"""
import json
import os
import sys
import time

from tools.real_stack_vm import guest_runner as runner

HERE = os.path.dirname(os.path.realpath(__file__))
OUT = os.path.join(runner.OUT, "bench")
EXPECTED = {"co2": 800, "temperature": "22.6 °C", "pressure": "1013.3 hPa", "status": "GREEN"}


def holds_expected(stdout):
    try:
        document = json.loads(stdout)
    except ValueError:
        return False
    return all(document.get(k) == v for k, v in EXPECTED.items())


def main():
    clients = {
        "norvel-read": [sys.argv[1]],
        "python3-dbus floor": ["/usr/bin/python3", os.path.join(HERE, "floor_client.py")],
        "bleak script": ["/usr/bin/python3", os.path.join(HERE, "bleak_client.py")],
    }
    rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 7
    device = runner.device_path(runner.sensor_address())
    os.makedirs(OUT, exist_ok=True)
    names = list(clients)
    runs = []
    for round_index in range(rounds):
        order = names[round_index % len(names) :] + names[: round_index % len(names)]
        for name in order:
            runner.close_leftover_link(device)
            runner.forget_sensor(device)
            time.sleep(0.5)
            run = runner.Run(clients[name], peak_memory=True)
            stdout, stderr = run.wait()
            record = dict(
                run.record,
                client=name,
                round=round_index,
                valid=holds_expected(stdout),
                stderr=stderr.decode("utf-8", "replace")[-300:],
            )
            runs.append(record)
            print(
                "BENCH %s round %d: json %.3f s, wall %.3f s, peak %d kB, valid %s"
                % (
                    name,
                    round_index,
                    record.get("json_at", -1),
                    record["wall"],
                    record.get("peak_kb", -1),
                    record["valid"],
                ),
                flush=True,
            )
    runner.close_leftover_link(device)
    with open(os.path.join(OUT, "runs.json"), "w") as f:
        json.dump(runs, f, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
