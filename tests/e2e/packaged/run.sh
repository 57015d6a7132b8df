#!/usr/bin/env bash
# Runs end-to-end rows against the norvel-read inside a .deb, the binary users install: a
# foreign one (arm64, armhf) under qemu-user through a small wrapper script given to the
# suite as --binary, so that signals sent to the wrapper's process reach the guest.
#   usage: tests/e2e/packaged/run.sh PACKAGE.deb
set -euo pipefail
cd "$(dirname "$0")/../../.."

# Success, read error, timeout and the signal rows. No SIGQUIT row: qemu-user reports a guest's
# death by SIGQUIT on stderr ("qemu: uncaught target signal 3 (Quit) - core dumped").
ROWS=(scan-by-name-reads-detailed-record identifier-of-known-device read-error connection-failure
      no-adapter-times-out sigterm-while-connecting sigint-while-reading sighup-while-connecting
      sighup-while-reading)

deb=$(realpath "$1")
arch=$(dpkg-deb -f "$deb" Architecture)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
dpkg-deb -x "$deb" "$work/root"
case "$arch" in
  "$(dpkg --print-architecture)") emulator= ;;
  arm64) emulator="qemu-aarch64 -L /usr/aarch64-linux-gnu" ;;
  armhf) emulator="qemu-arm -L /usr/arm-linux-gnueabihf" ;;
  *) echo "packaged e2e: no emulator for $arch" >&2; exit 2 ;;
esac
# exec: the emulator takes the wrapper's process, so the suite's signals reach it directly.
printf '#!/bin/sh\nexec %s %s "$@"\n' "$emulator" "$work/root/usr/bin/norvel-read" >"$work/norvel-read"
chmod +x "$work/norvel-read"

failed=()
for row in "${ROWS[@]}"; do
  /usr/bin/python3 -m tests.e2e.mock.run_scenario --binary "$work/norvel-read" "$row" >"$work/log" 2>&1 &&
    echo "$arch $(head -n1 "$work/log")" || { cat "$work/log"; failed+=("$row"); }
done
((${#failed[@]} == 0)) || { echo "$arch: FAILED: ${failed[*]}"; exit 1; }
echo "$arch: ${#ROWS[@]} rows passed"
