#!/usr/bin/python3
"""Guest side of the real-stack tier: plays every scenario of scenarios.py in turn through
the real-stack tool's runner and leaves each run in /out/results/NAME/ (stdout, stderr,
result.json) for check.py on the host. Needs the dbus-monitor log (DBUS_MONITOR=1).

usage: python3 -m tests.e2e.real_stack.guest_play NORVEL_READ   (the repository's root in PYTHONPATH)"""
import json
import os
import sys
import time

from tests.e2e.real_stack.scenarios import SCENARIOS
from tools.real_stack_vm import guest_runner as runner
from tools.real_stack_vm import sensor_control

RESULTS = os.path.join(runner.OUT, 'results')
DROP_WATCH_S = 5.0
COMES_UP_WATCH_S = 8.0


def set_up(scenario, values):
    """Brings hci1's link, bluetoothd's knowledge and the sensor to what the row asks for."""
    result = {'closed_leftover_link': runner.close_leftover_link(values['device_path'])}
    result['link_down_before'] = not runner.link_up()
    sensor_control.configure(detailed=scenario.detailed, basic=scenario.basic,
                             refuse=scenario.refuse, hold=scenario.hold)
    if scenario.forget:
        runner.forget_sensor(values['device_path'])
    if values['gap_name'] != scenario.gap_name:
        sensor_control.gap_name(scenario.gap_name)
        values['gap_name'] = scenario.gap_name
    sensor_control.advertise(scenario.advertising)
    time.sleep(0.3)
    result['name_before'] = runner.device_name(values['device_path'])
    return result


def play(scenario, values, tool):
    """Runs one scenario and returns its record and outputs."""
    result = set_up(scenario, values)
    reads_before = sensor_control.status()['reads']
    result['command'] = [part.format(**values)
                         for part in (scenario.command or [tool, *scenario.args])]
    run = runner.Run(result['command'], watch_link=True)
    if scenario.terminate_when == 'reading':
        run.terminate_when(lambda: sensor_control.status()['reads'] > reads_before)
    elif scenario.terminate_when == 'connecting':
        # a second more, so that the kernel's connection attempt is under way
        run.terminate_when(lambda: any(c['member'] == 'org.bluez.Device1.Connect'
                                       for c in runner.bluez_calls(run.start_wall)),
                           settle_s=1.0)
    stdout, stderr = run.wait()
    if scenario.advertise_after:
        result['advertising_again_at'] = run.elapsed()
        sensor_control.advertise(True)
    if scenario.link == 'up-then-down':
        run.link.wait_down(DROP_WATCH_S + 0.5)
    elif scenario.link == 'comes-up' or scenario.advertise_after:
        time.sleep(COMES_UP_WATCH_S)
    else:
        time.sleep(1.0)
    result.update(run.record, link_changes=run.link.stop())
    time.sleep(0.2)
    result['calls'] = runner.bluez_calls(run.start_wall)
    result['name_after'] = runner.device_name(values['device_path'])
    result['bluetoothd_alive'] = runner.bluetoothd_alive(int(os.environ['BTD_PID']))
    if scenario.disconnect_after:
        runner.disconnect(values['device_path'])
    if not scenario.advertising:
        sensor_control.advertise(True)
    return result, stdout, stderr


def identifier_of(stdout):
    try:
        return json.loads(stdout)['address']
    except (ValueError, KeyError, TypeError):
        return '00000000-0000-8000-8000-000000000000'


def main():
    address = runner.sensor_address()
    values = {'device_path': runner.device_path(address), 'gap_name': 'Norvel4 TEST'}
    os.makedirs(RESULTS, exist_ok=True)
    with open(os.path.join(RESULTS, 'stack.json'), 'w') as f:
        json.dump({'sensor_address': address, 'bluetoothd_pid': int(os.environ['BTD_PID'])}, f)
    for index, scenario in enumerate(SCENARIOS):
        print('SCENARIO %s' % scenario.name, flush=True)
        try:
            result, stdout, stderr = play(scenario, values, sys.argv[1])
        except Exception as error:  # a broken stack must not hide the other scenarios
            result, stdout, stderr = {'error': repr(error)}, b'', b''
        runner.save(os.path.join(RESULTS, scenario.name), result, stdout, stderr)
        print('SCENARIO-DONE %s status=%s wall=%s' % (scenario.name, result.get('status'),
                                                        result.get('wall')), flush=True)
        if index == 0:
            values['id'] = identifier_of(stdout)
            values['id_lower'] = values['id'].lower()
    return 0


if __name__ == '__main__':
    sys.exit(main())
