#!/usr/bin/env bash
# ThreadSanitizer run of the unit tests: configures a build of its own with QB_TSAN (gcc, -fsanitize=thread)
# in $BUILD_DIR/tsan, builds the unit programs (and the programs they start, instrumented as well), and runs
# the tests labelled unit with halt_on_error, so that a test fails at the first report. Every process writes
# its reports to $BUILD_DIR/tsan/reports, the collectors and tools the tests start included; any report
# fails the run and is printed at the end.
#   scripts/sanitize.sh [ctest arguments...]      e.g. -R RecordTask to run some tests only (the crash
#                                                 report tests always run)
# Environment: BUILD_DIR (default build), SANITIZE_JOBS (default 2). Without QB_TEST_DB_HOST a private
# MariaDB is started for the run (and stopped again), as scripts/test.sh does.
# Exit status: 0 when every test passed and no process reported anything.
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
BUILD_DIR="${BUILD_DIR:-$ROOT/build}"
TSAN_BUILD="$BUILD_DIR/tsan"
JOBS="${SANITIZE_JOBS:-2}"
REPORTS="$TSAN_BUILD/reports"

# Tests that say nothing under the sanitizer, each with its reason:
#   Memory.LargeBlocksAreMappedLazilyAndGivenBack measures resident memory, which the sanitizer's shadow
#     memory and its own allocator decide instead of the C library.
EXCLUDED='^Memory\.LargeBlocksAreMappedLazilyAndGivenBack$'
# The crash report tests end the collector with a fatal signal. Its handler has the frames described in a
# child process it starts (where allocating is safe again), but the sanitizer counts the child as still
# inside the handler and reports every allocation there; those tests run with its signal-safety reports
# off, still failing on any data race or lock-order report.
CRASH_TESTS='^CrashReport\.'

cmake -S "$ROOT" -B "$TSAN_BUILD" -G Ninja -DQB_TSAN=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
# The unit programs and the replay driver of the fuzz corpus (its ctest entries are labelled unit too).
mapfile -t targets < <(cmake --build "$TSAN_BUILD" --target help | grep -oE '^(unit_[A-Za-z0-9_]+|fuzz_replay):' |
    tr -d : | sort -u)
[ ${#targets[@]} -gt 0 ] || { echo "sanitize: no unit programs to build" >&2; exit 2; }
cmake --build "$TSAN_BUILD" -j"$JOBS" --target "${targets[@]}"

if [ -z "${QB_TEST_DB_HOST:-}" ] && [ -x "$ROOT/scripts/test-mariadb.sh" ]; then
    export QB_TEST_DB_DIR="$TSAN_BUILD/test-mariadb"
    trap '"$ROOT/scripts/test-mariadb.sh" stop "$QB_TEST_DB_DIR" || true' EXIT
    eval "$("$ROOT/scripts/test-mariadb.sh" start "$QB_TEST_DB_DIR")"
fi

rm -rf "$REPORTS"
mkdir -p "$REPORTS"
# No suppressions: no report came from inside a library.
OPTIONS="halt_on_error=1 second_deadlock_stack=1 log_path=$REPORTS/tsan"

status=0
cd "$TSAN_BUILD"
TSAN_OPTIONS="$OPTIONS" ctest -L unit -E "$EXCLUDED|$CRASH_TESTS" -j"$JOBS" --timeout 600 --output-on-failure "$@" ||
    status=1
TSAN_OPTIONS="$OPTIONS report_signal_unsafe=0" ctest -L unit -R "$CRASH_TESTS" -j"$JOBS" --timeout 600 \
    --output-on-failure || status=1

mapfile -t reports < <(find "$REPORTS" -type f -name 'tsan.*' | sort)
if [ ${#reports[@]} -gt 0 ]; then
    status=1
    for r in "${reports[@]}"; do
        echo "==== $r"
        cat "$r"
    done
fi
echo "sanitize: ${#reports[@]} processes reported (reports in $REPORTS)"
exit $status
