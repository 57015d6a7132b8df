'''A private system bus with the mock bluetoothd on it, for the demo and the tests.

  /usr/bin/python3 -m tools.mock_bluetoothd.private_bus --scenario FILE.json -- COMMAND [ARGUMENT...]

starts a private dbus-daemon and the mock bluetoothd of daemon.py set up by FILE.json,
runs COMMAND with DBUS_SYSTEM_BUS_ADDRESS pointing at that bus, stops both and exits
with COMMAND's status. COMMAND's stdout and stderr are its own.
'''

import argparse
import json
import os
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

MOCK_DIR = Path(__file__).resolve().parent


def read_log(path):
    '''The mock's calls and events, each with 'what': the member called or the event's name.'''
    if not path.exists():
        return []
    entries = []
    for line in path.read_text(encoding='utf-8').splitlines():
        entry = json.loads(line)
        entry['what'] = entry.get('member') or entry.get('event')
        entries.append(entry)
    return entries


def wait_until(predicate, seconds):
    deadline = time.monotonic() + seconds
    while not predicate():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.02)
    return True


class PrivateBluez:
    '''A private system bus for the life of a with-block; the mock bluetoothd joins it on start_mock().

    setup: the mock's scenario (see daemon.py).
    deny_bluez: the bus policy refuses every call to org.bluez.
    unrequested_replies: the bus passes replies to calls the sender never received.
    system_bus: false gives an address where no bus listens, and no bus.
    '''

    def __init__(self, setup, deny_bluez=False, system_bus=True, unrequested_replies=False):
        self.setup = setup
        self.deny_bluez = deny_bluez
        self.unrequested_replies = unrequested_replies
        self.system_bus = system_bus
        self.processes = []
        self.tempdir = None
        self.workdir = None
        self.address = None

    def __enter__(self):
        self.tempdir = tempfile.TemporaryDirectory(prefix='private-bluez-')  # pylint: disable=consider-using-with
        self.workdir = Path(self.tempdir.name)
        if not self.system_bus:
            self.address = f'unix:path={self.workdir / "no-bus"}'
            return self
        config = 'private-system-bus.conf'
        if self.deny_bluez:
            config = 'private-system-bus-denying-bluez.conf'
        elif self.unrequested_replies:
            config = 'private-system-bus-unrequested-replies.conf'
        daemon = self.spawn(['dbus-daemon', f'--config-file={MOCK_DIR / config}',
                             f'--address=unix:path={self.workdir / "bus"}', '--nofork', '--print-address'],
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.address = daemon.stdout.readline().decode().strip()
        if not self.address:
            self.__exit__()
            raise RuntimeError('dbus-daemon did not start')
        return self

    def start_mock(self, setup=None):
        '''Starts a mock bluetoothd, by default with the set-up given at construction.'''
        started = self.mocks_started()
        scenario = self.workdir / f'scenario-{started}.json'
        scenario.write_text(json.dumps(self.setup if setup is None else setup), encoding='utf-8')
        with open(self.workdir / 'mock.log', 'ab') as log:
            self.spawn(['/usr/bin/python3', '-m', 'tools.mock_bluetoothd.daemon',
                        '--scenario', str(scenario), '--calls', str(self.workdir / 'calls.jsonl')],
                       env=dict(self.environment(), PYTHONPATH=str(MOCK_DIR.parents[1])), stdout=log, stderr=subprocess.STDOUT)
        if not wait_until(lambda: self.mocks_started() > started, 30.0):
            raise RuntimeError('the mock did not take org.bluez:\n' + self.mock_log())

    def mocks_started(self):
        return sum(entry['what'] == 'name-acquired' for entry in self.calls())

    def environment(self):
        return dict(os.environ, DBUS_SYSTEM_BUS_ADDRESS=self.address)

    def spawn(self, command, **options):
        # A process group of its own: a Ctrl-C at the terminal reaches the command run on
        # the bus, which then still has its bus and mock while it winds down.
        process = subprocess.Popen(command, process_group=0, **options)  # pylint: disable=consider-using-with
        self.processes.append(process)
        return process

    def calls(self):
        return read_log(self.workdir / 'calls.jsonl')

    def mock_log(self):
        path = self.workdir / 'mock.log'
        return path.read_text(encoding='utf-8', errors='replace') if path.exists() else ''

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
    parser.add_argument('--scenario', required=True, type=Path, help="the mock's set-up, as JSON")
    parser.add_argument('command', nargs='+', metavar='COMMAND', help='what to run on the private bus')
    args = parser.parse_args()
    try:
        with PrivateBluez(json.loads(args.scenario.read_text(encoding='utf-8'))) as bluez:
            bluez.start_mock()
            command = subprocess.Popen(args.command, env=bluez.environment())  # pylint: disable=consider-using-with
            # Termination signals go to the command, whose status is then ours.
            for signum in (signal.SIGINT, signal.SIGTERM):
                signal.signal(signum, lambda signum, _: command.send_signal(signum))
            status = command.wait()
    except (RuntimeError, OSError) as error:
        print(f'private_bus: {error}', file=sys.stderr)
        return 1
    return 128 - status if status < 0 else status


if __name__ == '__main__':
    sys.exit(main())
