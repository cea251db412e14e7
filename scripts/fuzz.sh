#!/usr/bin/env bash
# Builds the fuzz targets (fuzz/: clang, libFuzzer, AddressSanitizer, UndefinedBehaviorSanitizer) in
# their own build directory and runs each for FUZZ_SECONDS (default 60), two at a time on the two cores.
# Every run starts from the committed corpus (fuzz/corpus/<target>, left unchanged) and stops at the
# first finding; the inputs it found are left in the work directory for a person to look at.
#   scripts/fuzz.sh [target...]      targets: framing xmlpush lzo1b infoqry (default: all)
# Environment: BUILD_DIR (default build), FUZZ_SECONDS, FUZZ_JOBS (default 2), FUZZ_SEED (default: a
# fresh seed each run; a fixed seed repeats libFuzzer's choices, though the targets' own threads and
# timing still vary the path).
# Exit status: 0 when no target found anything.
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
BUILD_DIR="${BUILD_DIR:-$ROOT/build}"
FUZZ_BUILD="$BUILD_DIR/fuzz"
SECONDS_EACH="${FUZZ_SECONDS:-60}"
JOBS="${FUZZ_JOBS:-2}"
SEED_ARGS=()
[ -z "${FUZZ_SEED:-}" ] || SEED_ARGS=(-seed="$FUZZ_SEED")
TARGETS=("$@")
[ ${#TARGETS[@]} -gt 0 ] || TARGETS=(framing xmlpush lzo1b infoqry)

CC=clang CXX=clang++ cmake -S "$ROOT/fuzz" -B "$FUZZ_BUILD" -G Ninja >/dev/null
cmake --build "$FUZZ_BUILD" -j"$(nproc)" >/dev/null

WORK="$FUZZ_BUILD/runs"
rm -rf "$WORK"
mkdir -p "$WORK"
run_one() {
    local t="$1" dir="$WORK/$1"
    mkdir -p "$dir/corpus"
    cp "$ROOT/fuzz/corpus/$t/"* "$dir/corpus/"
    # Records reach 1 MiB in the framing target; the others take their inputs whole.
    (cd "$dir" && "$FUZZ_BUILD/fuzz_$t" -max_total_time="$SECONDS_EACH" -max_len=131072 -timeout=30 \
        -rss_limit_mb=2048 -print_final_stats=1 ${SEED_ARGS[@]+"${SEED_ARGS[@]}"} corpus >"$dir/fuzz.log" 2>&1)
}
status=0
pids=()
names=()
for t in "${TARGETS[@]}"; do
    run_one "$t" &
    pids+=($!)
    names+=("$t")
    if [ ${#pids[@]} -ge "$JOBS" ]; then
        wait "${pids[0]}" || true
        pids=("${pids[@]:1}")
    fi
done
wait || true
for t in "${names[@]}"; do
    log="$WORK/$t/fuzz.log"
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    found=$(ls "$WORK/$t" | grep -cE '^(crash|leak|timeout|oom)-' || true)
    echo "fuzz $t: ${runs:-0} inputs in ${SECONDS_EACH}s, $found findings"
    if [ "$found" != "0" ] || [ -z "$runs" ]; then
        status=1
        grep -m1 -A30 -E 'ERROR|runtime error|invariant failed' "$log" || tail -30 "$log"
    fi
done
exit $status
