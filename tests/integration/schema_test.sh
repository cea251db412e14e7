#!/usr/bin/env bash
# Runs the collector's SQL texts and data-file loads against a fresh device database built from
# sql/devicedb.sql on the test MariaDB (QB_TEST_DB_*), and reads the rows back.
set -uo pipefail
ROOT="$(cd "$(dirname "$0")/../.." && pwd)"

if [ -z "${QB_TEST_DB_HOST:-}" ] || [ -z "${QB_TEST_DB_PORT:-}" ]; then
    echo "SKIP: QB_TEST_DB_HOST/QB_TEST_DB_PORT not set (run through scripts/test.sh)"
    exit 77
fi
CLIENT="$(command -v mariadb || command -v mysql)" || { echo "mariadb client missing"; exit 1; }

DB="qbschema_$$_$RANDOM"
GDB="qbglobal_$$_$RANDOM"
WORK="$(mktemp -d)"
PASSED=0
FAILED=0

cleanup() {
    q "" "drop database if exists \`$DB\`; drop database if exists \`$GDB\`; drop database if exists \`${DB}_old\`" \
        >/dev/null 2>&1
    rm -rf "$WORK"
}
trap cleanup EXIT

# q DB SQL [client options...]: runs SQL (UTF-8 text) over TCP; rows on stdout, raw and tab-separated.
q() {
    local db="$1" sql="$2"
    shift 2
    MYSQL_PWD="${QB_TEST_DB_PASSWORD:-}" "$CLIENT" --no-defaults -h"$QB_TEST_DB_HOST" -P"$QB_TEST_DB_PORT" \
        -u"${QB_TEST_DB_USER:-root}" --local-infile=1 -N -B --raw --default-character-set=utf8 "$@" \
        ${db:+"$db"} -e "$sql"
}

# qg DB SQL: the statement text is converted to GBK and sent on a GBK session, as the collector does.
qg() {
    local db="$1" sql
    sql="$(printf '%s' "$2" | iconv -f UTF-8 -t GBK)" || { echo "iconv failed"; return 1; }
    MYSQL_PWD="${QB_TEST_DB_PASSWORD:-}" "$CLIENT" --no-defaults -h"$QB_TEST_DB_HOST" -P"$QB_TEST_DB_PORT" \
        -u"${QB_TEST_DB_USER:-root}" --local-infile=1 -N -B --raw --default-character-set=gbk \
        "$db" -e "set   names   'gbk'; $sql"
}

ok() { PASSED=$((PASSED + 1)); }
fail() { FAILED=$((FAILED + 1)); echo "FAIL: $*"; }

# run NAME DB SQL: the statement must succeed.
run() {
    local name="$1" out
    if out="$(qg "$2" "$3" 2>&1)"; then ok; else fail "$name: $out"; fi
}

# expect NAME ACTUAL EXPECTED
expect() {
    if [ "$2" == "$3" ]; then ok; else fail "$1: got [$2], want [$3]"; fi
}

# ---------------------------------------------------------------------------------------------
# Fresh databases from the committed files.
q "" "create database \`$DB\` default character set utf8" || { echo "cannot create $DB"; exit 1; }
if q "$DB" "source $ROOT/sql/devicedb.sql" >/dev/null; then ok; else fail "devicedb.sql does not load"; fi
# The global schema names its database; load it under a private name so parallel runs do not meet.
sed "s/velmoglobaldb/$GDB/g" "$ROOT/sql/globaldb.sql" >"$WORK/global.sql"
if q "" "source $WORK/global.sql" >/dev/null; then ok; else fail "globaldb.sql does not load"; fi
# Loading the file a second time (re-provisioning) must not fail either.
if q "$DB" "source $ROOT/sql/devicedb.sql" >/dev/null; then ok; else fail "devicedb.sql is not re-runnable"; fi

# Text that a device sends: Chinese, an apostrophe, and a character whose GBK trail byte is 0x5C.
NAME_U='用户乗'"'"'x'
NAME_SQL='用户乗'"''"'x'
MSG_U='登录成功 "quoted" path C:\temp'
MSG_SQL='登录成功 "quoted" path C:\\temp'
T='2012-05-01 08:09:10'

# --- device registry --------------------------------------------------------------------------
run "dev_node insert" "$GDB" "insert into dev_node (node_name, secret, md5_secret, db_name, deleted) values ('gw-1','s','0123456789abcdef0123456789abcdef','$DB',0)"
expect "device table query" "$(qg "$GDB" "select node_name , secret , md5_secret , db_name from dev_node where deleted = 0 limit 64" 2>&1)" \
    "gw-1	s	0123456789abcdef0123456789abcdef	$DB"
run "sys_adt widening" "$GDB" "alter table sys_adt modify sys_adt_pass varchar(256)"
run "upgrade device list" "$GDB" "select db_name from dev_node"

run "admin query" "$DB" "select id , name , pgrpid from admin"
run "user query" "$DB" "select id , name , grpid from svpnuser"
run "group query" "$DB" "select id , pgrpid from svpngroup"
expect "min id of empty user table" "$(qg "$DB" "select min(id) from svpnuser")" "NULL"
run "on-demand user" "$DB" "lock tables svpnuser write; insert  into svpnuser(\`id\`,\`name\`,\`grpid\`) values (-1,'$NAME_SQL',-2000); unlock tables"
expect "on-demand user read back" "$(q "$DB" "select id, name, grpid from svpnuser")" "-1	$NAME_U	-2000"
# The longest user name a record carries (200 bytes) fits.
LONG200="$(printf 'u%.0s' $(seq 1 200))"
run "200-character user" "$DB" "insert  into svpnuser(\`id\`,\`name\`,\`grpid\`) values (-2,'$LONG200',5)"
expect "min id" "$(q "$DB" "select min(id) from svpnuser")" "-2"

# --- directory pushes ---------------------------------------------------------------------------
run "admin push" "$DB" "lock tables Admin write; delete from Admin; insert into Admin(\`id\`,\`Name\`,\`password\`,\`pgrpid\`) values (1,\"$NAME_U\",\"x\",0); unlock tables"
run "admin group push" "$DB" "lock tables admingroup write; delete from admingroup; insert into admingroup(\`id\`,\`name\`,\`pgrpid\`) values (3,\"ops\",0); unlock tables"
run "user push" "$DB" "lock tables svpnuser write; delete from svpnuser where id>0; insert into svpnuser(\`id\`,\`name\`,\`grpid\`) values (7,\"alice\",3); unlock tables"
run "group push" "$DB" "lock tables svpngroup write; delete from svpngroup; insert into svpngroup(\`id\`,\`name\`,\`pgrpid\`) values (3,\"staff\",0); unlock tables"
expect "admin read back" "$(q "$DB" "select id , name , pgrpid from admin")" "1	$NAME_U	0"
expect "users kept and pushed" "$(q "$DB" "select count(*), sum(id>0), sum(id<0) from svpnuser")" "3	1	2"

# --- connection record --------------------------------------------------------------------------
run "dev_info insert" "$DB" "insert into dev_info(\`dev_ip\`,\`TotalLog\`,\`lastupdateTime\`,\`ConnStat\`)  values (3232235777,12345678901,'$T',1)"
expect "dev_info read back" "$(q "$DB" "select dev_ip, TotalLog, lastupdateTime, ConnStat from dev_info")" \
    "3232235777	12345678901	$T	1"
for t in usrsvrlog usrflowlog usrbasiclog alarm_log adt_log; do
    run "count $t" "$DB" "select count(*) from $t"
done

# --- final SQL writer ---------------------------------------------------------------------------
run "dev_stat insert" "$DB" "insert into dev_stat(\`dev_ip\`,\`time\`,\`upload_flux\`,\`download_flux\`) values(3232235777,'$T',12884901888,600)"
run "syslog insert" "$DB" "insert into syslog(\`lev\`,\`process\`,\`message\`,\`log_time\`) values(3, 603,'$MSG_SQL','$T')"
run "alarm insert" "$DB" "insert into alarm_log (\`type\`,\`message\`,\`log_time\`) values(12,'$MSG_SQL','$T')"
run "admin log insert" "$DB" "insert into adt_log (\`log_time\`,\`adt_action\`,\`action_result\`,\`entity\`,\`adt_id\`,\`adt_name\`,\`adt_grp_id\`,\`address\`,\`message\`) values('$T',4,0,7,1,'$NAME_SQL',-1,4294967295,'$MSG_SQL')"
run "flow insert" "$DB" "insert into UsrFlowLog(\`record_id\`,\`user_id\`,\`svr_ip\`,\`grp_id\`,\`dw_flux\`,\`up_flux\`,\`raw_up_flux\`,\`raw_dw_flux\`,\`log_time\`,\`address\`,\`svr_port\`) values('-8070450532247928832',-1,167772161,3,9000000000,-5,11,9000000001,'$T',3232235777,65535)"
run "basic insert" "$DB" "insert  into UsrBasicLog(\`record_id\`, \`user_id\`,\`user_name\`,\`grp_id\`,\`user_action\`,\`action_result\`,\`address\`,\`message\`,\`auth_method\`,\`log_time\`, \`svr_ip\`, \`svr_port\`)  values ('4294967297',-1,'$NAME_SQL',3,3,2,3232235777,'$MSG_SQL',511,'$T',167772161,443)"
run "service insert" "$DB" "insert  into UsrSvrLog (\`record_id\`, \`user_id\`,\`svr_ip\`,\`grp_id\`,\`svr_port\`,\`svr_type\`,\`log_time\`,\`action_result\`,\`address\`,\`message\`,\`svr_attr\`)values('4294967297',-1,167772161,3,443,3,'$T',1,3232235777,'$MSG_SQL',1)"
run "connection probe" "$DB" "show tables"

expect "dev_stat row" "$(q "$DB" "select dev_ip, time, upload_flux, download_flux from dev_stat")" "3232235777	$T	12884901888	600"
expect "syslog row" "$(q "$DB" "select lev, process, message, log_time from syslog")" "3	603	$MSG_U	$T"
expect "alarm row" "$(q "$DB" "select type, message from alarm_log")" "12	$MSG_U"
expect "admin log row" "$(q "$DB" "select adt_action, action_result, entity, adt_id, adt_name, adt_grp_id, address, message from adt_log")" \
    "4	0	7	1	$NAME_U	-1	4294967295	$MSG_U"
expect "flow row" "$(q "$DB" "select record_id, user_id, svr_ip, grp_id, dw_flux, up_flux, raw_dw_flux, raw_up_flux, log_time, address, svr_port from usrflowlog")" \
    "-8070450532247928832	-1	167772161	3	9000000000	-5	9000000001	11	$T	3232235777	65535"
expect "basic row" "$(q "$DB" "select record_id, user_name, user_action, action_result, address, message, auth_method, svr_ip, svr_port from usrbasiclog")" \
    "4294967297	$NAME_U	3	2	3232235777	$MSG_U	511	167772161	443"
expect "service row" "$(q "$DB" "select record_id, svr_ip, svr_port, svr_type, action_result, address, message, svr_attr from usrsvrlog")" \
    "4294967297	167772161	443	3	1	3232235777	$MSG_U	1"

# Widest texts the records allow: 512-byte messages, a 5120-byte alarm, a 100-byte admin name.
M512="$(printf 'm%.0s' $(seq 1 512))"
M5120="$(printf 'a%.0s' $(seq 1 5120))"
N100="$(printf 'n%.0s' $(seq 1 100))"
run "widest syslog" "$DB" "insert into syslog(\`lev\`,\`process\`,\`message\`,\`log_time\`) values(0, 0,'$M512','$T')"
run "widest alarm" "$DB" "insert into alarm_log (\`type\`,\`message\`,\`log_time\`) values(0,'$M5120','$T')"
run "widest admin log" "$DB" "insert into adt_log (\`log_time\`,\`adt_action\`,\`action_result\`,\`entity\`,\`adt_id\`,\`adt_name\`,\`adt_grp_id\`,\`address\`,\`message\`) values('$T',0,0,0,1,'$N100',0,0,'$M512')"
run "widest basic" "$DB" "insert  into UsrBasicLog(\`record_id\`, \`user_id\`,\`user_name\`,\`grp_id\`,\`user_action\`,\`action_result\`,\`address\`,\`message\`,\`auth_method\`,\`log_time\`, \`svr_ip\`, \`svr_port\`)  values ('1',1,'$LONG200',0,0,0,0,'$M512',0,'$T',0,0)"
run "widest service" "$DB" "insert  into UsrSvrLog (\`record_id\`, \`user_id\`,\`svr_ip\`,\`grp_id\`,\`svr_port\`,\`svr_type\`,\`log_time\`,\`action_result\`,\`address\`,\`message\`,\`svr_attr\`)values('1',1,0,0,0,0,'$T',0,0,'$M512',0)"
expect "widest alarm kept whole" "$(q "$DB" "select max(length(message)) from alarm_log")" "5120"

# --- audit files ----------------------------------------------------------------------------------
FN259="$(printf 'f%.0s' $(seq 1 255)).txt"
PATH519="C:\\\\$(printf 'p%.0s' $(seq 1 256))\\\\$FN259"
run "audit file insert" "$DB" "insert into usrfileauditlog(\`user_id\`, \`user_name\` ,\`grp_id\`, \`filename\`, \`filefullpath\` ,  \`dcfilepath\`, \`filesize\` ,\`sha1code\`, \`log_time\`) values(-1,'$NAME_SQL', 3,'$FN259','$PATH519','/UploadFiles/$DB/2012-05/\$E7\$94/20120501080910.dat',5368709120 , 'A9993E364706816ABA3E25717850C26C9CD0D89D' , '$T')"
expect "audit file row" "$(q "$DB" "select user_name, length(filename), length(filefullpath), filesize, sha1code from usrfileauditlog")" \
    "$NAME_U	259	519	5368709120	A9993E364706816ABA3E25717850C26C9CD0D89D"

# --- data files -----------------------------------------------------------------------------------
# One line of each kind, GBK, tab-separated, CR LF; loaded by both import paths.
line() { printf '%s\r\n' "$1" | iconv -f UTF-8 -t GBK; }
TAB=$'\t'
line "3${TAB}7${TAB}\"a'b ${NAME_U}\"${TAB}\"$T\"" >"$WORK/syslog.dat"
line "\"77\"${TAB}-1${TAB}167772161${TAB}3${TAB}200${TAB}100${TAB}201${TAB}101${TAB}\"$T\"${TAB}3232235777${TAB}8080" >"$WORK/usrflowlog.dat"
line "\"78\"${TAB}-1${TAB}\"${NAME_U}\"${TAB}3${TAB}1${TAB}0${TAB}3232235777${TAB}\"first\\nsecond\"${TAB}2${TAB}\"$T\"${TAB}0${TAB}0" >"$WORK/usrbasiclog.dat"
line "\"79\"${TAB}-1${TAB}3${TAB}167772161${TAB}22${TAB}2${TAB}\"$T\"${TAB}1${TAB}3232235777${TAB}\"ssh ${NAME_U}\"${TAB}0" >"$WORK/usrsvrlog.dat"

for t in syslog usrflowlog usrbasiclog usrsvrlog; do
    q "$DB" "delete from $t" || fail "cannot empty $t"
    f="$WORK/$t.dat"
    if [ "$t" = syslog ]; then
        direct="load data local infile '$f' into table $t character set gbk fields enclosed by '\"' lines terminated by '\\r\\n' ( \`lev\` , \`process\` , \`message\` , \`log_time\` )"
        viatemp="load data local infile '$f' into table ${t}_temp character set gbk fields enclosed by '\"'  lines terminated by '\\r\\n' ( \`lev\` , \`process\` , \`message\` , \`log_time\` )"
    else
        direct="load data local infile '$f' into table $t character set gbk fields enclosed by '\"'  lines terminated by '\\r\\n' "
        viatemp="load data local infile '$f' into table ${t}_temp character set gbk fields enclosed by '\"' lines terminated by '\\r\\n' "
    fi
    run "direct load $t" "$DB" "$direct; show warnings"
    out="$(qg "$DB" "create temporary table if not exists ${t}_temp select * from $t where 1 <> 1; $viatemp; insert into $t select * from ${t}_temp; drop table ${t}_temp" 2>&1)" &&
        ok || fail "load through temporary table $t: $out"
    warnings="$(qg "$DB" "$direct; show warnings" 2>&1)"
    expect "no warnings loading $t" "$warnings" ""
    expect "rows in $t" "$(q "$DB" "select count(*) from $t")" "3"
done
expect "syslog line" "$(q "$DB" "select distinct lev, process, message, log_time from syslog")" "3	7	a'b $NAME_U	$T"
expect "syslog ids distinct" "$(q "$DB" "select count(distinct id) from syslog")" "3"
expect "flow line" "$(q "$DB" "select distinct record_id, user_id, svr_ip, grp_id, dw_flux, up_flux, raw_dw_flux, raw_up_flux, log_time, address, svr_port from usrflowlog")" \
    "77	-1	167772161	3	200	100	201	101	$T	3232235777	8080"
expect "basic line" "$(q "$DB" "select distinct record_id, user_name, grp_id, user_action, action_result, address, replace(message, '\n', '|'), auth_method, log_time from usrbasiclog")" \
    "78	$NAME_U	3	1	0	3232235777	first|second	2	$T"
expect "service line" "$(q "$DB" "select distinct record_id, grp_id, svr_ip, svr_port, svr_type, log_time, action_result, address, message, svr_attr from usrsvrlog")" \
    "79	3	167772161	22	2	$T	1	3232235777	ssh $NAME_U	0"

# --- maintenance ------------------------------------------------------------------------------------
for t in admin admingroup adt_log alarm_log ctrl_rights delay_restart_mysql dev_info dev_stat '`devices`' \
    grp_flowrange grp_flowtrend midtableinfo '`reportcache`' svpngroup svpnrc svpnrcgrp svpnrole '`svpnrole_grp`' \
    svpnrole_rc svpnrole_rcgrp svpnrole_user svpnuser svr_bwoptflow svr_flowrange svr_flowtrend svruser_flowrange \
    syslog user_bwoptflow user_flowrange user_flowtrend usersvr_flowrange '`usrbasiclog`' usrsvrlog usrflowlog \
    usrfileauditlog; do
    run "repair probe $t" "$DB" "select * from  $t limit 0"
done
run "report bookkeeping" "$DB" "select beginTime, endTime,  updateTime from midtableinfo where tbName='svr_bwoptflow' order by  updateTime desc limit 1"
run "repair routine" "$DB" "call repairTables()"

# Aggregation as the report task calls it (start NULL, end now, in double quotes), then the views.
q "$DB" "delete from usrflowlog; insert into usrflowlog (record_id,user_id,svr_ip,grp_id,dw_flux,up_flux,raw_dw_flux,raw_up_flux,log_time,address,svr_port) values
 (1,1,10,2,100,10,101,11,'2012-05-01 08:09:10',7,80),(2,1,10,2,200,20,201,21,'2012-05-01 08:15:00',7,80),
 (3,2,11,3,5,5,5,5,'2012-05-02 09:00:00',8,443)" || fail "flow rows"
run "svr bandwidth aggregation" "$DB" "call GenMid_SvrBWOptFlow(NULL ,\"2012-05-03 00:00:00\")"
run "user bandwidth aggregation" "$DB" "call GenMid_UserBwOptFlow(NULL ,\"2012-05-03 00:00:00\")"
expect "user bandwidth rows" "$(q "$DB" "select User_id, up_flow, dw_flow, raw_up_flow, raw_dw_flow, scale, hour, date, address from user_bwoptflow order by date, scale")" \
    "1	10	100	11	101	0	8	2012-05-01 00:00:00	7
1	20	200	21	201	1	8	2012-05-01 00:00:00	7
2	5	5	5	5	0	9	2012-05-02 00:00:00	8"
expect "bookkeeping row" "$(q "$DB" "select tbIndex, beginTime, endTime from midtableinfo where tbName='svr_bwoptflow'")" \
    "9	2012-05-01 00:00:00	2012-05-02 09:00:00"
run "manual rebuild" "$DB" "call GenMid_Manual('2012-05-01','2012-05-02')"
expect "group totals" "$(q "$DB" "select Grp_id, up_flow, dw_flow from grp_flowrange order by Grp_id")" "2	30	300
3	5	5"
run "rebuild views" "$DB" "call \`RebuildView\`(9);call \`RebuildView\`(10) "
# Stored rows before the last aggregated day plus live sums from then on: the view equals the log.
expect "view totals" "$(q "$DB" "select sum(up_flow), sum(dw_flow) from view_user_bwoptflow")" "35	305"
expect "last update" "$(q "$DB" "select getMidTabLastUpdateTime(10)")" "2012-05-02 09:00:00"
run "device flow trend" "$DB" "call GetDeviceFlowTrend(NULL, NULL, NULL)"
run "clean by time" "$DB" "call CleanByTime(\"2012-05-01 23:59:59\")"
expect "cleaned by time" "$(q "$DB" "select count(*), min(log_time) from usrflowlog")" "1	2012-05-02 09:00:00"
expect "clean flag cleared" "$(q "$DB" "select doing_flag, locker from delay_restart_mysql")" "0	PROCEDURE"

# --- the pre-upgrade fixture -----------------------------------------------------------------------
q "" "create database \`${DB}_old\` default character set utf8" || fail "create old db"
if q "${DB}_old" "source $ROOT/sql/devicedb_pre_m43.sql" >/dev/null; then ok; else fail "devicedb_pre_m43.sql does not load"; fi
expect "fixture is before M4.3" "$(q information_schema "select count(*) from columns where table_name='usrflowlog' and column_name='raw_dw_flux' and table_schema='${DB}_old'")" "0"
expect "current schema is M4.3 or later" "$(q information_schema "select count(*) from columns where table_name='usrflowlog' and column_name='raw_dw_flux' and table_schema='$DB'")" "1"
run "fixture step 1" "${DB}_old" "alter table usrflowlog add raw_dw_flux bigint(20) DEFAULT NULL AFTER up_flux;alter table usrflowlog add raw_up_flux bigint(20) DEFAULT NULL AFTER raw_dw_flux"
run "fixture step 2" "${DB}_old" "alter table usrbasiclog change auth_method auth_method int"
run "fixture admin steps" "${DB}_old" "alter table admin modify Name varchar(64); alter table admin modify password varchar(256)"
cols() { q information_schema "select table_name, column_name, column_type from columns where table_schema='$1' and table_name in ('usrflowlog','usrbasiclog','admin') order by table_name, ordinal_position"; }
expect "upgraded fixture matches current columns" "$(cols "${DB}_old")" "$(cols "$DB")"

echo "$PASSED passed, $FAILED failed"
[ "$FAILED" -eq 0 ]
