#!/usr/bin/env bash
# The one test command: installs what is missing, builds, starts a private
# MariaDB for the run, runs ctest, and stops the server again (also on failure).
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
BUILD_DIR="${BUILD_DIR:-$ROOT/build}"
"$ROOT/scripts/install-deps.sh"
"$ROOT/scripts/build.sh"

if [ -x "$ROOT/scripts/test-mariadb.sh" ]; then
    export QB_TEST_DB_DIR="$BUILD_DIR/test-mariadb"
    trap '"$ROOT/scripts/test-mariadb.sh" stop "$QB_TEST_DB_DIR" || true' EXIT
    eval "$("$ROOT/scripts/test-mariadb.sh" start "$QB_TEST_DB_DIR")"
fi

cd "$BUILD_DIR"
ctest --output-on-failure -j"$(nproc)" --timeout 600 "$@"
