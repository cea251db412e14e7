#!/usr/bin/env bash
# Configures and builds: executables in build/bin/, the shared library in build/lib/.
# BUILD_DIR and BUILD_TYPE may be set in the environment.
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
BUILD_DIR="${BUILD_DIR:-$ROOT/build}"
BUILD_TYPE="${BUILD_TYPE:-RelWithDebInfo}"
cmake -S "$ROOT" -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE="$BUILD_TYPE" "$@" >/dev/null
cmake --build "$BUILD_DIR" -j"$(nproc)"
