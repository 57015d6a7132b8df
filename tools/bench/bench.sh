#!/bin/bash
# Side-by-side speed comparison on the real stack: norvel-read, a minimal python3-dbus
# client and a bleak script read the same emulated sensor in one guest boot, ROUNDS
# interleaved runs each (default 7), and a Markdown table of medians and ratios is printed.
# The sensor re-advertises every 0.5 s here, nearer a real sensor's advertising interval,
# so that a first advertising report lost by the kernel costs each client the same little.
# The guest's release is REAL_STACK_RELEASE (default bookworm; see tools/real_stack_vm/setup.sh).
#   usage: tools/bench/bench.sh BUILD_DIR [ROUNDS]   (BUILD_DIR/src/norvel-read must exist)
set -euo pipefail
BUILD_DIR=$(realpath "${1:?usage: bench.sh BUILD_DIR [ROUNDS]}")
ROUNDS=${2:-7}
HERE=$(dirname "$(realpath "$0")")
VM_TOOLS=$(realpath "$HERE/../real_stack_vm")
OUT="$BUILD_DIR/real-stack-vm/bench"
[ -x "$BUILD_DIR/src/norvel-read" ] || { echo "bench: build $BUILD_DIR/src/norvel-read first" >&2; exit 1; }
RELEASE=${REAL_STACK_RELEASE:-bookworm}
"$VM_TOOLS/setup.sh" "$RELEASE"
/usr/bin/python3 "$VM_TOOLS/boot.py" "$BUILD_DIR" "$OUT" --release "$RELEASE" --env SENSOR_REFRESH=0.5 --env PYTHONPATH="$HERE/../.." \
    --timeout 590 -- /usr/bin/python3 -m tools.bench.bench_guest "$BUILD_DIR/src/norvel-read" "$ROUNDS"
grep 'BENCH ' "$OUT/serial.log" | sed 's/^ *[0-9.]* //'
/usr/bin/python3 "$HERE/bench_table.py" "$OUT/bench/runs.json"
