#!/usr/bin/env bash
# Sets up and runs Quillbarn locally: installs what is missing, builds, creates the install tree
# ./run/demo (once; later runs re-use it) with its own MariaDB and a device "demo" whose secret is
# "demo-secret", and runs the collector in the foreground (-Console) against it. Ctrl-C stops the
# collector; the database is stopped with it unless KEEP_DB=1.
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
BUILD_DIR="${BUILD_DIR:-$ROOT/build}"
TREE="${QUILLBARN_RUN_DIR:-$ROOT/run/demo}"
PROV="$ROOT/tools/provision/quillbarn-provision"

"$ROOT/scripts/install-deps.sh"
BUILD_DIR="$BUILD_DIR" "$ROOT/scripts/build.sh"
export QUILLBARN_SCMCTL="${QUILLBARN_SCMCTL:-$BUILD_DIR/bin/scmctl}"
[ -x "$QUILLBARN_SCMCTL" ] || unset QUILLBARN_SCMCTL

if [ ! -f "$TREE/quillbarn.env" ] || [ ! -d "$TREE/mysql/data/mysql" ]; then
    echo "run-local: creating the install tree $TREE" >&2
    "$PROV" init "$TREE"
else
    echo "run-local: re-using the install tree $TREE" >&2
    "$PROV" start-db "$TREE"
fi
if ! "$PROV" list-devices "$TREE" 2>/dev/null | awk -F'\t' '$1 == "demo" && $4 == 0 { f = 1 } END { exit !f }'; then
    "$PROV" add-device "$TREE" demo demo-secret >/dev/null
fi

eval "$("$PROV" env "$TREE")"
if [ "${KEEP_DB:-0}" != 1 ]; then
    trap '"$PROV" stop-db "$TREE" || true' EXIT
fi
echo "run-local: device 'demo' (secret 'demo-secret', key $(printf '%s' demo-secret | md5sum | cut -c1-32))" >&2
echo "run-local: QUILLBARN_REGISTRY=$QUILLBARN_REGISTRY QUILLBARN_SCM_DIR=$QUILLBARN_SCM_DIR" >&2
# A tree made before the endpoint existed has no [Metrics] section: the collector's default port then.
metrics_port="$(awk -F= '/^\[/ { s = $0 } s == "[Metrics]" && $1 == "ListenPort" { print $2 }' \
    "$TREE/Kelv/Config/KelvAdv.conf" 2>/dev/null | tr -d '\r' || true)"
metrics_port="${metrics_port:-9510}"
[ "$metrics_port" = 0 ] || echo "run-local: metrics: curl -s 127.0.0.1:$metrics_port/metrics" >&2
"$BUILD_DIR/bin/Quillbarn" -Console
