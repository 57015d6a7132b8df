#!/usr/bin/env bash
# Runs every libFuzzer harness built in BUILD_DIR for SECONDS each (default 20), starting
# from the seed corpus in tests/fuzz/corpus. Build them with clang (Debian: clang,
# libclang-rt-14-dev, libfuzzer-14-dev):
#   CXX=clang++ cmake -S . -B build-fuzz -DNORVEL_FUZZ=ON -DBUILD_TESTING=OFF
#   cmake --build build-fuzz -j2 && bash tests/fuzz/run.sh build-fuzz 20
# One harness alone: build-fuzz/tests/fuzz/record_fuzzer DIR (see -help=1); a reproducer
# replays with build-fuzz/tests/fuzz/record_fuzzer FILE. New inputs go to a scratch
# copy, so the committed corpus stays small. Fails when any harness crashes, trips a
# sanitizer or one of its own checks; the reproducer is kept in BUILD_DIR/fuzz-findings.
set -euo pipefail
build=$(cd "${1:?usage: run.sh BUILD_DIR [SECONDS]}" && pwd)
seconds=${2:-20}
corpus=$(cd "$(dirname "$0")" && pwd)/corpus
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
findings=$build/fuzz-findings
mkdir -p "$findings"

failed=0
for harness in record arguments message; do
  mkdir "$scratch/$harness"
  cp "$corpus/$harness"/* "$scratch/$harness/"
  log=$scratch/$harness.log
  if "$build/tests/fuzz/${harness}_fuzzer" -max_total_time="$seconds" -print_final_stats=1 \
    -artifact_prefix="$findings/$harness-" "$scratch/$harness" >"$log" 2>&1; then
    executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    speed=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
    units=$(find "$scratch/$harness" -type f | wc -l)
    echo "$harness: $executions executions, $speed exec/s, corpus $units inputs, no findings"
  else
    echo "$harness: FAILED"
    grep -v -e '^#' -e '^INFO:' -e '^  *"' "$log" | tail -n 80
    failed=1
  fi
done
exit "$failed"
