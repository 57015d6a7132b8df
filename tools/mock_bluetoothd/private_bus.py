"""Runs a command on a private system bus with the mock bluetoothd (daemon.py) on it.

  /usr/bin/python3 -m tools.mock_bluetoothd.private_bus --scenario FILE.json -- COMMAND [ARG...]

starts a private dbus-daemon and the mock set up by FILE.json, runs COMMAND with
DBUS_SYSTEM_BUS_ADDRESS pointing at that bus, stops both and exits with COMMAND's status.
"""

import argparse
import json
import os
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
# The bus policies: normal, refusing every call to org.bluez, passing replies nobody asked for.
CONFIGS = {
    "normal": "private-system-bus.conf",
    "deny": "private-system-bus-denying-bluez.conf",
    "unrequested": "private-system-bus-unrequested-replies.conf",
}


def wait_until(predicate, seconds):
    deadline = time.monotonic() + seconds
    while not predicate():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.02)
    return True


class PrivateBluez:
    """A private system bus (policy from CONFIGS; None: an address where no bus listens) for the
    life of a with-block; a mock bluetoothd with setup (or another) joins it on start_mock()."""

    def __init__(self, setup, policy="normal"):
        self.setup, self.policy, self.processes = setup, policy, []
        self.tempdir = tempfile.TemporaryDirectory(
            prefix="private-bluez-"
        )  # pylint: disable=consider-using-with
        self.workdir = Path(self.tempdir.name)
        self.address = f'unix:path={self.workdir / "bus"}'

    def __enter__(self):
        if self.policy:
            daemon = self.spawn(
                [
                    "dbus-daemon",
                    f"--config-file={HERE / CONFIGS[self.policy]}",
                    f"--address={self.address}",
                    "--nofork",
                    "--print-address",
                ],
                stdout=subprocess.PIPE,
                stderr=subprocess.DEVNULL,
            )
            if not daemon.stdout.readline():
                self.__exit__()
                raise RuntimeError("dbus-daemon did not start")
        return self

    def start_mock(self, setup=None):
        started = self.mocks_started()
        scenario = self.workdir / f"scenario-{started}.json"
        scenario.write_text(json.dumps(self.setup if setup is None else setup), encoding="utf-8")
        with open(self.workdir / "mock.log", "ab") as log:
            mock = self.spawn(
                [
                    "/usr/bin/python3",
                    "-m",
                    "tools.mock_bluetoothd.daemon",
                    str(scenario),
                    str(self.workdir / "calls.jsonl"),
                ],
                stdout=log,
                stderr=subprocess.STDOUT,
                env=dict(self.environment(), PYTHONPATH=str(HERE.parents[1])),
            )
        if (
            not wait_until(lambda: self.mocks_started() > started or mock.poll() is not None, 30.0)
            or mock.poll() is not None
        ):
            raise RuntimeError("the mock did not take org.bluez:\n" + self.mock_log())

    def mocks_started(self):
        return sum(entry["what"] == "name-acquired" for entry in self.calls())

    def environment(self):
        return dict(os.environ, DBUS_SYSTEM_BUS_ADDRESS=self.address)

    def spawn(self, command, **options):
        # A process group of its own: a Ctrl-C at the terminal reaches only the command run on
        # the bus, which then still has its bus and mock while it winds down.
        process = subprocess.Popen(
            command, process_group=0, **options
        )  # pylint: disable=consider-using-with
        self.processes.append(process)
        return process

    def calls(self):
        """The mock's calls and events, each with 'what': the member called or the event's name."""
        path = self.workdir / "calls.jsonl"
        lines = path.read_text(encoding="utf-8").splitlines() if path.exists() else []
        return [
            dict(entry, what=entry.get("member") or entry.get("event"))
            for entry in map(json.loads, lines)
        ]

    def mock_log(self):
        path = self.workdir / "mock.log"
        return path.read_text(encoding="utf-8", errors="replace") if path.exists() else ""

    def __exit__(self, *_):
        for process in reversed(self.processes):
            if process.poll() is None:
                process.send_signal(signal.SIGTERM)
                try:
                    process.wait(timeout=5)
                except subprocess.TimeoutExpired:
                    process.kill()
                    process.wait()
            if process.stdout:
                process.stdout.close()
        self.tempdir.cleanup()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--scenario", required=True, type=Path, help="the mock's set-up, as JSON")
    parser.add_argument(
        "command", nargs="+", metavar="COMMAND", help="what to run on the private bus"
    )
    args = parser.parse_args()
    try:
        with PrivateBluez(json.loads(args.scenario.read_text(encoding="utf-8"))) as bluez:
            bluez.start_mock()
            command = subprocess.Popen(
                args.command, env=bluez.environment()
            )  # pylint: disable=consider-using-with
            # Termination signals go to the command, whose status is then ours.
            for signum in (signal.SIGINT, signal.SIGTERM):
                signal.signal(signum, lambda signum, _: command.send_signal(signum))
            status = command.wait()
    except (RuntimeError, OSError) as error:
        print(f"private_bus: {error}", file=sys.stderr)
        return 1
    return 128 - status if status < 0 else status


if __name__ == "__main__":
    sys.exit(main())
