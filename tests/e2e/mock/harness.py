'''Runs the real norvel-read against the mock bluetoothd on a private system bus.

One run: start a private dbus-daemon, start tools/mock_bluetoothd with the scenario's
set-up, run the binary with DBUS_SYSTEM_BUS_ADDRESS pointing at that bus, then
compare stdout, stderr, exit status, wall time and the calls the mock received
with what the scenario expects. Every difference becomes one line of the result.
'''

import json
import os
import resource
import subprocess
import threading
import time
from dataclasses import dataclass, field

from tests.e2e.expected_output import KEY_ORDER, identifier, json_document
from tools.mock_bluetoothd.private_bus import PrivateBluez, wait_until

TIMEOUT_MESSAGE = 'Error: Timeout searching for Norvel sensor\n'
DEADLINE_WINDOW = (15.0, 16.0)
SETTLE_SECONDS = 2.0
# Calls the tool flushes just before it exits may reach the mock a moment later.
LATE_CALL_SECONDS = 0.3
RUN_LIMIT_SECONDS = 30.0
# What a restarted bluetoothd no longer does: the scripted answers and the exit belong to the one that left.
SCRIPTED_KEYS = ('refuse', 'unanswered', 'delayed', 'exit_after', 'forged')

@dataclass
class Scenario:
    '''One end-to-end case: the mock's set-up, the command line and what must come out.

    calls: (member or mock event, object path or None for any) that must appear, in this order.
    absent: the same form, for calls that must not appear at all.
    absent_before: (mock event, calls) for calls that must not come before that event.
    deny_bluez: the bus policy refuses every call to org.bluez.
    unrequested_replies: the bus passes method returns and errors to calls their sender never
    received (the usual policy rejects them), so that only the tool's own check stops a forged one.
    system_bus: false runs the tool with an address where no bus listens.
    mock_starts_after: seconds between the tool's start and bluetoothd's.
    signal_after: (call or mock event, signal[, delay]): the signal is sent that long after the
    mock has logged it (None: after the tool's start); the tool must then die by that signal,
    silently.
    env: variables added to the tool's environment.
    restart_after: seconds between the mock's exit (its exit_after) and a new mock bluetoothd with
    the same set-up, less the scripted answers.
    '''
    name: str
    setup: dict
    args: list = field(default_factory=list)
    record: dict = None
    stderr: str = ''
    status: int = 0
    times_out: bool = False
    calls: list = field(default_factory=list)
    absent: list = field(default_factory=list)
    absent_before: tuple = None
    deny_bluez: bool = False
    unrequested_replies: bool = False
    system_bus: bool = True
    mock_starts_after: float = 0.0
    signal_after: tuple = None
    env: dict = field(default_factory=dict)
    restart_after: float = None


@dataclass
class Outcome:
    stdout: str
    stderr: str
    status: int
    seconds: float
    calls: list
    cpu_seconds: float = 0.0
    max_rss_mb: float = 0.0


def matches(entry, wanted):
    member, path = wanted
    return entry['what'] == member and (path is None or entry.get('path') == path)


def missing_in_order(calls, wanted):
    '''The first of the wanted calls that is not found after the previous ones, or None.'''
    position = 0
    for item in wanted:
        while position < len(calls) and not matches(calls[position], item):
            position += 1
        if position == len(calls):
            return item
        position += 1
    return None


def without_core_file():
    resource.setrlimit(resource.RLIMIT_CORE, (0, 0))


def reader(stream, into):
    into.append(stream.read())


def wait_with_usage(tool):
    '''Waits for the tool (killing it after RUN_LIMIT_SECONDS) and returns its resource usage.'''
    deadline = time.monotonic() + RUN_LIMIT_SECONDS
    while True:
        pid, status, usage = os.wait4(tool.pid, os.WNOHANG)
        if pid:
            tool.returncode = os.waitstatus_to_exitcode(status)
            return usage
        if time.monotonic() > deadline:
            tool.kill()
            deadline = float('inf')
        time.sleep(0.005)


def after_event(bluez, what, delay, action, finished):
    '''Runs action in the background once the mock has logged what and delay seconds have
    passed, unless the run has finished by then.'''
    def wait_then_act():
        if what is not None:
            wait_until(lambda: finished.is_set() or any(entry['what'] == what for entry in bluez.calls()),
                       RUN_LIMIT_SECONDS)
        if not finished.wait(delay):
            action()
    thread = threading.Thread(target=wait_then_act, daemon=True)
    thread.start()
    return thread


def run_binary(binary, scenario, bluez):
    started = time.monotonic()
    command = [os.path.abspath(binary), *scenario.args]
    tool = subprocess.Popen(command, env=dict(bluez.environment(), **scenario.env),  # pylint: disable=consider-using-with
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, cwd=bluez.workdir,
                            preexec_fn=without_core_file)
    output = {'stdout': [], 'stderr': []}
    readers = [threading.Thread(target=reader, args=(getattr(tool, name), output[name])) for name in output]
    for thread in readers:
        thread.start()
    finished = threading.Event()
    helpers = []
    if scenario.restart_after is not None:
        clean = {key: item for key, item in scenario.setup.items() if key not in SCRIPTED_KEYS}
        helpers.append(after_event(bluez, 'exiting', scenario.restart_after, lambda: bluez.start_mock(clean),
                                   finished))
    if scenario.signal_after:
        what, signum, delay = (tuple(scenario.signal_after) + (0.0,))[:3]
        helpers.append(after_event(bluez, what, delay, lambda: tool.send_signal(signum), finished))
    if scenario.mock_starts_after:
        time.sleep(scenario.mock_starts_after)
        bluez.start_mock()
    usage = wait_with_usage(tool)
    seconds = time.monotonic() - started
    finished.set()
    for thread in readers + helpers:
        thread.join()
    tool.stdout.close()
    tool.stderr.close()
    wait_until(lambda: missing_in_order(bluez.calls(), scenario.calls) is None, SETTLE_SECONDS)
    if scenario.absent or scenario.absent_before:
        time.sleep(LATE_CALL_SECONDS)
    stdout, stderr = (b''.join(output[name]).decode('utf-8', errors='replace') for name in ('stdout', 'stderr'))
    return Outcome(stdout, stderr, tool.returncode, seconds, bluez.calls(),
                   usage.ru_utime + usage.ru_stime, usage.ru_maxrss / 1024)


def run(binary, scenario):
    policy = 'deny' if scenario.deny_bluez else 'unrequested' if scenario.unrequested_replies else 'normal'
    with PrivateBluez(scenario.setup, policy if scenario.system_bus else None) as bluez:
        if scenario.system_bus and not scenario.mock_starts_after:
            bluez.start_mock()
        outcome = run_binary(binary, scenario, bluez)
        return outcome, check(scenario, outcome), bluez.mock_log()


def check_stdout(scenario, stdout):
    if scenario.record is None:
        return [] if stdout == '' else [f'stdout: expected nothing, got {stdout!r}']
    problems = []
    try:
        members = json.loads(stdout)
    except json.JSONDecodeError as error:
        return [f'stdout is not JSON ({error}): {stdout!r}']
    for key in KEY_ORDER:
        if key not in members:
            problems.append(f'member {key!r} missing')
        elif members[key] != scenario.record[key] or type(members[key]) is not type(scenario.record[key]):
            problems.append(f'member {key!r}: expected {scenario.record[key]!r}, got {members[key]!r}')
    extra = sorted(set(members) - set(KEY_ORDER))
    if extra:
        problems.append(f'unexpected members {extra}')
    expected = json_document(scenario.record)
    if stdout != expected:
        problems.append(f'stdout layout: expected {expected!r}, got {stdout!r}')
    return problems


def check_status(scenario, status):
    if scenario.signal_after:
        expected = -scenario.signal_after[1]
    else:
        expected = 1 if scenario.times_out else scenario.status
    return [] if status == expected else [f'exit status: expected {expected}, got {status}']


def check_calls(scenario, calls):
    problems = []
    missing = missing_in_order(calls, scenario.calls)
    if missing is not None:
        problems.append(f'call {missing} not received (in the expected order)')
    for item in scenario.absent:
        if any(matches(entry, item) for entry in calls):
            problems.append(f'call {item} received but must not be')
    if scenario.absent_before:
        event, early = scenario.absent_before
        for entry in calls:
            if entry['what'] == event:
                break
            if any(matches(entry, item) for item in early):
                problems.append(f'call {entry["what"]} {entry["path"]} received before {event}')
    for entry in calls:
        if entry['what'] == 'SetDiscoveryFilter' and entry['args'] != [{'Transport': 'le', 'DuplicateData': False}]:
            problems.append(f'SetDiscoveryFilter arguments {entry["args"]}')
        if entry['what'] == 'ReadValue' and entry['args'] != [{}]:
            problems.append(f'ReadValue arguments {entry["args"]}')
    return problems


def check(scenario, outcome):
    problems = check_stdout(scenario, outcome.stdout)
    expected_stderr = TIMEOUT_MESSAGE if scenario.times_out else scenario.stderr
    if outcome.stderr != expected_stderr:
        problems.append(f'stderr: expected {expected_stderr!r}, got {outcome.stderr!r}')
    problems += check_status(scenario, outcome.status)
    low, high = DEADLINE_WINDOW
    if scenario.times_out and not low <= outcome.seconds <= high:
        problems.append(f'timed out after {outcome.seconds:.2f} s, not within {low}-{high} s')
    if not scenario.times_out and outcome.seconds >= low:
        problems.append(f'took {outcome.seconds:.2f} s')
    problems += check_calls(scenario, outcome.calls)
    return problems


def describe_calls(calls):
    lines = []
    for entry in calls:
        details = {key: item for key, item in entry.items() if key not in ('t', 'what', 'event', 'path')}
        args = json.dumps(entry['args']) if 'args' in entry else json.dumps(details) if details else ''
        lines.append(f'  {entry["t"]:.3f} {entry["what"]} {entry.get("path", "")} {args}'.rstrip())
    return '\n'.join(lines)

