#!/usr/bin/env bash
# The long reliability set: builds, starts a private MariaDB, and runs every
# scripts/soak.d/*.sh in turn (each prints its figures). Takes tens of minutes.
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
BUILD_DIR="${BUILD_DIR:-$ROOT/build}"
"$ROOT/scripts/install-deps.sh"
BUILD_DIR="$BUILD_DIR" "$ROOT/scripts/build.sh"
export QB_TEST_DB_DIR="$BUILD_DIR/soak-mariadb"
trap '"$ROOT/scripts/test-mariadb.sh" stop "$QB_TEST_DB_DIR" || true' EXIT
eval "$("$ROOT/scripts/test-mariadb.sh" start "$QB_TEST_DB_DIR")"
export BUILD_DIR QB_SOAK=1
status=0
for s in "$ROOT"/scripts/soak.d/*.sh; do
    [ -e "$s" ] || continue
    echo "== $(basename "$s")"
    bash "$s" || status=1
done
exit $status
