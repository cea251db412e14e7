#!/usr/bin/env bash
# Builds the Debian package quillbarn_<version>_amd64.deb from a build directory (BUILD_DIR, default
# build/; configured and built first) and prints its path. Needs dpkg-dev (dpkg-shlibdeps).
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
BUILD_DIR="${BUILD_DIR:-$ROOT/build}"
if [ ! -f "$BUILD_DIR/CMakeCache.txt" ]; then
    cmake -S "$ROOT" -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-RelWithDebInfo}" >/dev/null
fi
# Only what the package holds, so that a package from an existing build does not rebuild the tests.
cmake --build "$BUILD_DIR" -j"$(nproc)" --target Quillbarn QuillbarnService scmctl infoqry devsim seqcheck \
    schemalift schemalift-cli qb_package_doc >&2
(cd "$BUILD_DIR" && cpack -G DEB -C "${BUILD_TYPE:-RelWithDebInfo}" >&2)
version="$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$BUILD_DIR/CMakeCache.txt")"
deb="$BUILD_DIR/package/quillbarn_${version}_amd64.deb"
[ -f "$deb" ] || { echo "package.sh: $deb was not made" >&2; exit 1; }
echo "$deb"
