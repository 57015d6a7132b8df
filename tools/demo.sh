#!/usr/bin/env bash
# Reads an emulated sensor with no Bluetooth hardware: installs what is missing (Debian 12),
# builds norvel-read into ./build and runs it against a mock bluetoothd that serves one sensor
# on a private system bus; exits with norvel-read's status. With --real-stack the same sensor
# is served by bluetoothd on the real Linux stack in a QEMU guest instead.
# The JSON goes to stdout; progress notes go to stderr.
#   usage: tools/demo.sh [--real-stack]
set -euo pipefail
cd "$(dirname "$0")/.."

note() { printf 'demo: %s\n' "$*" >&2; }

case "${1-}" in
  '') real_stack=false ;;
  --real-stack) real_stack=true ;;
  *) note "usage: tools/demo.sh [--real-stack]"; exit 2 ;;
esac

# What the demo and then the README's test command need.
bash tools/install_missing.sh build test
note "building norvel-read in ./build"
cmake -S . -B build >/dev/null
cmake --build build -j"$(nproc)" --target norvel-read >/dev/null

if $real_stack; then
  exec bash tools/real_stack_vm/demo.sh build
fi
note "running build/src/norvel-read against a mock bluetoothd with an emulated sensor"
exec /usr/bin/python3 -m tools.mock_bluetoothd.private_bus \
  --scenario tools/mock_bluetoothd/demo-sensor.json -- build/src/norvel-read
