#!/usr/bin/env bash
# Measures norvel-read on the demo's run (the mock bluetoothd with tools/mock_bluetoothd/demo-sensor.json):
# instructions executed (callgrind's total Ir), peak resident set size (/usr/bin/time %M) and
# the time from execve to connect() on the system bus (strace). Prints the median of RUNS runs
# of each, one line per binary. Needs valgrind, strace and time (apt-get install them).
#   usage: tools/bench/measure-run.sh [--runs N] BINARY...
set -euo pipefail
cd "$(dirname "$0")/../.."

runs=5
if [[ ${1-} == --runs ]]; then runs=$2; shift 2; fi
(($# > 0)) || { echo "usage: tools/bench/measure-run.sh [--runs N] BINARY..." >&2; exit 2; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

on_mock() { /usr/bin/python3 -m tools.mock_bluetoothd.private_bus --scenario tools/mock_bluetoothd/demo-sensor.json -- "$@"; }
median() { sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

printf '%-40s %14s %14s %16s\n' binary 'instructions' 'peak RSS (kB)' 'exec->connect (ms)'
for binary in "$@"; do
  for ((i = 0; i < runs; i++)); do
    on_mock valgrind --tool=callgrind --callgrind-out-file="$work/callgrind" "$binary" >/dev/null 2>"$work/valgrind"
    sed -n 's/.*Collected : \([0-9]*\).*/\1/p' "$work/valgrind" >>"$work/ir"
    on_mock /usr/bin/time -o "$work/time" -f %M "$binary" >/dev/null
    cat "$work/time" >>"$work/rss"
    on_mock strace --seccomp-bpf -f -ttt -e trace=execve,connect -o "$work/strace" "$binary" >/dev/null 2>&1
    awk '/execve\(/ && !s { s = $2 } /connect\(/ && !c { c = $2 } END { printf "%.2f\n", (c - s) * 1000 }' \
      "$work/strace" >>"$work/start"
  done
  printf '%-40s %14s %14s %16s\n' "$binary" "$(median <"$work/ir")" "$(median <"$work/rss")" "$(median <"$work/start")"
  rm -f "$work/ir" "$work/rss" "$work/start"
done
