#!/usr/bin/env bash
# Builds an install tree with quillbarn-provision in a temporary directory (its own MariaDB on
# a free port), registers two devices and checks the databases, the device rows and the files.
# Usage: provision_test.sh [BIN_DIR]   (BIN_DIR holding scmctl, when it has been built)
set -uo pipefail
ROOT="$(cd "$(dirname "$0")/../.." && pwd)"
PROV="$ROOT/tools/provision/quillbarn-provision"
BIN_DIR="${1:-}"
CLIENT="$(command -v mariadb || command -v mysql)" || { echo "mariadb client missing"; exit 1; }

WORK="$(mktemp -d)"
TREE="$WORK/install"
PASSED=0
FAILED=0
unset QUILLBARN_SCM_DIR QUILLBARN_REGISTRY
SCMCTL=""
if [ -n "$BIN_DIR" ] && [ -x "$BIN_DIR/scmctl" ]; then
    SCMCTL="$BIN_DIR/scmctl"
    export QUILLBARN_SCMCTL="$SCMCTL"
else
    # Without the service manager the script starts the server itself.
    export QUILLBARN_SCMCTL="$WORK/no-scmctl"
fi

cleanup() {
    "$PROV" stop-db "$TREE" >/dev/null 2>&1
    rm -rf "$WORK"
}
trap cleanup EXIT

ok() { PASSED=$((PASSED + 1)); }
fail() { FAILED=$((FAILED + 1)); echo "FAIL: $*"; }
expect() { if [ "$2" == "$3" ]; then ok; else fail "$1: got [$2], want [$3]"; fi; }
check() {
    local name="$1" out
    shift
    if out="$("$@" 2>&1)"; then ok; else fail "$name: $out"; fi
}

ini() { sed -n "s/^$2=//p" "$1" | tr -d '\r' | head -n1; }

sqlq() {
    MYSQL_PWD="$(ini "$TREE/Kelv/Config/Kelv.conf" DBPwd)" "$CLIENT" --no-defaults -h127.0.0.1 \
        -P"$(ini "$TREE/mysql/my.ini" port)" -u"$(ini "$TREE/Kelv/Config/Kelv.conf" DBUser)" -N -B --raw \
        --connect-timeout=3 "$@"
}

check "blank in the path refused" bash -c "! '$PROV' init '$WORK/with blank' 2>/dev/null"
check "nothing made for a refused path" test ! -e "$WORK/with blank"
# --- init ------------------------------------------------------------------------------------------
if out="$("$PROV" init "$TREE" 2>&1)"; then ok; else fail "init: $out"; fi
for d in Kelv/Config Kelv/Log Kelv/DataFile Kelv/Temp Kelv/Dump htdocs/UploadFiles mysql/data; do
    check "directory $d" test -d "$TREE/$d"
done
for f in "$ROOT"/conf/*; do
    [ -e "$f" ] && check "config $(basename "$f") copied" test -e "$TREE/Kelv/Config/$(basename "$f")"
done
check "my.ini lower_case_table_names" grep -qx 'lower_case_table_names=1' "$TREE/mysql/my.ini"
check "my.ini local_infile" grep -qx 'local_infile=1' "$TREE/mysql/my.ini"
expect "my.ini datadir" "$(ini "$TREE/mysql/my.ini" datadir)" "$TREE/mysql/data"
KC="$TREE/Kelv/Config/Kelv.conf"
expect "DBServer" "$(ini "$KC" DBServer)" "127.0.0.1"
expect "DBUser" "$(ini "$KC" DBUser)" "root"
expect "DataBase" "$(ini "$KC" DataBase)" "velmoglobaldb"
check "DBPwd generated" test -n "$(ini "$KC" DBPwd)"
if [ -f "$ROOT/conf/Kelv.conf" ] && grep -qi '^Port=' "$ROOT/conf/Kelv.conf"; then
    expect "other keys kept" "$(ini "$KC" Port)" "$(ini "$ROOT/conf/Kelv.conf" Port)"
fi
expect "registry names the tree" "$(sed -n 's/^InstallPath=//p' "$TREE/registry.ini")" "\"$TREE\""
check "registry section" grep -qxF '[HKLM\Software\Velmora\SSL\DC]' "$TREE/registry.ini"
expect "env lines" "$("$PROV" env "$TREE" 2>/dev/null)" "export QUILLBARN_REGISTRY=$TREE/registry.ini
export QUILLBARN_SCM_DIR=$TREE/scm"
expect "server settings" "$(sqlq -e 'select @@lower_case_table_names, @@local_infile, @@port' 2>&1)" \
    "1	1	$(ini "$TREE/mysql/my.ini" port)"
expect "global database" "$(sqlq velmoglobaldb -e 'select count(*) from dev_node' 2>&1)" "0"
if [ -n "$SCMCTL" ]; then
    check "service reaches running" env QUILLBARN_SCM_DIR="$TREE/scm" "$SCMCTL" wait VelmoraSSLSQL RUNNING 10
fi

# --- devices ---------------------------------------------------------------------------------------
expect "first device" "$("$PROV" add-device "$TREE" gw-north "north secret" 2>/dev/null)" "velmodev_gw_north"
sqlq velmodev_gw_north -e "set names 'gbk'; insert into UsrFlowLog(\`record_id\`,\`user_id\`,\`svr_ip\`,\`grp_id\`,\`dw_flux\`,\`up_flux\`,\`raw_up_flux\`,\`raw_dw_flux\`,\`log_time\`,\`address\`,\`svr_port\`) values('1',1,2,3,4,5,6,7,'2012-05-01 08:09:10',8,9)" ||
    fail "first device database takes rows"
expect "second device" "$("$PROV" add-device "$TREE" gw-south "south'secret" southdb 2>/dev/null)" "southdb"
expect "first device undisturbed" "$(sqlq velmodev_gw_north -e 'select count(*) from usrflowlog' 2>&1)" "1"
expect "second device schema" "$(sqlq southdb -e 'select count(*) from usrflowlog' 2>&1)" "0"
MD5N="$(printf '%s' 'north secret' | md5sum | cut -c1-32)"
MD5S="$(printf '%s' "south'secret" | md5sum | cut -c1-32)"
expect "device rows" "$(sqlq velmoglobaldb -e "select node_name , secret , md5_secret , db_name from dev_node where deleted = 0 limit 64" 2>&1)" \
    "gw-north	north secret	$MD5N	velmodev_gw_north
gw-south	south'secret	$MD5S	southdb"
check "same name refused" bash -c "! '$PROV' add-device '$TREE' gw-north other 2>/dev/null"
check "same secret refused" bash -c "! '$PROV' add-device '$TREE' gw-east 'north secret' 2>/dev/null"
check "bad database name refused" bash -c "! '$PROV' add-device '$TREE' gw-east x 'bad-name;' 2>/dev/null"
expect "refusals add nothing" "$(sqlq velmoglobaldb -e 'select count(*) from dev_node' 2>&1)" "2"

check "remove device" "$PROV" remove-device "$TREE" gw-south
expect "removed device hidden" "$(sqlq velmoglobaldb -e 'select node_name from dev_node where deleted = 0' 2>&1)" "gw-north"
expect "removed device keeps its logs" "$(sqlq -e "show databases like 'southdb'" 2>&1)" "southdb"
check "name free again" "$PROV" add-device "$TREE" gw-south "new secret" south2

# --- the operator's look at a tree ----------------------------------------------------------------
expect "sql opens the device's database" "$("$PROV" sql "$TREE" gw-south -N -e 'select database()' 2>&1)" "south2"
check "sql refuses an unknown device" bash -c "! '$PROV' sql '$TREE' nobody -e 'select 1' 2>/dev/null"
check "config sets a key" "$PROV" config "$TREE" KelvAdv.conf DataFile DataFileUseTime 1
expect "config reads it back" "$("$PROV" config "$TREE" KelvAdv.conf DataFile DataFileUseTime)" "1"
mkdir -p "$TREE/Kelv/DataFile/velmodev_gw_north/syslog" "$TREE/Kelv/DataFile/Failed/x"
printf '0123456789' >"$TREE/Kelv/DataFile/velmodev_gw_north/syslog/1.dat"
touch "$TREE/Kelv/DataFile/Failed/x/2.dat"
STATUS="$("$PROV" status "$TREE" 2>&1)"
check "status: database running" grep -q '^database:   running' <<<"$STATUS"
check "status: no collector" grep -qx 'collector:  not running' <<<"$STATUS"
check "status: both devices" grep -qx 'devices:    2' <<<"$STATUS"
check "status: backlog" grep -q '^data files: 1 waiting (10 bytes, oldest [0-9]* s), 1 set aside' <<<"$STATUS"
rm -rf "$TREE/Kelv/DataFile/velmodev_gw_north" "$TREE/Kelv/DataFile/Failed"

# --- stop and start -------------------------------------------------------------------------------
check "stop" "$PROV" stop-db "$TREE"
check "database gone" bash -c "! (exec 3<>/dev/tcp/127.0.0.1/$(ini "$TREE/mysql/my.ini" port)) 2>/dev/null"
if [ -n "$SCMCTL" ]; then
    expect "service stopped" "$(QUILLBARN_SCM_DIR="$TREE/scm" "$SCMCTL" query VelmoraSSLSQL 2>&1 | head -n1)" "STOPPED"
fi
check "second stop is harmless" "$PROV" stop-db "$TREE"
check "start again" "$PROV" start-db "$TREE"
expect "data survives a restart" "$(sqlq velmodev_gw_north -e 'select count(*) from usrflowlog' 2>&1)" "1"
PWD1="$(ini "$KC" DBPwd)"
check "init re-uses the tree" "$PROV" init "$TREE"
expect "password kept" "$(ini "$KC" DBPwd)" "$PWD1"
expect "devices kept" "$(sqlq velmoglobaldb -e 'select count(*) from dev_node where deleted = 0' 2>&1)" "2"
if [ -n "$SCMCTL" ]; then
    check "re-registered service runs the server" env QUILLBARN_SCM_DIR="$TREE/scm" "$SCMCTL" wait VelmoraSSLSQL RUNNING 10
fi
check "stop after re-init" "$PROV" stop-db "$TREE"
check "stopped after re-init" bash -c "! (exec 3<>/dev/tcp/127.0.0.1/$(ini "$TREE/mysql/my.ini" port)) 2>/dev/null"

echo "$PASSED passed, $FAILED failed"
[ "$FAILED" -eq 0 ]
