#!/usr/bin/python3
"""Boots the real-stack guest once with a job and waits for it to power off.

The guest runs the release's kernel on the release's root (both made by setup.sh), with
the repository and BUILD_DIR mounted read-only at the same paths as here, so the job and
the binary under test are the host's. The job is a command (with its arguments, passed as
they are) run inside the guest once bluetoothd and the emulated sensor are up; it writes its
results into OUT_DIR, which the guest mounts at /out. The serial console, each line stamped
with host seconds since the start, goes to OUT_DIR/serial.log.

usage: boot.py BUILD_DIR OUT_DIR [--release R] [--env NAME=VALUE ...] [--timeout S] [--echo]
                   -- JOB [ARG...]
Exit status: the job's, or 125 when the guest did not report one.
"""
import argparse
import os
import re
import shlex
import shutil
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.realpath(__file__))
REPOSITORY = os.path.dirname(os.path.dirname(HERE))


def kvm_usable():
    """KVM only where the CPU really offers it: a nested /dev/kvm without VT-x or AMD-V
    (kvm_pvm) hangs Debian's kernel."""
    if not os.access("/dev/kvm", os.R_OK | os.W_OK):
        return False
    with open("/proc/cpuinfo") as f:
        if re.search(r"\b(vmx|svm)\b", f.read()) is None:
            return False
    try:
        with open("/proc/modules") as f:
            return "kvm_pvm" not in f.read()
    except OSError:
        return True


def release_dir(release):
    return os.path.join(os.environ.get("REAL_STACK_CACHE", "/var/cache/norvel-real-stack"), release)


def shared_folders(build_dir):
    """The host folders the guest mounts: the repository, and BUILD_DIR unless inside it."""
    folders = [REPOSITORY]
    if os.path.commonpath([REPOSITORY, build_dir]) != REPOSITORY:
        folders.append(build_dir)
    for folder in folders:
        if re.search(r"[\s:]", folder):
            sys.exit("boot: the guest cannot mount %s (a blank or colon in the path)" % folder)
    return folders


def qemu_command(vm_dir, out_dir, shares, accel):
    append = " ".join(
        [
            "console=ttyS0",
            "panic=-1",
            "quiet",
            "loglevel=4",
            "SHARES=" + ":".join(shares),
            "GUESTINIT=" + os.path.join(HERE, "guest-init.sh"),
        ]
    )
    if accel == "kvm":
        cpu = ["-enable-kvm", "-cpu", "host"]
    else:
        cpu = ["-accel", "tcg", "-cpu", "max"]
    return [
        "qemu-system-x86_64",
        *cpu,
        "-m",
        "1024",
        "-smp",
        "2",
        "-nodefaults",
        "-display",
        "none",
        "-no-reboot",
        "-serial",
        "stdio",
        "-kernel",
        os.path.join(vm_dir, "vmlinuz"),
        "-initrd",
        os.path.join(vm_dir, "initramfs.cpio.gz"),
        "-append",
        append,
        "-virtfs",
        "local,path=%s,mount_tag=guestroot,security_model=none,readonly=on"
        % os.path.join(vm_dir, "root"),
        *[
            option
            for index, path in enumerate(shares)
            for option in (
                "-virtfs",
                "local,path=%s,mount_tag=share%d,security_model=none,readonly=on,multidevs=remap"
                % (path, index),
            )
        ],
        "-virtfs",
        "local,path=%s,mount_tag=out,security_model=none" % out_dir,
    ]


def main():
    parser = argparse.ArgumentParser(usage="boot.py BUILD_DIR OUT_DIR [options] -- JOB [ARG...]")
    parser.add_argument("build_dir")
    parser.add_argument("out_dir")
    parser.add_argument(
        "--release",
        default="bookworm",
        help="bookworm (default), trixie or bookworm-backports (see setup.sh)",
    )
    parser.add_argument("--env", action="append", default=[])
    parser.add_argument("--timeout", type=float, default=280)
    parser.add_argument("--echo", action="store_true", help="copy the serial console to stdout")
    if "--" not in sys.argv[:-1]:
        parser.error("no job after --")
    cut = sys.argv.index("--")
    args = parser.parse_args(sys.argv[1:cut])
    job = sys.argv[cut + 1 :]

    build_dir = os.path.realpath(args.build_dir)
    vm_dir = release_dir(args.release)
    out_dir = os.path.realpath(args.out_dir)
    shutil.rmtree(out_dir, ignore_errors=True)
    os.makedirs(out_dir)
    with open(os.path.join(out_dir, "job.env"), "w") as f:
        f.write("JOB=(%s)\n" % " ".join(shlex.quote(word) for word in job))
        for pair in args.env:
            name, value = pair.split("=", 1)
            f.write("%s=%s\n" % (name, shlex.quote(value)))

    accel = "kvm" if kvm_usable() else "tcg"
    command = qemu_command(vm_dir, out_dir, shared_folders(build_dir), accel)
    start = time.monotonic()
    qemu = subprocess.Popen(
        command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL
    )
    job_status = None
    watchdog = threading.Timer(args.timeout, qemu.kill)
    watchdog.start()
    with open(os.path.join(out_dir, "serial.log"), "w") as serial:
        serial.write("# accel=%s\n" % accel)
        for raw in qemu.stdout:
            line = raw.decode("utf-8", "replace").rstrip("\r\n")
            stamped = "%8.3f %s" % (time.monotonic() - start, line)
            serial.write(stamped + "\n")
            serial.flush()
            if args.echo:
                print(stamped, flush=True)
            found = re.search(r"GUEST-EXIT rc=(\d+)", line)
            if found:
                job_status = int(found.group(1))
            if "GUEST-FAIL" in line:
                print(stamped, file=sys.stderr, flush=True)
    qemu.wait()
    watchdog.cancel()
    print(
        "boot: guest ran %.1f s (%s), job status %s"
        % (time.monotonic() - start, accel, job_status),
        file=sys.stderr,
    )
    return 125 if job_status is None else job_status


if __name__ == "__main__":
    sys.exit(main())
