#!/usr/bin/env bash
# Fault scenarios at full length (QB_SOAK=1): 64 devices x 100 records/s while
# the database server is stopped for 10 s and killed, 60 s on a full disk,
# random and fixed-point kills of the collector, the watchdog with 64 slots
# held for 2 minutes. Prints the [figures] lines. Needs root for the tmpfs.
set -uo pipefail
ROOT="$(cd "$(dirname "$0")/../.." && pwd)"
BUILD_DIR="${BUILD_DIR:-$ROOT/build}"
export QB_SOAK=1
status=0
"$BUILD_DIR/bin/integ_collector" --gtest_filter='FaultRecovery.*' | grep -E '^\[(figures|missing|note)\]|OK|FAILED' || status=1
bash "$ROOT/tests/integration/watchdog_fault_test.sh" "$BUILD_DIR/bin" || status=1
exit $status
