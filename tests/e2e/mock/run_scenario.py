"""Runs one row of the end-to-end table against a norvel-read binary; status 0 when it passes."""
# A private bus, the mock bluetoothd, the binary; prints what came out and every difference from
# the row.
#   /usr/bin/python3 -m tests.e2e.mock.run_scenario --list
#   /usr/bin/python3 -m tests.e2e.mock.run_scenario --binary build/src/norvel-read ROW

import json
import os
import re
import resource
import signal
import subprocess
import threading
import time

from tests.e2e.expected_output import differences, first_missing, json_document, main
from tests.e2e.mock.scenarios import ROWS, TIMEOUT
from tools.mock_bluetoothd.private_bus import PrivateBluez, wait_until

# fmt: off
# Calls the tool must make only as the row says (on that adapter, to that device).
SCOPED = ("SetDiscoveryFilter", "StartDiscovery", "Connect", "ReadValue")
ARGUMENTS = {"SetDiscoveryFilter": [{"Transport": "le", "DuplicateData": False}],
             "ReadValue": [{}]}
# What a restarted bluetoothd no longer does: the scripted answers belong to the one that left.
SCRIPTED = ("unanswered", "delayed", "exit_after", "forged")
# fmt: on
TRACE_LINE = re.compile(r"\[ *\d+\.\d{3}\] \S")


# Whether a logged call or event is item: "Member" or "Member path".
def matches(entry, item):
    member, _, path = item.partition(" ")
    return entry["what"] == member and (not path or entry.get("path") == path)


def matches_any(entry, items):
    return any(matches(entry, item) for item in items)


# Runs action once the mock has logged what (None: now) and delay s have passed, unless finished.
def after(bluez, what, delay, action, finished):
    def logged():
        return what is None or finished.is_set() or any(e["what"] == what for e in bluez.calls())

    def wait_then_act():
        wait_until(logged, 30)
        if not finished.wait(delay):
            action()

    threading.Thread(target=wait_then_act).start()


def run(binary, row):
    resource.setrlimit(resource.RLIMIT_CORE, (0, 0))  # the rows' SIGQUIT leaves no core file
    with PrivateBluez(row["setup"], row["bus"]) as bluez:
        if row["bus"] and not any(what is None and act == "mock" for what, _, act in row["then"]):
            bluez.start_mock()
        started, finished = time.monotonic(), threading.Event()
        env = dict(bluez.environment(), **row["env"])
        command = [os.path.abspath(binary), *row["args"]]
        pipes = dict(stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        tool = subprocess.Popen(command, env=env, cwd=bluez.workdir, **pipes)
        restart = {key: value for key, value in row["setup"].items() if key not in SCRIPTED}
        # A run that outlives every deadline is killed.
        for what, delay, action in row["then"] + [(None, 30, signal.SIGKILL)]:
            if action == "mock":
                after(bluez, what, delay, lambda: bluez.start_mock(restart), finished)
            else:
                after(bluez, what, delay, lambda signum=action: tool.send_signal(signum), finished)
        stdout, stderr = (text.decode(errors="replace") for text in tool.communicate())
        outcome = dict(status=tool.returncode, seconds=time.monotonic() - started)
        outcome.update(stdout=stdout, stderr=stderr)
        finished.set()
        # Calls the tool flushes just before it exits may reach the mock a moment later.
        wait_until(lambda: first_missing(bluez.calls(), row["calls"], matches) is None, 2.0)
        time.sleep(0.3)
        outcome["calls"] = bluez.calls()
        report = f'{row["name"]}: status {tool.returncode} after {outcome["seconds"]:.2f} s\n'
        report += f"stdout: {stdout!r}\nstderr: {stderr!r}\ncalls and events the mock logged:\n"
        report += "".join(f"  {json.dumps(entry)}\n" for entry in outcome["calls"])
        problems = check(row, outcome)
        return report + (f"mock output:\n{bluez.mock_log()}" if problems else ""), problems


# The trace's lines, each with its time, with the wanted steps in order, then the row's message.
def trace_problems(row, stderr):
    if not stderr.endswith(row["stderr"]):
        return [f'stderr does not end with {row["stderr"]!r}']
    lines = stderr[: len(stderr) - len(row["stderr"])].splitlines()
    problems = [f"not a trace line: {line!r}" for line in lines if not TRACE_LINE.match(line)]
    step = first_missing(lines, row["trace"], lambda line, step: step in line)
    return problems + ([] if step is None else [f"no trace line with {step!r} (in order)"])


# Calls the row rules out: one of absent (before the event until), or one of SCOPED not listed.
def unwanted(calls, row):
    events = [entry["what"] for entry in calls]
    until = events.index(row["until"]) if row["until"] in events else len(calls)
    for index, entry in enumerate(calls):
        early_and_absent = index < until and matches_any(entry, row["absent"])
        scoped_and_unlisted = entry["what"] in SCOPED and not matches_any(entry, row["calls"])
        if early_and_absent or scoped_and_unlisted:
            yield entry


def check(row, outcome):
    calls, seconds = outcome["calls"], outcome["seconds"]
    signalled = [-action for _, _, action in row["then"] if action != "mock"]
    stdout = json_document(row["document"]) if row["document"] else ""
    expected = dict(stdout=stdout, status=signalled[0] if signalled else row["status"])
    if row["trace"] is None:
        expected["stderr"] = row["stderr"]
    problems = differences(expected, outcome)
    problems += trace_problems(row, outcome["stderr"]) if row["trace"] is not None else []
    connects = sum(entry["what"] == "Connect" for entry in calls)
    if row["connects"] and not row["connects"][0] <= connects <= row["connects"][1]:
        problems.append(f"{connects} Connect calls, expected {row['connects']}")
    in_time = 15 <= seconds <= 16 if row["stderr"] == TIMEOUT else seconds < 15
    problems += [] if in_time else [f"took {seconds:.2f} s"]
    missing = first_missing(calls, row["calls"], matches)
    problems += [] if missing is None else [f"{missing} not received (in the expected order)"]
    problems += [f'{e["what"]} {e["path"]} received but must not be' for e in unwanted(calls, row)]
    wrong = [e for e in calls if ARGUMENTS.get(e["what"], e.get("args")) != e.get("args")]
    problems += [f'{e["what"]} arguments {e["args"]}' for e in wrong]
    if len(row["setup"].get("forged", [])) != sum(entry["what"] == "forged" for entry in calls):
        problems.append("not every forged message was sent")
    return problems


if __name__ == "__main__":
    main(ROWS, run)
