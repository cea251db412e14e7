#!/usr/bin/env bash
# The whole test suite under AddressSanitizer and UndefinedBehaviorSanitizer (QB_SANITIZE): a build of
# its own in $BUILD_DIR/asan, every test (unit and integration), and every process the tests start
# instrumented as well. Reports of every process (the collectors, the watchdog and the tools the tests
# start included) go to $BUILD_DIR/asan/reports; any report, leaks at exit included, fails the run and is
# printed at the end. Leaks inside libraries that are not ours are listed in scripts/lib/lsan.supp. Not part of the README's test command (it takes about three times as long).
#   scripts/sanitize-address.sh [ctest arguments...]
# Environment: BUILD_DIR (default build), SANITIZE_JOBS (default 2). Without QB_TEST_DB_HOST a private
# MariaDB is started for the run (and stopped again), as scripts/test.sh does.
# Exit status: 0 when every test passed and no process reported anything.
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
BUILD_DIR="${BUILD_DIR:-$ROOT/build}"
ASAN_BUILD="$BUILD_DIR/asan"
JOBS="${SANITIZE_JOBS:-2}"
REPORTS="$ASAN_BUILD/reports"

# Tests that say nothing under the sanitizer, each with its reason:
#   Memory.LargeBlocksAreMappedLazilyAndGivenBack measures resident memory, which the sanitizer's shadow
#     memory and its own allocator decide instead of the C library.
#   ReliabilityLoad.SixtyFourDevicesLoseNothingAndMemoryStaysFlat and
#   HostileInputE2E.HostilePushesAreRefusedOrHandledQuicklyAndBounded hold resident memory to a budget that
#     the sanitizer's quarantine of freed blocks alone exceeds.
#   CrashReport.FaultInsideTheAllocatorWhileTheLogIsLockedIsReportedAtOnce faults inside the C library
#     allocator's lock, and the sanitizer replaces that allocator (its own catches the fault first).
EXCLUDED='^(Memory\.LargeBlocksAreMappedLazilyAndGivenBack|CrashReport\.FaultInsideTheAllocatorWhileTheLogIsLockedIsReportedAtOnce|ReliabilityLoad\.SixtyFourDevicesLoseNothingAndMemoryStaysFlat|HostileInputE2E\.HostilePushesAreRefusedOrHandledQuicklyAndBounded)$'

# -O1 keeps the instrumented tests near their usual speed; line tables are enough for the reports.
cmake -S "$ROOT" -B "$ASAN_BUILD" -G Ninja -DQB_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG" -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG" >/dev/null
cmake --build "$ASAN_BUILD" -j"$JOBS"

if [ -z "${QB_TEST_DB_HOST:-}" ] && [ -x "$ROOT/scripts/test-mariadb.sh" ]; then
    export QB_TEST_DB_DIR="$ASAN_BUILD/test-mariadb"
    trap '"$ROOT/scripts/test-mariadb.sh" stop "$QB_TEST_DB_DIR" || true' EXIT
    eval "$("$ROOT/scripts/test-mariadb.sh" start "$QB_TEST_DB_DIR")"
fi

rm -rf "$REPORTS"
mkdir -p "$REPORTS"
status=0
cd "$ASAN_BUILD"
ASAN_OPTIONS="detect_leaks=1 log_path=$REPORTS/asan" LSAN_OPTIONS="suppressions=$ROOT/scripts/lib/lsan.supp print_suppressions=0" UBSAN_OPTIONS="print_stacktrace=1 log_path=$REPORTS/ubsan" \
    ctest -E "$EXCLUDED" -j"$JOBS" --timeout 900 --output-on-failure "$@" || status=1

# A report file holds an error, a leak or a finding of undefined behaviour.
mapfile -t reports < <(grep -lE 'ERROR: |runtime error: ' -r "$REPORTS" | sort)
if [ ${#reports[@]} -gt 0 ]; then
    status=1
    for r in "${reports[@]}"; do
        echo "==== $r"
        cat "$r"
    done
fi
echo "sanitize-address: ${#reports[@]} processes reported (reports in $REPORTS)"
exit $status
