#!/usr/bin/env bash
# The whole performance run in one command: release build, a private MariaDB, then
#   1. intake in-process (framing + validation + dispatch) against a memcpy of the same bytes,
#   2. the writers' per-record work (data-file lines, GBK conversion, escaping) in-process,
#   3. end to end with a fresh install tree and a service-mode collector: devsim flat out with 1, 8
#      and 32 devices, merging on and off, beside one load data and one-row inserts of the same rows,
#      and the collector's memory with idle devices (and, with --soak, over a long steady run).
# Takes about 30 minutes (40 with --soak). Arguments after the options go to ingest_e2e_bench.
#
# --bigdb runs instead the cost as tables grow: one device database prefilled by load data with
# history over 200 days to 1M, 10M and 50M usrbasiclog rows (the other big tables in proportion),
# and at each size the collector's user-log rate beside the server's reload of rows of the same
# shape. The default sizes need about 15 GiB free under the build directory and roughly an hour.
# Add --maintenance 1 to run then, at the last size, the shipped cleaning, report and repair
# statements one after the other while 8 devices send 10,000 records/s in all (merge on).
#
#   bench/run.sh [--soak] [--build-dir DIR] [ingest_e2e_bench options...]
#   bench/run.sh --bigdb [--bigdb-sizes 1000000,10000000,50000000] [--maintenance 1] [--build-dir DIR] [options...]
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
BUILD="$ROOT/build-bench"
E2E_ARGS=()
BIGDB=0
BIGDB_SIZES=1000000,10000000,50000000
while [ $# -gt 0 ]; do
    case "$1" in
    --soak) E2E_ARGS+=(--soak-seconds 600); shift ;;
    --bigdb) BIGDB=1; shift ;;
    --bigdb-sizes) BIGDB=1; BIGDB_SIZES="$2"; shift 2 ;;
    --build-dir) BUILD="$2"; shift 2 ;;
    *) E2E_ARGS+=("$1"); shift ;;
    esac
done

cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
ninja -C "$BUILD" Quillbarn devsim scmctl seqcheck intake_bench writers_bench xml_push_bench ingest_e2e_bench >/dev/null

DB="$BUILD/bench-mariadb"
eval "$("$ROOT/scripts/test-mariadb.sh" start "$DB")"
trap '"$ROOT/scripts/test-mariadb.sh" stop "$DB" >/dev/null 2>&1 || true' EXIT

echo "== machine: $(nproc) cores, $(uname -r), load $(cut -d' ' -f1-3 /proc/loadavg)"
if [ "$BIGDB" = 1 ]; then
    echo "== free space for the database: $(df -h --output=avail "$DB" | tail -1 | tr -d ' ')"
    echo "== cost as tables grow: $BUILD/bin/ingest_e2e_bench --sizes $BIGDB_SIZES ${E2E_ARGS[*]:-}"
    "$BUILD/bin/ingest_e2e_bench" --sizes "$BIGDB_SIZES" "${E2E_ARGS[@]}"
    exit
fi
echo
echo "== intake in-process: $BUILD/bin/intake_bench"
"$BUILD/bin/intake_bench" 2>/dev/null | tee "$BUILD/intake_bench.out" | grep -E "^BM_|^Benchmark"
python3 - "$BUILD/intake_bench.out" <<'PY'
import re, sys
rates = {}
for line in open(sys.argv[1]):
    m = re.match(r'(BM_\w+)\S*\s.*items_per_second=([\d.]+)([kMG]?)/s', line)
    if m:
        rates[m.group(1)] = float(m.group(2)) * {'': 1, 'k': 1e3, 'M': 1e6, 'G': 1e9}[m.group(3)]
b, r = rates.get('BM_IntakeMemcpyBaseline'), rates.get('BM_IntakeFrameCheckDispatch')
if b and r:
    print(f"   intake: {r:,.0f} records/s per core (CPU time); memcpy of the same bytes {b:,.0f} records/s; ratio {r/b:.2f}")
PY
echo
echo "== writers in-process: $BUILD/bin/writers_bench"
"$BUILD/bin/writers_bench" 2>/dev/null | tee "$BUILD/writers_bench.out" | grep -E "^BM_|^Benchmark"
python3 - "$BUILD/writers_bench.out" <<'PY'
import re, sys
rates = {}
for line in open(sys.argv[1]):
    m = re.match(r'(BM_\w+)\S*\s.*items_per_second=([\d.]+)([kMG]?)/s', line)
    if m:
        rates[m.group(1)] = float(m.group(2)) * {'': 1, 'k': 1e3, 'M': 1e6, 'G': 1e9}[m.group(3)]
b = rates.get('BM_WriterLinesMemcpyBaseline')
for k, v in rates.items():
    if k != 'BM_WriterLinesMemcpyBaseline' and b:
        print(f"   {k}: {v:,.0f} records/s per core; memcpy of the same line bytes {b:,.0f}/s; ratio {v/b:.4f}")
PY
echo
echo "== hostile directory pushes in-process: $BUILD/bin/xml_push_bench"
"$BUILD/bin/xml_push_bench"
echo
echo "== end to end: $BUILD/bin/ingest_e2e_bench ${E2E_ARGS[*]:-}"
"$BUILD/bin/ingest_e2e_bench" "${E2E_ARGS[@]}"
