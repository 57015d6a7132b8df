#!/usr/bin/python3
"""Guest side of the real-stack tool: plays a command against bluetoothd and the emulated
sensor and records what happened (outputs, exit status, wall time, when the JSON document
was complete; optionally the peak resident set size), plus what the players need of the
stack (hci1's link, D-Bus calls to org.bluez, the sensor's device object on hci0,
bluetoothd's liveness, the emulated sensor's control socket). Used by the real-stack tier,
the speed comparison and the demo; runs inside the guest once guest-init.sh has the stack up.

As a program it plays one command and leaves DEST/stdout, DEST/stderr and DEST/result.json;
its exit status is the command's.
usage: guest_runner.py DEST COMMAND [ARG...]"""
import json
import os
import re
import signal
import socket
import subprocess
import sys
import threading
import time

OUT = os.environ.get("OUT", "/out")
# Written by guest-init.sh when the job asks for DBUS_MONITOR=1.
MONITOR_LOG = os.path.join(OUT, "dbus-monitor.log")
SENSOR_SOCKET = os.environ.get("SENSOR_SOCKET", "/run/norvel-sensor.sock")
# bluetoothd's version, e.g. "5.66".
BLUEZ = subprocess.run(
    ["/usr/libexec/bluetooth/bluetoothd", "--version"], capture_output=True, text=True
).stdout.strip()
RUN_LIMIT_S = 25.0
POLL_S = 0.05
CALL_LINE = re.compile(
    r"^method call time=([\d.]+) sender=(\S+) -> destination=org\.bluez "
    r"serial=\d+ path=([^;]+); interface=([^;]+); member=(\w+)"
)


def link_up():
    """hci1's side of the link: the kernel lists each connection as hci1:HANDLE."""
    return any(entry.startswith("hci1:") for entry in os.listdir("/sys/class/bluetooth"))


def wait_link(up, limit_s):
    """Waits up to limit_s for hci1's link to be up (or down); True when it got there."""
    deadline = time.monotonic() + limit_s
    while link_up() != up and time.monotonic() < deadline:
        time.sleep(POLL_S)
    return link_up() == up


def sensor(op, **fields):
    """One command to the emulated sensor (see emulated_sensor.py); its answer once in effect."""
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as conn:
        conn.settimeout(20)
        conn.connect(SENSOR_SOCKET)
        conn.sendall((json.dumps(dict(fields, op=op)) + "\n").encode())
        reply = json.loads(conn.makefile().readline())
    if reply.get("error"):
        raise RuntimeError("sensor %s: %s" % (op, reply["error"]))
    return reply


def busctl(*words, timeout_s=None):
    command = ["busctl", "--system"]
    if timeout_s:
        command.append("--timeout=%d" % timeout_s)
    return subprocess.run([*command, *words], capture_output=True, text=True)


def sensor_address():
    """hci1's Bluetooth address, the one hci0 sees the sensor at."""
    answer = busctl("get-property", "org.bluez", "/org/bluez/hci1", "org.bluez.Adapter1", "Address")
    return answer.stdout.split('"')[1]


def device_path(address):
    return "/org/bluez/hci0/dev_" + address.replace(":", "_")


def forget_sensor(device):
    busctl(
        "call", "org.bluez", "/org/bluez/hci0", "org.bluez.Adapter1", "RemoveDevice", "o", device
    )


def disconnect(device):
    busctl("call", "org.bluez", device, "org.bluez.Device1", "Disconnect", timeout_s=10)


def close_leftover_link(device):
    """Waits for the link a previous run left to go, and closes it if it stays up, so that
    only the run that left it pays. True when it had to be closed."""
    if wait_link(False, 6.0):
        return False
    disconnect(device)
    wait_link(False, 6.0)
    return True


def bluetoothd_alive(pid):
    try:
        with open("/proc/%d/comm" % pid) as f:
            return f.read().strip() == "bluetoothd"
    except OSError:
        return False


def bluez_calls(since_wall, until_wall=None):
    """Method calls to org.bluez seen by dbus-monitor in the window, but the sensor's own;
    "t" in seconds after since_wall."""
    until_wall = time.time() if until_wall is None else until_wall
    calls = []
    with open(MONITOR_LOG) as log:
        for line in log:
            found = CALL_LINE.match(line)
            if not found:
                continue
            when, sender, path, interface, member = found.groups()
            if since_wall <= float(when) <= until_wall and not path.startswith("/org/bluez/hci1"):
                calls.append(
                    {
                        "t": round(float(when) - since_wall, 3),
                        "sender": sender,
                        "path": path,
                        "member": "%s.%s" % (interface, member),
                    }
                )
    return calls


class Run:
    """One command, started at construction (with env added to the environment). Times in the
    record are seconds since then.

    peak_memory runs it under /usr/bin/time, whose small process forks and execs the
    command: the kernel's peak resident set size of a child forked from this (larger)
    Python process would include this process's own. A signal would reach time, not the
    command, so such a run cannot be terminated; a killed one has no figure."""

    def __init__(self, command, peak_memory=False, env=None):
        self.record = {}
        self.rusage_file = os.path.join(OUT, "time.txt") if peak_memory else None
        if peak_memory:
            command = ["/usr/bin/time", "-f", "%M", "-o", self.rusage_file, *command]
        self.start_wall = time.time()
        self.start = time.monotonic()
        self.process = subprocess.Popen(
            command,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            env=dict(os.environ, **(env or {})),
        )
        self.stdout = []
        self.stderr = b""
        self.readers = [
            threading.Thread(target=self._read_stdout),
            threading.Thread(target=self._read_stderr),
        ]
        for reader in self.readers:
            reader.start()

    def elapsed(self):
        return round(time.monotonic() - self.start, 3)

    def _read_stdout(self):
        for line in self.process.stdout:
            self.stdout.append(line)
            if line == b"}\n" and "json_at" not in self.record:
                self.record["json_at"] = self.elapsed()

    def _read_stderr(self):
        self.stderr = self.process.stderr.read()

    def terminate_when(self, reached, settle_s=0.0, limit_s=12.0):
        """Sends SIGTERM settle_s after reached() first holds, or after limit_s; True when it
        held."""
        while (
            not reached()
            and self.process.poll() is None
            and time.monotonic() - self.start < limit_s
        ):
            time.sleep(POLL_S)
        held = reached()
        time.sleep(settle_s)
        self.record["signal_at"] = self.elapsed()
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
        return held

    def _kill(self):
        self.record["killed"] = True
        self.process.kill()

    def wait(self, limit_s=RUN_LIMIT_S):
        """Waits for the exit (killing the command after limit_s); returns (stdout, stderr)."""
        killer = threading.Timer(limit_s, self._kill)
        killer.start()
        self.record["status"] = self.process.wait()
        self.record["wall"] = self.elapsed()
        killer.cancel()
        for reader in self.readers:
            reader.join()
        if self.rusage_file and not self.record.get("killed"):
            # time puts a line about a failed command before its own
            with open(self.rusage_file) as f:
                self.record["peak_kb"] = int(f.read().split()[-1])
        return b"".join(self.stdout), self.stderr


def save(folder, record, stdout, stderr):
    os.makedirs(folder, exist_ok=True)
    for name, data in (("stdout", stdout), ("stderr", stderr)):
        with open(os.path.join(folder, name), "wb") as f:
            f.write(data)
    with open(os.path.join(folder, "result.json"), "w") as f:
        json.dump(record, f, indent=1)


def main():
    if len(sys.argv) < 3:
        sys.exit(__doc__.rsplit("\n", 1)[-1])
    run = Run(sys.argv[2:])
    stdout, stderr = run.wait()
    save(sys.argv[1], run.record, stdout, stderr)
    status = run.record["status"]
    return status if status >= 0 else 128 - status


if __name__ == "__main__":
    sys.exit(main())
