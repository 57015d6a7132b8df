#!/bin/bash
# The real-stack tier: norvel-read against the real bluetoothd in a QEMU guest, on BlueZ's
# virtual controllers, with an emulated sensor. Prepares the guest (cached in BUILD_DIR),
# boots it once to play every scenario, then checks the results exactly on the host.
#   usage: tests/e2e/real_stack/run.sh BUILD_DIR      (BUILD_DIR/src/norvel-read must exist)
# Exit status 0 only when every check passed; the last line reads "N passed, N failed".
set -uo pipefail
BUILD_DIR=$(realpath "${1:?usage: run.sh BUILD_DIR}")
ROOT=$(realpath "$(dirname "$0")/../../..")
VM_TOOLS="$ROOT/tools/real_stack_vm"
TOOL="$BUILD_DIR/src/norvel-read"
OUT="$BUILD_DIR/real-stack-vm/tier"

if [ ! -x "$TOOL" ]; then
    echo "real-stack: $TOOL is missing; build it first"
    echo "0 passed, 1 failed"
    exit 1
fi
"$VM_TOOLS/setup.sh" "$BUILD_DIR" || { echo "real-stack: set-up failed"; echo "0 passed, 1 failed"; exit 1; }

/usr/bin/python3 "$VM_TOOLS/boot.py" "$BUILD_DIR" "$OUT" --env DBUS_MONITOR=1 --env PYTHONPATH="$ROOT" \
    --timeout 240 -- /usr/bin/python3 -m tests.e2e.real_stack.guest_play "$TOOL"
echo "real-stack: logs in $OUT"
PYTHONPATH="$ROOT" /usr/bin/python3 -m tests.e2e.real_stack.check "$OUT/results"
