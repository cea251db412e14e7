#!/usr/bin/env bash
# The watchdog against real faults: SIGKILL of the collector is mended by
# exactly one restart with the port open again within 15 s, and a collector
# whose 64 device slots are all held keeps answering the probe, so it is not
# restarted. QB_SOAK=1 holds the slots for 2 minutes (30 s otherwise; the
# watchdog probes every 10 s at the test interval divisor of 10).
# Usage: watchdog_fault_test.sh BIN_DIR
set -uo pipefail
ROOT="$(cd "$(dirname "$0")/../.." && pwd)"
PROV="$ROOT/tools/provision/quillbarn-provision"
BIN_DIR="$1"
export QUILLBARN_SCMCTL="$BIN_DIR/scmctl"
WORK="$(mktemp -d)"
TREE="$WORK/install"
FAILED=0
HOLD=30
[ -n "${QB_SOAK:-}" ] && HOLD=120
unset QUILLBARN_SCM_DIR QUILLBARN_REGISTRY
export QUILLBARN_TEST_TIME_DIVISOR=10

cleanup() {
    "$PROV" uninstall-services "$TREE" >/dev/null 2>&1
    "$PROV" stop-db "$TREE" >/dev/null 2>&1
    rm -rf "$WORK"
}
trap cleanup EXIT
fail() { FAILED=$((FAILED + 1)); echo "FAIL: $*"; }
collector_pids() { pgrep -f "^$TREE/bin/Quillbarn\$" | sort; }
port_open() { (exec 3<>"/dev/tcp/127.0.0.1/$PORT") 2>/dev/null; }
now_ms() { date +%s%3N; }

"$PROV" init "$TREE" >/dev/null 2>&1 || { echo "init failed"; exit 1; }
eval "$("$PROV" env "$TREE")"
PORT=$(( 20000 + RANDOM % 10000 ))
sed -i "s/^Port=.*/Port=$PORT/" "$TREE/Kelv/Config/Kelv.conf"
sed -i "s/^MaxConnection=.*/MaxConnection=64/" "$TREE/Kelv/Config/KelvAdv.conf"
"$PROV" install-services "$TREE" --start >/dev/null 2>&1 || { echo "install-services failed"; exit 1; }
for _ in $(seq 1 300); do port_open && break; sleep 0.1; done
port_open || { echo "collector port $PORT never opened"; exit 1; }
FIRST="$(collector_pids)"

# SIGKILL: back within 15 s, after exactly one restart.
kill -9 $FIRST
T0=$(now_ms)
BACK=""
SEEN="$FIRST"
while [ $(( $(now_ms) - T0 )) -lt 15000 ]; do
    for p in $(collector_pids); do case " $SEEN " in *" $p "*) ;; *) SEEN="$SEEN $p" ;; esac; done
    if ! kill -0 "$FIRST" 2>/dev/null && [ -n "$(collector_pids)" ] && port_open; then BACK=$(( $(now_ms) - T0 )); break; fi
    sleep 0.1
done
[ -n "$BACK" ] || fail "port not accepting within 15 s of the kill"
sleep 5
for p in $(collector_pids); do case " $SEEN " in *" $p "*) ;; *) SEEN="$SEEN $p" ;; esac; done
RESTARTS=$(( $(echo $SEEN | wc -w) - 1 ))
[ "$RESTARTS" -eq 1 ] || fail "expected exactly one restart, saw $RESTARTS"
echo "[figures] SIGKILL of the collector: port accepting again after ${BACK:-?} ms, restarts $RESTARTS"

# Every slot held: the probe is still answered and nothing is restarted.
SECOND="$(collector_pids)"
"$BIN_DIR/devsim" --port "$PORT" --quiet --no-push --devices 64 --rate 1 --seconds "$HOLD" \
    --mix sys=1 --reply-timeout 30 >"$WORK/hold.out" 2>&1 &
HOLDER=$!
sleep 3
PROBES=0
PROBED=0
while kill -0 $HOLDER 2>/dev/null; do
    PROBES=$((PROBES + 1))
    "$BIN_DIR/devsim" --probe --port "$PORT" >/dev/null 2>&1 && PROBED=$((PROBED + 1))
    sleep 5
done
wait $HOLDER
grep -q "Max Connection" "$TREE"/Kelv/Log/LogFile_*.log || fail "the slots were never all taken"
[ "$(collector_pids)" = "$SECOND" ] || fail "collector restarted while its slots were held"
[ "$PROBED" -eq "$PROBES" ] || fail "probe answered $PROBED of $PROBES times with every slot taken"
echo "[figures] 64 connections held ${HOLD} s: probes answered $PROBED of $PROBES, collector restarts 0"
[ "$FAILED" -eq 0 ]
