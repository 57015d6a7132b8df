#!/usr/bin/python3
"""Guest side of the speed comparison: runs norvel-read, the python3-dbus floor client and
the bleak script in turn, ROUNDS times (the order rotates each round), each under
/usr/bin/time -v, against the same emulated sensor. For every run it stores the time from
start to the complete JSON document on stdout, the peak resident set size and whether the
JSON held the sensor's values, in /out/bench/runs.json.

Before every run hci0 forgets the sensor, so that each client meets it as on a first
contact: found by the first advertising report when the scan starts, instead of waiting
for the sensor's next re-advertisement (every 2 s), which would add up to 2 s of noise.

Needs NORVEL_BIN; ROUNDS defaults to 7."""
import json
import os
import re
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.realpath(__file__))
OUT = os.path.join(os.environ.get('OUT', '/out'), 'bench')
CLIENTS = {
    'norvel-read': [os.environ['NORVEL_BIN']],
    'python3-dbus floor': ['/usr/bin/python3', os.path.join(HERE, 'floor_client.py')],
    'bleak script': ['/usr/bin/python3', os.path.join(HERE, 'bleak_client.py')],
}
EXPECTED = {'co2': 800, 'temperature': '22.6 °C', 'pressure': '1013.3 hPa', 'status': 'GREEN'}


def link_up():
    return any(entry.startswith('hci1:') for entry in os.listdir('/sys/class/bluetooth'))


def wait_link_down(limit_s=10.0):
    deadline = time.monotonic() + limit_s
    while link_up() and time.monotonic() < deadline:
        time.sleep(0.05)


def forget_sensor():
    address = subprocess.run(['busctl', '--system', 'get-property', 'org.bluez', '/org/bluez/hci1',
                              'org.bluez.Adapter1', 'Address'], capture_output=True,
                             text=True).stdout.split('"')[1]
    subprocess.run(['busctl', '--system', 'call', 'org.bluez', '/org/bluez/hci0',
                    'org.bluez.Adapter1', 'RemoveDevice', 'o',
                    '/org/bluez/hci0/dev_' + address.replace(':', '_')],
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def timed_run(command):
    rusage = os.path.join(OUT, 'time.txt')
    start = time.monotonic()
    process = subprocess.Popen(['/usr/bin/time', '-v', '-o', rusage, *command],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    stdout = b''
    json_at = None
    for line in process.stdout:
        stdout += line
        if line == b'}\n' and json_at is None:
            json_at = time.monotonic() - start
    stderr = process.stderr.read()
    status = process.wait()
    wall = time.monotonic() - start
    with open(rusage) as f:
        peak_kb = int(re.search(r'Maximum resident set size \(kbytes\): (\d+)', f.read()).group(1))
    try:
        document = json.loads(stdout)
        valid = all(document.get(k) == v for k, v in EXPECTED.items())
    except ValueError:
        valid = False
    return {'status': status, 'json_s': json_at, 'wall_s': round(wall, 3), 'peak_kb': peak_kb,
            'valid': valid, 'stderr': stderr.decode('utf-8', 'replace')[-300:]}


def main():
    rounds = int(os.environ.get('ROUNDS', '7'))
    os.makedirs(OUT, exist_ok=True)
    names = list(CLIENTS)
    runs = []
    for round_index in range(rounds):
        order = names[round_index % len(names):] + names[:round_index % len(names)]
        for name in order:
            wait_link_down()
            forget_sensor()
            time.sleep(0.5)
            run = timed_run(CLIENTS[name])
            run.update(client=name, round=round_index)
            runs.append(run)
            print('BENCH %s round %d: json %.3f s, wall %.3f s, peak %d kB, valid %s' % (
                name, round_index, run['json_s'] or -1, run['wall_s'], run['peak_kb'],
                run['valid']), flush=True)
    wait_link_down()
    with open(os.path.join(OUT, 'runs.json'), 'w') as f:
        json.dump(runs, f, indent=1)
    return 0


if __name__ == '__main__':
    sys.exit(main())
