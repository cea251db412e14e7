#!/usr/bin/env bash
# Long reliability-under-load set: the ReliabilityLoad tests at full length (QB_SOAK=1: the
# 64-device load runs 60 s instead of 20 s), disabled ones included. Prints each FIGURES line.
set -uo pipefail
BUILD_DIR="${BUILD_DIR:?BUILD_DIR must name the build directory}"
export QB_SOAK=1
out="$(mktemp)"
"$BUILD_DIR/bin/integ_collector" --gtest_filter='ReliabilityLoad.*' --gtest_also_run_disabled_tests >"$out" 2>&1
status=$?
grep -E '^FIGURES|^\[ *(OK|FAILED) *\]' "$out"
[ $status -eq 0 ] || tail -n 80 "$out"
rm -f "$out"
exit $status
