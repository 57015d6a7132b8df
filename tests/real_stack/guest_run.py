#!/usr/bin/python3
"""Guest side of the real-stack tier: plays every scenario of scenarios.py in turn against
bluetoothd and the emulated sensor, and writes what each run left behind into
/out/results/NAME/ (stdout, stderr, result.json) for check.py on the host.

Runs inside the guest once guest-init.sh has the stack up; needs NORVEL_BIN, BTD_PID and
the dbus-monitor log of method calls to org.bluez (DBUS_MONITOR=1)."""
import json
import os
import re
import signal
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.realpath(__file__))
sys.path.insert(0, os.path.join(HERE, '..', '..', 'tools', 'real-stack-vm'))
import sensor_control  # noqa: E402
from scenarios import SCENARIOS  # noqa: E402

OUT = os.path.join(os.environ.get('OUT', '/out'), 'results')
MONITOR_LOG = os.path.join(os.environ.get('OUT', '/out'), 'dbus-monitor.log')
RUN_LIMIT_S = 25.0
DROP_WATCH_S = 5.0
COMES_UP_WATCH_S = 8.0
POLL_S = 0.05


def link_up():
    """hci1's side of the link: the kernel lists each connection as hci1:HANDLE."""
    return any(entry.startswith('hci1:') for entry in os.listdir('/sys/class/bluetooth'))


def wait_link_down(limit_s):
    deadline = time.monotonic() + limit_s
    while link_up() and time.monotonic() < deadline:
        time.sleep(POLL_S)
    return not link_up()


class LinkWatch(threading.Thread):
    """Records every change of hci1's link, in seconds since the run started."""

    def __init__(self, start):
        super().__init__(daemon=True)
        self.start_time = start
        self.changes = [(0.0, link_up())]
        self.stopped = threading.Event()

    def run(self):
        while not self.stopped.is_set():
            state = link_up()
            if state != self.changes[-1][1]:
                self.changes.append((round(time.monotonic() - self.start_time, 3), state))
            time.sleep(POLL_S)

    def state(self):
        return self.changes[-1][1]


def bluez_calls(since_wall, until_wall):
    """Method calls to org.bluez seen by dbus-monitor in the window, but the sensor's own."""
    calls = []
    pattern = re.compile(r'^method call time=([\d.]+) sender=(\S+) -> destination=org\.bluez '
                         r'serial=\d+ path=([^;]+); interface=([^;]+); member=(\w+)')
    with open(MONITOR_LOG) as log:
        for line in log:
            found = pattern.match(line)
            if not found:
                continue
            when, sender, path, interface, member = found.groups()
            if since_wall <= float(when) <= until_wall and not path.startswith('/org/bluez/hci1'):
                calls.append({'t': round(float(when) - since_wall, 3), 'sender': sender,
                              'path': path, 'member': '%s.%s' % (interface, member)})
    return calls


def connect_call_seen(since_wall):
    return any(c['member'] == 'org.bluez.Device1.Connect'
               for c in bluez_calls(since_wall, time.time() + 1))


def bluetoothd_alive(pid):
    try:
        with open('/proc/%d/comm' % pid) as f:
            return f.read().strip() == 'bluetoothd'
    except OSError:
        return False


def forget_sensor(device_path):
    subprocess.run(['busctl', '--system', 'call', 'org.bluez', '/org/bluez/hci0',
                    'org.bluez.Adapter1', 'RemoveDevice', 'o', device_path],
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def disconnect(device_path):
    subprocess.run(['busctl', '--system', '--timeout=10', 'call', 'org.bluez', device_path,
                    'org.bluez.Device1', 'Disconnect'],
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def device_name(device_path):
    """hci0's Device1.Name of the sensor, or None when bluetoothd has none."""
    answer = subprocess.run(['busctl', '--system', 'get-property', 'org.bluez', device_path,
                             'org.bluez.Device1', 'Name'], capture_output=True, text=True)
    return answer.stdout.strip()[3:-1] if answer.returncode == 0 else None


def terminate_point_reached(scenario, reads_before, since_wall):
    if scenario.terminate_when == 'reading':
        return sensor_control.status()['reads'] > reads_before
    return connect_call_seen(since_wall)


def play(scenario, values, btd_pid):
    """Runs one scenario and returns what the host needs to check it."""
    result = {}
    if not wait_link_down(6.0):
        # a link left up by the previous run (already failed there) must not fail this one
        result['closed_leftover_link'] = True
        disconnect(values['device_path'])
        wait_link_down(6.0)
    result['link_down_before'] = not link_up()
    sensor_control.configure(detailed=scenario.detailed, basic=scenario.basic,
                             refuse=scenario.refuse, hold=scenario.hold)
    if scenario.forget:
        forget_sensor(values['device_path'])
    if values.get('gap_name') != scenario.gap_name:
        sensor_control.gap_name(scenario.gap_name)
        values['gap_name'] = scenario.gap_name
    sensor_control.advertise(scenario.advertising)
    time.sleep(0.3)
    result['name_before'] = device_name(values['device_path'])
    reads_before = sensor_control.status()['reads']
    command = [part.format(**values) for part in
               (scenario.command or [os.environ['NORVEL_BIN'], *scenario.args])]
    result['command'] = command

    start_wall = time.time()
    start = time.monotonic()
    watch = LinkWatch(start)
    watch.start()
    process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    outputs = {}

    def collect():
        outputs['stdout'], outputs['stderr'] = process.communicate()
    collector = threading.Thread(target=collect)
    collector.start()
    if scenario.terminate_when:
        # the connect point waits an extra second so the kernel's attempt is under way
        settle = 1.0 if scenario.terminate_when == 'connecting' else 0.0
        while process.poll() is None and time.monotonic() - start < 12.0:
            if terminate_point_reached(scenario, reads_before, start_wall):
                time.sleep(settle)
                break
            time.sleep(POLL_S)
        result['signal_at'] = round(time.monotonic() - start, 3)
        result['link_at_signal'] = watch.state()
        if process.poll() is None:
            process.send_signal(signal.SIGTERM)
    collector.join(RUN_LIMIT_S)
    if collector.is_alive():
        process.kill()
        collector.join()
        result['killed'] = True
    result['exit_at'] = round(time.monotonic() - start, 3)
    result['status'] = process.returncode
    result['wall'] = result['exit_at']

    if scenario.advertise_after:
        result['advertising_again_at'] = round(time.monotonic() - start, 3)
        sensor_control.advertise(True)
    if scenario.link == 'up-then-down':
        limit = time.monotonic() + DROP_WATCH_S + 0.5
        while watch.state() and time.monotonic() < limit:
            time.sleep(POLL_S)
    elif scenario.link == 'comes-up' or scenario.advertise_after:
        time.sleep(COMES_UP_WATCH_S)
    else:
        time.sleep(1.0)
    watch.stopped.set()
    watch.join()
    result['link_changes'] = watch.changes
    time.sleep(0.2)
    result['calls'] = bluez_calls(start_wall, time.time())
    result['name_after'] = device_name(values['device_path'])
    result['bluetoothd_alive'] = bluetoothd_alive(btd_pid)
    if scenario.disconnect_after:
        disconnect(values['device_path'])
    if not scenario.advertising:
        sensor_control.advertise(True)
    return result, outputs


def identifier_of(stdout):
    try:
        return json.loads(stdout)['address']
    except (ValueError, KeyError, TypeError):
        return '00000000-0000-8000-8000-000000000000'


def main():
    btd_pid = int(os.environ['BTD_PID'])
    address = subprocess.run(['busctl', '--system', 'get-property', 'org.bluez', '/org/bluez/hci1',
                              'org.bluez.Adapter1', 'Address'], capture_output=True,
                             text=True).stdout.split('"')[1]
    values = {'device_path': '/org/bluez/hci0/dev_' + address.replace(':', '_'),
              'gap_name': 'Norvel4 TEST'}
    os.makedirs(OUT, exist_ok=True)
    with open(os.path.join(OUT, 'stack.json'), 'w') as f:
        json.dump({'sensor_address': address, 'bluetoothd_pid': btd_pid}, f)
    for scenario in SCENARIOS:
        print('SCENARIO %s' % scenario.name, flush=True)
        try:
            result, outputs = play(scenario, values, btd_pid)
        except Exception as error:  # a broken stack must not hide the other scenarios
            result, outputs = {'error': repr(error)}, {'stdout': b'', 'stderr': b''}
        folder = os.path.join(OUT, scenario.name)
        os.makedirs(folder, exist_ok=True)
        for stream in ('stdout', 'stderr'):
            with open(os.path.join(folder, stream), 'wb') as f:
                f.write(outputs.get(stream) or b'')
        with open(os.path.join(folder, 'result.json'), 'w') as f:
            json.dump(result, f, indent=1)
        print('SCENARIO-DONE %s status=%s wall=%s' % (scenario.name, result.get('status'),
                                                        result.get('wall')), flush=True)
        if 'id' not in values and scenario.name.startswith('a-'):
            values['id'] = identifier_of(outputs.get('stdout'))
            values['id_lower'] = values['id'].lower()
    return 0


if __name__ == '__main__':
    sys.exit(main())
