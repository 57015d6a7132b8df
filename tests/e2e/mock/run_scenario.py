'''Runs one row of the end-to-end table against a norvel-read binary; exit status 0 when it passes.'''
# A private bus, the mock bluetoothd, the binary; prints what came out and every difference from the row.
#   /usr/bin/python3 -m tests.e2e.mock.run_scenario --list
#   /usr/bin/python3 -m tests.e2e.mock.run_scenario --binary build/src/norvel-read ROW

import json
import os
import re
import resource
import signal
import subprocess
import sys
import threading
import time

from tests.e2e.expected_output import json_document
from tests.e2e.mock.scenarios import ROWS, TIMEOUT
from tools.mock_bluetoothd.private_bus import PrivateBluez, wait_until

# Calls the tool must make only as the row says (on that adapter, to that device).
SCOPED = ('SetDiscoveryFilter', 'StartDiscovery', 'Connect', 'ReadValue')
ARGUMENTS = {'SetDiscoveryFilter': [{'Transport': 'le', 'DuplicateData': False}], 'ReadValue': [{}]}
TRACE_LINE = re.compile(r'\[ *\d+\.\d{3}\] \S')
# What a restarted bluetoothd no longer does: the scripted answers belong to the one that left.
SCRIPTED = ('unanswered', 'delayed', 'exit_after', 'forged')


def matches(entry, item):
    member, _, path = item.partition(' ')
    return entry['what'] == member and (not path or entry.get('path') == path)


def missing_in_order(calls, wanted):
    # The first wanted item not found after the previous ones, or None.
    rest = iter(calls)
    return next((item for item in wanted if not any(matches(entry, item) for entry in rest)), None)


def after(bluez, what, delay, action, finished):
    # Runs action once the mock has logged what (None: now) and delay s have passed, unless finished.
    def wait_then_act():
        wait_until(lambda: what is None or finished.is_set() or any(e['what'] == what for e in bluez.calls()), 30)
        if not finished.wait(delay):
            action()
    threading.Thread(target=wait_then_act).start()


def run(binary, row):
    with PrivateBluez(row['setup'], row['bus']) as bluez:
        if row['bus'] and (None, 'mock') not in [(what, action) for what, _, action in row['then']]:
            bluez.start_mock()
        started, finished = time.monotonic(), threading.Event()
        tool = subprocess.Popen([binary, *row['args']], env=dict(bluez.environment(), **row['env']), cwd=bluez.workdir,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        clean = {key: value for key, value in row['setup'].items() if key not in SCRIPTED}
        # A run that outlives every deadline is killed.
        for what, delay, action in row['then'] + [(None, 30, signal.SIGKILL)]:
            after(bluez, what, delay, lambda action=action: bluez.start_mock(clean) if action == 'mock'
                  else tool.send_signal(action), finished)
        stdout, stderr = tool.communicate()
        outcome = {'status': tool.returncode, 'seconds': time.monotonic() - started,
                   'stdout': stdout.decode(errors='replace'), 'stderr': stderr.decode(errors='replace')}
        finished.set()
        # Calls the tool flushes just before it exits may reach the mock a moment later.
        wait_until(lambda: missing_in_order(bluez.calls(), row['calls']) is None, 2.0)
        time.sleep(0.3)
        outcome['calls'] = bluez.calls()
        return outcome, check(row, outcome), bluez.mock_log()


def trace_problems(row, stderr):
    # The trace's lines, each with its time, with the wanted steps in order, then the row's message.
    lines = stderr[:len(stderr) - len(row['stderr'])].splitlines()
    problems = [] if stderr.endswith(row['stderr']) else [f'stderr does not end with {row["stderr"]!r}']
    problems += [f'not a trace line: {line!r}' for line in lines if not TRACE_LINE.match(line)]
    rest = iter(lines)
    return problems + [f'no trace line with {step!r} (in order)' for step in row['trace']
                       if not any(step in line for line in rest)]


def check(row, outcome):
    calls = outcome['calls']
    traced = row['trace'] is not None
    expected = {'stdout': json_document(row['record']) if row['record'] else '',
                'stderr': outcome['stderr'] if traced else row['stderr'],
                'status': next((-action for _, _, action in row['then'] if action != 'mock'), row['status'])}
    problems = [f'{key}: expected {value!r}, got {outcome[key]!r}' for key, value in expected.items()
                if outcome[key] != value]
    problems += trace_problems(row, outcome['stderr']) if traced else []
    connects = sum(entry['what'] == 'Connect' for entry in calls)
    if row['connects'] and not row['connects'][0] <= connects <= row['connects'][1]:
        problems.append(f'{connects} Connect calls, expected {row["connects"][0]} to {row["connects"][1]}')
    if (outcome['seconds'] >= 15) != (row['stderr'] == TIMEOUT) or outcome['seconds'] > 16:
        problems.append(f'took {outcome["seconds"]:.2f} s')
    if (item := missing_in_order(calls, row['calls'])) is not None:
        problems.append(f'{item} not received (in the expected order)')
    early = calls[:next((i for i, entry in enumerate(calls) if entry['what'] == row['until']), len(calls))]
    problems += [f'{e["what"]} {e["path"]} received but must not be' for e in calls
                 if (e in early and any(matches(e, i) for i in row['absent']))
                 or (e['what'] in SCOPED and not any(matches(e, i) for i in row['calls']))]
    problems += [f'{e["what"]} arguments {e["args"]}' for e in calls
                 if ARGUMENTS.get(e['what'], e.get('args')) != e.get('args')]
    if len(row['setup'].get('forged', [])) != sum(entry['what'] == 'forged' for entry in calls):
        problems.append('not every forged message was sent')
    return problems


def main(args):
    if args == ['--list']:
        return print('\n'.join(ROWS))
    if len(args) != 3 or args[0] != '--binary' or args[2] not in ROWS:
        sys.exit(f'usage: {sys.argv[0]} --list | --binary BINARY ROW')
    resource.setrlimit(resource.RLIMIT_CORE, (0, 0))  # the rows' SIGQUIT leaves no core file
    outcome, problems, mock_log = run(os.path.abspath(args[1]), ROWS[args[2]])
    print(f'{args[2]}: status {outcome["status"]} after {outcome["seconds"]:.2f} s\nstdout: {outcome["stdout"]!r}\n'
          f'stderr: {outcome["stderr"]!r}\ncalls and events the mock logged:')
    print('\n'.join(f'  {json.dumps(entry)}' for entry in outcome['calls']))
    print(f'mock output:\n{mock_log}FAILED:\n  ' + '\n  '.join(problems) if problems else 'PASSED')
    return 1 if problems else 0


if __name__ == '__main__':
    sys.exit(main(sys.argv[1:]))
