#!/usr/bin/env bash
# The installed services end to end: an install tree with its own MariaDB, the collector
# registered as "KELV" and the watchdog as "KELVDog" by the provisioning tool. The watchdog
# starts the collector, restarts it after a kill, the collector (as a service) restarts its
# database service, and removing the services stops both.
# Usage: services_test.sh BIN_DIR
set -uo pipefail
ROOT="$(cd "$(dirname "$0")/../.." && pwd)"
PROV="$ROOT/tools/provision/quillbarn-provision"
BIN_DIR="$1"
export QUILLBARN_SCMCTL="$BIN_DIR/scmctl"
WORK="$(mktemp -d)"
TREE="$WORK/install"
PASSED=0
FAILED=0
unset QUILLBARN_SCM_DIR QUILLBARN_REGISTRY
# Watchdog checks every second; the intervals of the collector are shortened tenfold.
export QUILLBARN_TEST_TIME_DIVISOR=10

cleanup() {
    "$PROV" uninstall-services "$TREE" >/dev/null 2>&1
    "$PROV" stop-db "$TREE" >/dev/null 2>&1
    rm -rf "$WORK"
}
trap cleanup EXIT
ok() { PASSED=$((PASSED + 1)); }
fail() { FAILED=$((FAILED + 1)); echo "FAIL: $*"; }
# Waits up to $1 tenths of a second for a command to succeed.
wait_for() {
    local n="$1"
    shift
    for _ in $(seq 1 "$n"); do
        "$@" >/dev/null 2>&1 && return 0
        sleep 0.1
    done
    return 1
}
collector_pid() { pgrep -f "^$TREE/bin/Quillbarn\$" | head -n1; }

"$PROV" init "$TREE" >/dev/null 2>&1 || { echo "init failed"; exit 1; }
"$PROV" add-device "$TREE" dev1 secret1 >/dev/null 2>&1 || { echo "add-device failed"; exit 1; }
eval "$("$PROV" env "$TREE")"
PORT=$(( 20000 + RANDOM % 10000 ))
sed -i "s/^Port=.*/Port=$PORT/" "$TREE/Kelv/Config/Kelv.conf"
SCM="$BIN_DIR/scmctl"

if "$PROV" install-services "$TREE" --start >/dev/null 2>&1; then ok; else fail "install-services --start"; fi
[ "$("$SCM" query KELVDog)" = RUNNING ] && ok || fail "watchdog not running"
if wait_for 150 bash -c "exec 3<>/dev/tcp/127.0.0.1/$PORT"; then ok; else fail "collector port $PORT not open"; fi
FIRST="$(collector_pid)"
[ -n "$FIRST" ] && ok || fail "no collector process"

# The probe answer: a real device-port client sees the collector alive.
if "$BIN_DIR/devsim" --probe --port "$PORT" >/dev/null 2>&1; then ok; else fail "probe not answered"; fi

# A killed collector is started again by the watchdog.
kill -9 "$FIRST"
if wait_for 150 bash -c "p=\$(pgrep -f '^$TREE/bin/Quillbarn\$'); [ -n \"\$p\" ] && [ \"\$p\" != $FIRST ]"; then ok; else
    fail "collector not restarted after kill"
fi
if wait_for 150 bash -c "exec 3<>/dev/tcp/127.0.0.1/$PORT"; then ok; else fail "port not back after restart"; fi

# The collector keeps its database service running.
"$SCM" stop VelmoraSSLSQL >/dev/null 2>&1
"$SCM" wait VelmoraSSLSQL STOPPED 30 >/dev/null 2>&1 && ok || fail "database service did not stop"
if wait_for 100 bash -c "[ \"\$('$SCM' query VelmoraSSLSQL)\" = RUNNING ]"; then ok; else
    fail "database service not restarted within 10 s"
fi
grep -q "\[MakeMySqlOK\] Start MySql Service Succeed." "$TREE"/Kelv/Log/LogFile_*.log && ok ||
    fail "no restart line in the log"

# Removing the services stops the watchdog and with it the collector.
"$PROV" uninstall-services "$TREE" >/dev/null 2>&1
if wait_for 300 bash -c "[ -z \"\$(pgrep -f '^$TREE/bin/Quillbarn')\" ]"; then ok; else fail "processes left after uninstall"; fi
"$SCM" query KELV >/dev/null 2>&1 && fail "KELV still registered" || ok

echo "$PASSED passed, $FAILED failed"
[ "$FAILED" -eq 0 ]
