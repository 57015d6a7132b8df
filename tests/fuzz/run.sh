#!/usr/bin/env bash
# Runs every libFuzzer harness built in BUILD_DIR for SECONDS each (default 20) from the seed
# corpus in tests/fuzz/corpus, whose new inputs go to a scratch folder. Build them with clang:
#   CXX=clang++ cmake -S . -B build-fuzz -DNORVEL_FUZZ=ON -DBUILD_TESTING=OFF
#   cmake --build build-fuzz -j2 && bash tests/fuzz/run.sh build-fuzz 20
# Fails when a harness crashes, trips a sanitizer or one of its own checks; the reproducer is
# kept in BUILD_DIR/fuzz-findings (replay: BUILD_DIR/tests/fuzz/NAME_fuzzer FILE).
set -euo pipefail
build=$(cd "${1:?usage: run.sh BUILD_DIR [SECONDS]}" && pwd)
mkdir -p "$build/fuzz-findings"
for harness in record message; do
  scratch=$(mktemp -d)
  "$build/tests/fuzz/${harness}_fuzzer" -max_total_time="${2:-20}" -print_final_stats=1 \
    -artifact_prefix="$build/fuzz-findings/$harness-" "$scratch" "$(dirname "$0")/corpus/$harness" 2>&1 |
    grep -E '^stat::(number_of_executed_units|average_exec_per_sec)|ERROR|SUMMARY|_fuzzer:' | sed "s/^/$harness: /"
  rm -rf "$scratch"
done
