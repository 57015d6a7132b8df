#!/bin/bash
# Guest PID 1 after the initramfs: root is the release's root (read-only) under a tmpfs
# overlay, with the repository and the build folder mounted at their host paths; /out is the
# host's output folder. Brings up the real stack (hci_vhci, the system bus, btvirt's two LE
# controllers, bluetoothd, the emulated sensor on hci1), runs the job that the host wrote
# into /out/job.env, and powers off.
# job.env sets JOB (an array: the command and its arguments) and may set DBUS_MONITOR=1
# (method calls to org.bluez) or DBUS_MONITOR=all (every message), BTD_DEBUG=1 and
# SENSOR_REFRESH (seconds between the sensor's re-advertisements, default 2).
export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
export LANG=C.UTF-8
HERE=$(dirname "$(realpath "$0")")
up() { cut -d' ' -f1 /proc/uptime; }
stage() { echo "STAGE $* up=$(up)"; }
finish() {
    echo "GUEST-EXIT rc=$1 up=$(up)"
    [ -n "${SENSOR_PID:-}" ] && kill "$SENSOR_PID" 2>/dev/null
    sleep 0.3
    [ -n "${BTD_PID:-}" ] && kill "$BTD_PID" 2>/dev/null
    sync
    umount /out 2>/dev/null
    echo o > /proc/sysrq-trigger
    sleep 10
}
die() { echo "GUEST-FAIL $*"; finish 1; }

mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t tmpfs -o mode=755 tmpfs /run
mkdir -p /dev/pts /dev/shm /out
mount -t devpts devpts /dev/pts
mount -t tmpfs tmpfs /dev/shm
mount -t 9p -o trans=virtio,version=9p2000.L out /out || die "no /out share"
echo btguest > /proc/sys/kernel/hostname
set -a; . /out/job.env || die "no /out/job.env"; set +a
stage "guest-init kernel=$(uname -r)"

modprobe hci_vhci || die "modprobe hci_vhci"
# What the kernel requests while it registers the first controller (SMP's ECDH and its
# random number generator), loaded beforehand to speed that up under software emulation.
modprobe -a ecdh_generic ctr drbg jitterentropy_rng sha512_generic 2>/dev/null
# btvirt opens AF_ALG ecb(aes) and cmac(aes) sockets for hci0's emulated controller after
# hci0 appears and before it reads hci0's first command (HCI Reset). The first such sockets
# make the kernel load af_alg, algif_* and cmac through modprobe, which under software
# emulation on a busy host can outlast the kernel's 2 s command timeout: hci0 then never
# powers. Opening them once here has the modules loaded before btvirt starts.
/usr/bin/python3 -c '
import socket
for kind, name in (("skcipher", "ecb(aes)"), ("hash", "cmac(aes)")):
    socket.socket(socket.AF_ALG, socket.SOCK_SEQPACKET).bind((kind, name))' ||
    die "AF_ALG sockets for ecb(aes) and cmac(aes)"
mkdir -p /run/dbus
dbus-daemon --system --fork || die "dbus-daemon"
case "${DBUS_MONITOR:-0}" in
    1) stdbuf -oL dbus-monitor --system "type='method_call',destination='org.bluez'" > /out/dbus-monitor.log 2>&1 & ;;
    all) stdbuf -oL dbus-monitor --system > /out/dbus-monitor.log 2>&1 & ;;
esac

# The kernel's lines about the controllers, for a failure message.
kernel_says() { dmesg | grep -E 'hci[01]' | tail -n 3 | tr '\n' ' ' | grep . || echo 'nothing about hci0 or hci1'; }
# Waits up to $1 seconds for the rest of the command line to succeed.
wait_for() {
    local deadline=$(( $(date +%s) + $1 ))
    shift
    until "$@"; do
        [ "$(date +%s)" -ge "$deadline" ] && return 1
        sleep 0.1
    done
}

# A controller whose first command timed out never reaches the management interface;
# starting btvirt again gives both a fresh set-up.
managed() { btmgmt --index "$1" info 2>/dev/null | grep -q 'addr '; }
both_managed() { managed 0 && managed 1; }
for attempt in 1 2 3; do
    btvirt -L -l2 >> /out/btvirt.log 2>&1 &
    BTVIRT_PID=$!
    wait_for 10 both_managed && break
    echo "controllers not set up (attempt $attempt): $(kernel_says)"
    kill $BTVIRT_PID
    wait $BTVIRT_PID
    wait_for 10 eval '[ ! -e /sys/class/bluetooth/hci0 ] && [ ! -e /sys/class/bluetooth/hci1 ]'
done
both_managed || die "controllers not set up after 3 starts of btvirt: $(kernel_says)"
stage "controllers-ready"

btd_args=-n
[ "${BTD_DEBUG:-0}" = 1 ] && btd_args="-n -d"
/usr/libexec/bluetooth/bluetoothd $btd_args > /out/bluetoothd.log 2>&1 &
BTD_PID=$!
powered() {
    [ "$(busctl --system get-property org.bluez /org/bluez/hci$1 org.bluez.Adapter1 Powered 2>/dev/null)" = "b true" ]
}
both_powered() { powered 0 && powered 1; }
# bluetoothd powers both adapters on; the same command timeout during that leaves one off.
# Such an adapter is powered on again, twice at most, and then the guest gives up at once
# rather than leave the job to time out.
attempts=0
until wait_for 10 both_powered; do
    [ $attempts -ge 2 ] && die "adapters not powered: hci0 $(powered 0 && echo on || echo off)," \
        "hci1 $(powered 1 && echo on || echo off) after powering them on again twice; kernel: $(kernel_says)"
    attempts=$((attempts + 1))
    for index in 0 1; do
        powered $index && continue
        echo "hci$index not powered (kernel: $(kernel_says)); powering it on again"
        timeout 10 btmgmt --index $index power on
    done
done
stage "bluetoothd-ready pid=$BTD_PID"

/usr/bin/python3 "$HERE/emulated_sensor.py" --adapter hci1 --socket /run/norvel-sensor.sock \
    --refresh "${SENSOR_REFRESH:-2}" > /out/sensor.log 2>&1 &
SENSOR_PID=$!
deadline=$(( $(date +%s) + 60 ))
until grep -q -E 'SENSOR READY|FAILED' /out/sensor.log; do
    [ "$(date +%s)" -ge "$deadline" ] && break
    sleep 0.1
done
grep -q 'SENSOR READY' /out/sensor.log || die "sensor not ready: $(tail -3 /out/sensor.log)"
stage "sensor-ready"

export BTD_PID SENSOR_PID SENSOR_SOCKET=/run/norvel-sensor.sock OUT=/out
"${JOB[@]}"
rc=$?
stage "job-done rc=$rc"
finish "$rc"
