#!/usr/bin/env bash
# Runs clang-tidy (the checks of .clang-tidy at the root) over the collector's own sources: the folder
# layers, the watchdog and the schema-upgrade library; tests, benchmarks, fuzz targets and tools are left
# out. Fails on any finding. The compile commands come from BUILD_DIR (default build), configured here
# (again) first.
#   scripts/tidy.sh [source-regex]     only the product sources whose path matches the regex
# Environment: BUILD_DIR, TIDY_JOBS (default 2), CLANG_TIDY (default clang-tidy).
# Exit status: 0 when clang-tidy found nothing.
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
BUILD_DIR="${BUILD_DIR:-$ROOT/build}"
JOBS="${TIDY_JOBS:-2}"
CLANG_TIDY="${CLANG_TIDY:-clang-tidy}"
FILTER="${1:-}"
PRODUCT='app|intake|maintenance|writers|storage|protocol|config|core|platform|watchdog|schemalift'

command -v "$CLANG_TIDY" >/dev/null || { echo "tidy: $CLANG_TIDY not found (scripts/install-deps.sh installs it)" >&2; exit 2; }
# Configured (again) so that the compile commands name every source the tree has now.
if [ -f "$BUILD_DIR/CMakeCache.txt" ]; then
    cmake "$BUILD_DIR" >/dev/null
else
    echo "tidy: configuring $BUILD_DIR for its compile commands" >&2
    cmake -S "$ROOT" -B "$BUILD_DIR" -G Ninja >/dev/null
fi

# The product's translation units, as the build compiles them.
mapfile -t files < <(python3 - "$BUILD_DIR/compile_commands.json" "$ROOT" "$PRODUCT" "$FILTER" <<'EOF'
import json, os, re, sys
db, root, product, extra = sys.argv[1:5]
root = os.path.realpath(root)
mine = re.compile(re.escape(root) + '/(' + product + ')/')
seen = set()
for entry in json.load(open(db)):
    path = os.path.realpath(os.path.join(entry['directory'], entry['file']))
    if mine.match(path) and (not extra or re.search(extra, path)) and path not in seen:
        seen.add(path)
        print(path)
EOF
)
if [ ${#files[@]} -eq 0 ]; then
    echo "tidy: no product sources in $BUILD_DIR/compile_commands.json" >&2
    exit 2
fi

log="$(mktemp)"
trap 'rm -f "$log"' EXIT
# Each file on its own, JOBS at a time; every finding is an error so that a run fails on any.
status=0
printf '%s\0' "${files[@]}" |
    xargs -0 -n 1 -P "$JOBS" "$CLANG_TIDY" -p "$BUILD_DIR" --quiet --use-color=false --warnings-as-errors='*' \
        >"$log" 2>&1 || status=1

# A finding in a header is reported once for every source that includes it: each is listed once.
findings="$(grep -E '^/.*:[0-9]+:[0-9]+: (warning|error): ' "$log" | sort -u || true)"
count=0
[ -z "$findings" ] || count=$(printf '%s\n' "$findings" | wc -l)
if [ "$count" -gt 0 ] || [ "$status" -ne 0 ]; then
    if [ "$count" -gt 0 ]; then
        printf '%s\n' "$findings" | sed "s#^$ROOT/##"
    else
        cat "$log"
    fi
    echo "tidy: $count findings in ${#files[@]} product sources" >&2
    exit 1
fi
echo "tidy: ${#files[@]} product sources, 0 findings"
