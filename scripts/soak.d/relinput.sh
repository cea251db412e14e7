#!/usr/bin/env bash
# Bad input, the long way: every fuzz target for 10 minutes (two at a time), then the hostile-input
# scenarios against the real collector, the slow-info-client comparison among them.
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/../.." && pwd)"
BUILD_DIR="${BUILD_DIR:-$ROOT/build}"
FUZZ_SECONDS="${FUZZ_SECONDS:-600}" BUILD_DIR="$BUILD_DIR" "$ROOT/scripts/fuzz.sh"
"$BUILD_DIR/bin/integ_collector" --gtest_filter='HostileInputE2E.*' --gtest_repeat=3
