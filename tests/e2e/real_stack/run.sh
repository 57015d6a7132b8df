#!/bin/bash
# The real-stack tier: norvel-read against the real bluetoothd in a QEMU guest, on BlueZ's
# virtual controllers, with the emulated sensor, on one Debian release (bookworm, the default,
# or trixie). Prepares the release (cached, see tools/real_stack_vm/setup.sh), boots it once to
# play and check every row of play.py, and prints its report. The binary under test is the
# host's, the same on every release.
#   usage: tests/e2e/real_stack/run.sh BUILD_DIR [RELEASE]   (BUILD_DIR/src/norvel-read must exist)
# Exit status 0 only when every check passed; the last line reads "N passed, N failed".
set -uo pipefail
BUILD_DIR=$(realpath "${1:?usage: run.sh BUILD_DIR [RELEASE]}")
RELEASE=${2:-bookworm}
ROOT=$(realpath "$(dirname "$0")/../../..")
OUT="$BUILD_DIR/real-stack-vm/tier-$RELEASE"
rm -rf "$OUT"
[ -x "$BUILD_DIR/src/norvel-read" ] && "$ROOT/tools/real_stack_vm/setup.sh" "$RELEASE" &&
    /usr/bin/python3 "$ROOT/tools/real_stack_vm/boot.py" "$BUILD_DIR" "$OUT" --release "$RELEASE" \
        --env DBUS_MONITOR=1 --env PYTHONPATH="$ROOT" --timeout 240 \
        -- /usr/bin/python3 -m tests.e2e.real_stack.play "$BUILD_DIR/src/norvel-read"
status=$?
echo "real-stack $RELEASE: logs in $OUT"
cat "$OUT/report" 2>/dev/null ||
    echo "real-stack: no report (is $BUILD_DIR/src/norvel-read built?)"$'\n'"0 passed, 1 failed"
exit $((status == 0 ? 0 : 1))
