#!/usr/bin/env bash
# Reads an emulated sensor with no Bluetooth hardware: installs what is missing (Debian 12),
# builds norvel-read into ./build, starts a private system bus with a mock bluetoothd that
# serves one sensor, runs norvel-read against it and exits with norvel-read's status.
# The JSON goes to stdout; progress notes go to stderr.
set -euo pipefail
cd "$(dirname "$0")/.."

PACKAGES=(cmake g++ make pkg-config libsystemd-dev libgtest-dev dbus python3-dbus python3-gi python3-dbusmock)
note() { printf 'demo: %s\n' "$*" >&2; }

# wait_for PID DESCRIPTION COMMAND...: until COMMAND succeeds, for at most 10 s while PID lives.
wait_for() {
  local pid=$1 what=$2
  shift 2
  for _ in $(seq 200); do
    "$@" && return
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.05
  done
  note "$what did not start"
  return 1
}

install_missing() {
  local missing=()
  for package in "${PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
  done
  ((${#missing[@]} == 0)) && return
  local sudo=()
  ((EUID == 0)) || sudo=(sudo)
  note "installing ${missing[*]}"
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2
}

install_missing
note "building norvel-read in ./build"
cmake -S . -B build >/dev/null
cmake --build build -j"$(nproc)" --target norvel-read >/dev/null

workdir=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$workdir"
}
trap cleanup EXIT

dbus-daemon --config-file=tools/mock-bluez/private-system-bus.conf --address="unix:path=$workdir/bus" \
  --nofork --print-address=3 3>"$workdir/address" 2>/dev/null &
pids+=($!)
wait_for "${pids[-1]}" dbus-daemon test -s "$workdir/address"
export DBUS_SYSTEM_BUS_ADDRESS="unix:path=$workdir/bus"

note "starting the mock bluetoothd with an emulated sensor"
/usr/bin/python3 tools/mock-bluez/mock_bluez.py --scenario tools/mock-bluez/demo-sensor.json \
  --calls "$workdir/calls.jsonl" >"$workdir/mock.log" 2>&1 &
pids+=($!)
wait_for "${pids[-1]}" "the mock bluetoothd" grep -qs name-acquired "$workdir/calls.jsonl" ||
  { cat "$workdir/mock.log" >&2; exit 1; }

note "running build/src/norvel-read"
status=0
build/src/norvel-read || status=$?
exit "$status"
