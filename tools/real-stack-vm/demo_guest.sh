#!/bin/bash
# Guest side of demo.sh: one norvel-read run against the emulated sensor, its outputs,
# status and wall time left in /out.
start=$(date +%s.%N)
if [ -n "${NORVEL_ARG:-}" ]; then
    "$NORVEL_BIN" "$NORVEL_ARG" > /out/stdout 2> /out/stderr
else
    "$NORVEL_BIN" > /out/stdout 2> /out/stderr
fi
status=$?
awk -v start="$start" -v end="$(date +%s.%N)" 'BEGIN { printf "%.3f\n", end - start }' > /out/wall
echo $status > /out/status
