#!/bin/bash
# Guest PID 1 after the initramfs: root is the host's / (read-only) under a tmpfs overlay,
# /out is the host's output folder. Brings up the real stack (hci_vhci, the system bus,
# btvirt's two LE controllers, bluetoothd, the emulated sensor on hci1), runs the job
# that the host wrote into /out/job.env, and powers off.
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
hostname btguest
set -a; . /out/job.env || die "no /out/job.env"; set +a
stage "guest-init kernel=$(uname -r)"

modprobe hci_vhci || die "modprobe hci_vhci"
# Modules the kernel would otherwise load on demand while it sets up the first controller,
# slowing that set-up under software emulation.
modprobe -a ecdh_generic cmac ecb ctr drbg jitterentropy_rng sha512_generic algif_hash \
    algif_skcipher 2>/dev/null
mkdir -p /run/dbus
dbus-daemon --system --fork || die "dbus-daemon"
case "${DBUS_MONITOR:-0}" in
    1) stdbuf -oL dbus-monitor --system "type='method_call',destination='org.bluez'" > /out/dbus-monitor.log 2>&1 & ;;
    all) stdbuf -oL dbus-monitor --system > /out/dbus-monitor.log 2>&1 & ;;
esac

# btvirt answers the kernel's first HCI command for hci0 only once it has made hci1 too;
# on a loaded host that can miss the kernel's 2 s command timeout, and hci0 then never
# reaches the management interface. Starting btvirt again gives both a fresh set-up.
managed() { btmgmt --index "$1" info 2>/dev/null | grep -q 'addr '; }
for attempt in 1 2 3 4; do
    btvirt -L -l2 >> /out/btvirt.log 2>&1 &
    BTVIRT_PID=$!
    deadline=$(( $(date +%s) + 12 ))
    until managed 0 && managed 1; do
        [ "$(date +%s)" -ge "$deadline" ] && break
        sleep 0.1
    done
    managed 0 && managed 1 && break
    echo "controllers not set up (attempt $attempt), starting btvirt again"
    kill $BTVIRT_PID
    wait $BTVIRT_PID
    while [ -e /sys/class/bluetooth/hci0 ] || [ -e /sys/class/bluetooth/hci1 ]; do sleep 0.1; done
done
managed 0 && managed 1 || die "controllers not set up"
stage "controllers-ready"

btd_args=-n
[ "${BTD_DEBUG:-0}" = 1 ] && btd_args="-n -d"
/usr/libexec/bluetooth/bluetoothd $btd_args > /out/bluetoothd.log 2>&1 &
BTD_PID=$!
adapter_powered() {
    [ "$(busctl --system get-property org.bluez /org/bluez/$1 org.bluez.Adapter1 Powered 2>/dev/null)" = "b true" ]
}
# The same timeout during bluetoothd's power-on leaves the adapter off.
deadline=$(( $(date +%s) + 60 ))
next_retry=$(( $(date +%s) + 8 ))
until adapter_powered hci0 && adapter_powered hci1; do
    [ "$(date +%s)" -ge "$deadline" ] && die "adapters not powered"
    if [ "$(date +%s)" -ge "$next_retry" ]; then
        for index in 0 1; do
            adapter_powered hci$index || { echo "retrying power-on of hci$index"; timeout 10 btmgmt --index $index power on; }
        done
        next_retry=$(( $(date +%s) + 8 ))
    fi
    sleep 0.1
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
