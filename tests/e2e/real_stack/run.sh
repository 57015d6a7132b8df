#!/bin/bash
# The real-stack tier: norvel-read against the real bluetoothd in a QEMU guest, on BlueZ's
# virtual controllers, with the emulated sensor, on each Debian release given (by default
# bookworm and trixie). For each it prepares the release (cached, see
# tools/real_stack_vm/setup.sh), boots it once to play and check every row of play.py, and
# prints its report. The binary under test is the host's, the same on every release.
#   usage: tests/e2e/real_stack/run.sh BUILD_DIR [RELEASE...]   (BUILD_DIR/src/norvel-read must exist)
# Exit status 0 only when every check passed; the last line reads "N passed, N failed" (all releases).
set -uo pipefail
BUILD_DIR=$(realpath "${1:?usage: run.sh BUILD_DIR [RELEASE...]}")
shift
ROOT=$(realpath "$(dirname "$0")/../../..")
releases=("$@")
((${#releases[@]})) || releases=(bookworm trixie)
passed=0 failed=0
for release in "${releases[@]}"; do
    OUT="$BUILD_DIR/real-stack-vm/tier-$release"
    rm -rf "$OUT"
    [ -x "$BUILD_DIR/src/norvel-read" ] && "$ROOT/tools/real_stack_vm/setup.sh" "$release" &&
        /usr/bin/python3 "$ROOT/tools/real_stack_vm/boot.py" "$BUILD_DIR" "$OUT" --release "$release" \
            --env DBUS_MONITOR=1 --env PYTHONPATH="$ROOT" --timeout 240 \
            -- /usr/bin/python3 -m tests.e2e.real_stack.play "$BUILD_DIR/src/norvel-read"
    status=$?
    echo "real-stack $release: logs in $OUT"
    report=$(cat "$OUT/report" 2>/dev/null) ||
        report="no report (is $BUILD_DIR/src/norvel-read built? see serial.log)"$'\n'"0 passed, 1 failed"
    printf '%s\n' "$report" | sed "s/^/$release: /"
    read -r p _ f _ < <(tail -n 1 <<< "$report")
    # A guest that failed after its report still fails the tier.
    ((status == 0 || f > 0)) || f=1
    passed=$((passed + p)) failed=$((failed + f))
done
echo "$passed passed, $failed failed"
((failed == 0))
