#!/usr/bin/env bash
# The one test command: installs what is missing, builds, starts a private
# MariaDB for the run, runs ctest, and stops the server again (also on failure).
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
BUILD_DIR="${BUILD_DIR:-$ROOT/build}"
"$ROOT/scripts/install-deps.sh"

# The lines the tree holds to: includes point down the layers, every C++ file is formatted, and the
# generated SQL and upgrade source are what their generators make today.
"$ROOT/scripts/check-layers.sh"
"$ROOT/scripts/check-format.sh"
"$ROOT/scripts/check-generated.sh"

# Warnings fail the test build. Line tables and function names are all the debug information the
# tests use (backtraces, sanitizer reports); full variable information made the build a third slower.
"$ROOT/scripts/build.sh" -DQB_WERROR=ON -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG" \
    -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG"

# Fuzz targets: a clang build of their own (libFuzzer, AddressSanitizer, UndefinedBehaviorSanitizer) in
# $BUILD_DIR/fuzz; each target runs 60 s from its committed corpus, two at a time (about 2 minutes plus
# the build). A finding stops the run here with its report. QB_SKIP_FUZZ=1 leaves the step out.
if [ "${QB_SKIP_FUZZ:-0}" != 1 ]; then
    BUILD_DIR="$BUILD_DIR" "$ROOT/scripts/fuzz.sh"
fi

if [ -x "$ROOT/scripts/test-mariadb.sh" ]; then
    export QB_TEST_DB_DIR="$BUILD_DIR/test-mariadb"
    trap '"$ROOT/scripts/test-mariadb.sh" stop "$QB_TEST_DB_DIR" || true' EXIT
    eval "$("$ROOT/scripts/test-mariadb.sh" start "$QB_TEST_DB_DIR")"
fi

cd "$BUILD_DIR"
ctest --output-on-failure -j"$(nproc)" --timeout 600 "$@"
