#!/bin/bash
# Reads the emulated sensor on the real Linux stack: boots the QEMU guest (bluetoothd on
# BlueZ's virtual controllers, the sensor on hci1), runs norvel-read once on hci0 and
# prints what it printed; exits with its status.
# The guest's release is REAL_STACK_RELEASE (default bookworm; see setup.sh).
#   usage: tools/real_stack_vm/demo.sh BUILD_DIR [ARGUMENT]   (BUILD_DIR/src/norvel-read must exist)
set -euo pipefail
BUILD_DIR=$(realpath "${1:?usage: demo.sh BUILD_DIR [ARGUMENT]}")
HERE=$(dirname "$(realpath "$0")")
OUT="$BUILD_DIR/real-stack-vm/demo"
[ -x "$BUILD_DIR/src/norvel-read" ] || { echo "demo: build $BUILD_DIR/src/norvel-read first" >&2; exit 1; }
RELEASE=${REAL_STACK_RELEASE:-bookworm}
"$HERE/setup.sh" "$RELEASE"
echo "demo: booting the $RELEASE guest (about 30 s under software emulation)" >&2
/usr/bin/python3 "$HERE/boot.py" "$BUILD_DIR" "$OUT" --release "$RELEASE" --timeout 200 \
    -- /usr/bin/python3 "$HERE/guest_runner.py" /out "$BUILD_DIR/src/norvel-read" ${2:+"$2"} \
    2>/dev/null || true
[ -f "$OUT/result.json" ] || { echo "demo: the guest did not run norvel-read; see $OUT/serial.log" >&2; exit 125; }
read -r status wall < <(/usr/bin/python3 -c \
    'import json, sys; r = json.load(sys.stdin); print(r["status"], r["wall"])' < "$OUT/result.json")
cat "$OUT/stdout"
cat "$OUT/stderr" >&2
echo "demo: norvel-read exited with status $status after $wall s" >&2
exit "$status"
