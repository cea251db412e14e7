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

# A demo shows rows within a minute: user and system logs wait in data files for DataFileUseTime
# minutes (10 on a fresh install) before they are loaded.
"$PROV" config "$TREE" KelvAdv.conf DataFile DataFileUseTime 1

eval "$("$PROV" env "$TREE")"
if [ "${KEEP_DB:-0}" != 1 ]; then
    trap '"$PROV" stop-db "$TREE" || true' EXIT
fi
echo "run-local: device 'demo' (secret 'demo-secret', key $(printf '%s' demo-secret | md5sum | cut -c1-32))" >&2
echo "run-local: QUILLBARN_REGISTRY=$QUILLBARN_REGISTRY QUILLBARN_SCM_DIR=$QUILLBARN_SCM_DIR" >&2
# A tree made before the endpoint existed has no [Metrics] section: the collector's default port then.
metrics_port="$("$PROV" config "$TREE" KelvAdv.conf Metrics ListenPort)"
metrics_port="${metrics_port:-9510}"
REL_BIN="${BUILD_DIR#"$PWD"/}/bin"
REL_PROV="${PROV#"$PWD"/}"
REL_TREE="${TREE#"$PWD"/}"
cat >&2 <<EOF
run-local: the collector starts below; Ctrl-C stops it. In another terminal:
  send records for 10 s:   $REL_BIN/devsim --devices 1 --secret demo-secret --port $("$PROV" config "$TREE" Kelv.conf DatabaseConfig Port) --seconds 10
  counters:                $REL_BIN/infoqry $("$PROV" config "$TREE" KelvAdv.conf InfoRetrieve ListenPort)
  the tree at a glance:    $REL_PROV status $REL_TREE
  metrics:                 curl -s 127.0.0.1:$metrics_port/metrics
  look at rows:            $REL_PROV sql $REL_TREE demo -e 'select count(*) from usrbasiclog'
  (user and system logs reach their tables about a minute after they arrive: DataFileUseTime=1)
EOF
"$BUILD_DIR/bin/Quillbarn" -Console
