#!/usr/bin/python3
"""Host side of the real-stack tier: checks exactly what each scenario's run left in
RESULTS_DIR (written by guest_play.py in the guest) and prints one line per check, then
"N passed, N failed". Exit status 0 only when every check passed.

usage: python3 -m tests.e2e.real_stack.check RESULTS_DIR   (the repository's root in PYTHONPATH)"""
import json
import os
import sys

from tests.e2e.expected_output import identifier, json_document
from tests.e2e.real_stack.scenarios import SCENARIOS

DROP_LIMIT_S = 5.0


def link_checks(scenario, result):
    changes = result.get('link_changes', [])
    ups = [t for t, up in changes if up]
    downs = [t for t, up in changes if not up]
    exit_at = result.get('wall', 0)
    if scenario.link == 'up-then-down':
        came_up = result.get('link_down_before') is True and any(0 < t <= exit_at for t in ups)
        yield 'link came up during the run', came_up, changes
        if scenario.terminate_when:
            yield 'link was up when SIGTERM was sent', result.get('link_at_signal') is True, \
                result.get('signal_at')
        dropped = bool(changes) and not changes[-1][1] and came_up
        late = downs[-1] - exit_at if downs else None
        yield 'link dropped within %.0f s of the exit' % DROP_LIMIT_S, \
            dropped and late is not None and late <= DROP_LIMIT_S, \
            'exit at %s, changes %s' % (exit_at, changes)
    elif scenario.link == 'none':
        yield 'link never came up', result.get('link_down_before') is True and not ups, changes
    elif scenario.link == 'comes-up':
        again = result.get('advertising_again_at', 1e9)
        yield 'link came up after the sensor advertised again', \
            any(t >= again for t in ups), 'advertising at %s, changes %s' % (again, changes)


def call_checks(scenario, result):
    calls = result.get('calls', [])
    members = [c['member'] for c in calls if c['path'].startswith('/org/bluez/hci0')]
    if scenario.scan is not None:
        scanned = 'org.bluez.Adapter1.StartDiscovery' in members
        yield ('scan started' if scenario.scan else 'no scan started'), \
            scanned == scenario.scan, members
    if scenario.connect_call is not None:
        connects = [c for c in calls if c['member'] == 'org.bluez.Device1.Connect']
        yield ('Connect called' if scenario.connect_call else 'no Connect called'), \
            bool(connects) == scenario.connect_call, members
        if scenario.terminate_when == 'connecting':
            yield 'Connect called before SIGTERM', \
                bool(connects) and connects[0]['t'] < result.get('signal_at', 0), \
                'signal at %s, calls %s' % (result.get('signal_at'), calls)
        if scenario.command is None and connects:
            sender = connects[0]['sender']
            disconnects = [c for c in calls if c['member'] == 'org.bluez.Device1.Disconnect'
                           and c['sender'] == sender]
            yield 'Disconnect sent by the tool', bool(disconnects), members


def checks(scenario, folder, stack, first_identifier):
    """Yields (what, passed, detail) for one scenario."""
    try:
        with open(os.path.join(folder, 'result.json')) as f:
            result = json.load(f)
        with open(os.path.join(folder, 'stdout'), 'rb') as f:
            stdout = f.read()
        with open(os.path.join(folder, 'stderr'), 'rb') as f:
            stderr = f.read()
    except OSError as error:
        yield 'ran in the guest', False, str(error)
        return
    yield 'ran in the guest', 'error' not in result and not result.get('killed'), \
        result.get('error', 'killed' if result.get('killed') else '')
    expected = 'exit status %d' % scenario.status if scenario.status >= 0 else \
        'died by signal %d' % -scenario.status
    yield expected, result.get('status') == scenario.status, \
        result.get('status')
    if scenario.stderr is not None:
        yield 'stderr exact', stderr == scenario.stderr.encode(), stderr
    if scenario.record is None:
        yield 'stdout empty', stdout == b'', stdout[:200]
    else:
        text = stdout.decode('utf-8', 'replace')
        try:
            printed = json.loads(text).get('address', '')
        except ValueError:
            printed = ''
        sensor = identifier(stack['sensor_address'])
        yield 'address is the identifier of the sensor', printed == sensor, printed
        if first_identifier is not None:
            yield 'address same as in the first run', printed == first_identifier, printed
        expected = json_document(dict(scenario.record, address=sensor))
        yield 'stdout byte-exact', text == expected, text
    low, high = scenario.wall
    yield 'wall time in [%.1f, %.1f] s' % (low, high), \
        low <= result.get('wall', -1) <= high, result.get('wall')
    yield from link_checks(scenario, result)
    yield from call_checks(scenario, result)
    yield 'bluetoothd alive with its first PID', result.get('bluetoothd_alive') is True, ''


def main():
    results = sys.argv[1]
    passed = failed = 0
    try:
        with open(os.path.join(results, 'stack.json')) as f:
            stack = json.load(f)
    except OSError:
        stack = {'sensor_address': '??'}
    first_identifier = None
    for scenario in SCENARIOS:
        folder = os.path.join(results, scenario.name)
        for what, ok, detail in checks(scenario, folder, stack, first_identifier):
            if ok:
                passed += 1
                print('PASS %s: %s' % (scenario.name, what))
            else:
                failed += 1
                print('FAIL %s: %s: %s' % (scenario.name, what, detail))
        if first_identifier is None and scenario.record is not None:
            try:
                with open(os.path.join(folder, 'stdout')) as f:
                    first_identifier = json.loads(f.read())['address']
            except (OSError, ValueError, KeyError):
                first_identifier = ''
    print('%d passed, %d failed' % (passed, failed))
    return 0 if failed == 0 else 1


if __name__ == '__main__':
    sys.exit(main())
