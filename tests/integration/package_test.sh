#!/usr/bin/env bash
# The Debian package from an existing build: built by scripts/package.sh, unpacked with dpkg-deb -x
# into a scratch root, an install tree provisioned from the unpacked files alone, one device's
# records through the unpacked collector (-Foreground) into its database, and lintian without errors.
# Usage: package_test.sh BUILD_DIR
set -uo pipefail
ROOT="$(cd "$(dirname "$0")/../.." && pwd)"
BUILD_DIR="$(cd "${1:?build directory}" && pwd)"
command -v dpkg-shlibdeps >/dev/null && command -v lintian >/dev/null ||
    { echo "dpkg-dev or lintian missing (scripts/install-deps.sh)"; exit 77; }
CLIENT="$(command -v mariadb || command -v mysql)" || { echo "mariadb client missing"; exit 77; }

WORK="$(mktemp -d)"
FS="$WORK/root"
TREE="$WORK/tree"
COLLECTOR=""
# Nothing of the source tree or the build may be found by the unpacked programs.
unset QUILLBARN_SOURCE_DIR QUILLBARN_SCMCTL QUILLBARN_SCM_DIR QUILLBARN_REGISTRY
cleanup() {
    [ -n "$COLLECTOR" ] && kill -9 "$COLLECTOR" 2>/dev/null
    [ -x "$FS/usr/bin/quillbarn-provision" ] && "$FS/usr/bin/quillbarn-provision" stop-db "$TREE" >/dev/null 2>&1
    rm -rf "$WORK"
}
trap cleanup EXIT
FAILED=0
fail() { FAILED=$((FAILED + 1)); echo "FAIL: $*"; }
ini() { sed -n "s/^$2=//p" "$1" | tr -d '\r' | head -n1; }
free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }

deb="$(BUILD_DIR="$BUILD_DIR" "$ROOT/scripts/package.sh" 2>"$WORK/package.log")" || { cat "$WORK/package.log"; exit 1; }
[[ "$(basename "$deb")" =~ ^quillbarn_[0-9.]+_amd64\.deb$ ]] || fail "package name $deb"
depends="$(dpkg-deb -f "$deb" Depends)"
for p in libmariadb3 libtinyxml2.6.2v5 liblzo2-2 libdw1; do
    [[ ", $depends" == *", $p "* ]] || fail "Depends lacks $p: $depends"
done
[[ "$(dpkg-deb -f "$deb" Recommends)" == *mariadb-server* ]] || fail "mariadb-server not recommended"
lintian "$deb" >"$WORK/lintian.out" 2>&1
grep '^E:' "$WORK/lintian.out" && fail "lintian errors"

dpkg-deb -x "$deb" "$FS" || { echo "dpkg-deb -x failed"; exit 1; }
for f in usr/bin/Quillbarn usr/bin/QuillbarnService usr/bin/quillbarn-provision usr/bin/schemalift-cli \
    usr/lib/quillbarn/libschemalift.so usr/share/quillbarn/sql/globaldb.sql usr/share/quillbarn/conf/Kelv.conf \
    usr/lib/systemd/system/quillbarn@.service usr/share/man/man1/Quillbarn.1.gz; do
    [ -e "$FS/$f" ] || fail "package lacks $f"
done
"$FS/usr/bin/schemalift-cli" --help >/dev/null || fail "schemalift-cli does not find its library"

PROV="$FS/usr/bin/quillbarn-provision"
"$PROV" init "$TREE" >"$WORK/init.log" 2>&1 || { cat "$WORK/init.log"; exit 1; }
"$PROV" add-device "$TREE" gw1 gw1-secret >/dev/null 2>&1 || fail "add-device"
PORT="$(free_port)"
sed -i "s/^Port=.*/Port=$PORT/" "$TREE/Kelv/Config/Kelv.conf"
"$PROV" config "$TREE" KelvAdv.conf InfoRetrieve ListenPort "$(free_port)"
"$PROV" config "$TREE" KelvAdv.conf Metrics ListenPort 0

QUILLBARN_REGISTRY="$TREE/registry.ini" QUILLBARN_TEST_TIME_DIVISOR=60 "$FS/usr/bin/Quillbarn" -Foreground \
    >"$WORK/collector.out" 2>&1 &
COLLECTOR=$!
for _ in $(seq 1 200); do (exec 3<>"/dev/tcp/127.0.0.1/$PORT") 2>/dev/null && break; sleep 0.1; done
"$FS/usr/bin/devsim" --devices 1 --secret gw1-secret --port "$PORT" --count 20 --mix sys=1 >"$WORK/devsim.out" 2>&1 ||
    fail "devsim: $(cat "$WORK/devsim.out")"
rows=0
for _ in $(seq 1 300); do
    rows="$(MYSQL_PWD="$(ini "$TREE/Kelv/Config/Kelv.conf" DBPwd)" "$CLIENT" --no-defaults -h127.0.0.1 \
        -P"$(ini "$TREE/mysql/my.ini" port)" -uroot -N -B velmodev_gw1 -e 'select count(*) from syslog' 2>/dev/null)"
    [ "${rows:-0}" -ge 20 ] && break
    sleep 0.1
done
[ "${rows:-0}" -eq 20 ] || fail "syslog rows: ${rows:-none} of 20"
status="$("$PROV" status "$TREE" 2>&1)"
grep -q "^collector:  running (pid $COLLECTOR)" <<<"$status" || fail "status misses the collector: $status"
grep -qx "data files: none waiting, 0 set aside in $TREE/Kelv/DataFile/Failed" <<<"$status" ||
    fail "status of the data files: $status"
QUILLBARN_REGISTRY="$TREE/registry.ini" "$FS/usr/bin/Quillbarn" -StopAll >/dev/null 2>&1 || fail "-StopAll"
wait "$COLLECTOR" || fail "collector exit code $?"
COLLECTOR=""
[ -s "$WORK/collector.out" ] && fail "-Foreground wrote to stdout: $(head -3 "$WORK/collector.out")"

[ "$FAILED" -eq 0 ] && echo "package test passed ($deb)"
exit $((FAILED > 0))
