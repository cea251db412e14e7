#!/usr/bin/env bash
# A private MariaDB for one test run, entirely inside DIR: its own data directory,
# option file, socket, pid file and a free loopback port.
#
#   scripts/test-mariadb.sh start DIR   starts it (or finds it running) and prints
#                                       export lines for QB_TEST_DB_* on stdout
#   scripts/test-mariadb.sh stop DIR    stops it; safe to call when it is not running
#   scripts/test-mariadb.sh env DIR     prints the export lines of a running server
#
# Everything except the export lines goes to stderr, so callers can
#   eval "$(scripts/test-mariadb.sh start DIR)"
set -euo pipefail

PASSWORD="${QB_TEST_DB_PASSWORD_WANTED:-qbtest}"

die() { echo "test-mariadb: $*" >&2; exit 1; }
log() { echo "test-mariadb: $*" >&2; }

[ $# -eq 2 ] || die "usage: $0 start|stop|env DIR"
CMD="$1"
case "$2" in *[[:space:]]*) die "the directory must not contain blanks (mariadb-install-db cannot handle them): $2" ;; esac
mkdir -p "$2"
DIR="$(cd "$2" && pwd)"
CNF="$DIR/my.cnf"
DATA="$DIR/data"
SOCK="$DIR/mysqld.sock"
PIDF="$DIR/mysqld.pid"
ERRLOG="$DIR/mysqld.err"

find_bin() {
    local n
    for n in "$@"; do
        if command -v "$n" >/dev/null 2>&1; then command -v "$n"; return 0; fi
        for d in /usr/sbin /usr/bin /usr/local/sbin /usr/local/bin; do
            [ -x "$d/$n" ] && { echo "$d/$n"; return 0; }
        done
    done
    return 1
}

# A port that nothing listens on now. The range avoids the usual ephemeral range
# and well-known services; a random start keeps parallel runs apart.
free_port() {
    local p tries=0
    while [ $tries -lt 200 ]; do
        p=$(( 20000 + (RANDOM * 32768 + RANDOM) % 12000 ))
        tries=$((tries + 1))
        if command -v ss >/dev/null 2>&1; then
            ss -Htln "sport = :$p" 2>/dev/null | grep -q . && continue
        fi
        if (exec 3<>"/dev/tcp/127.0.0.1/$p") 2>/dev/null; then continue; fi
        echo "$p"
        return 0
    done
    return 1
}

cnf_port() { sed -n 's/^port[[:space:]]*=[[:space:]]*//p' "$CNF" | head -n1; }

server_pid() {
    [ -f "$PIDF" ] || return 1
    local pid
    pid="$(cat "$PIDF" 2>/dev/null || true)"
    [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null && { echo "$pid"; return 0; }
    return 1
}

answers() {
    "$ADMIN" --no-defaults --protocol=tcp -h127.0.0.1 -P"$(cnf_port)" -uroot -p"$PASSWORD" \
        --connect-timeout=2 ping >/dev/null 2>&1
}

print_env() {
    cat <<EOF
export QB_TEST_DB_HOST=127.0.0.1
export QB_TEST_DB_PORT=$(cnf_port)
export QB_TEST_DB_USER=root
export QB_TEST_DB_PASSWORD=$PASSWORD
export QB_TEST_DB_SOCKET=$SOCK
export QB_TEST_DB_DIR=$DIR
EOF
}

write_cnf() {
    local port="$1" userline=""
    [ "$(id -u)" -eq 0 ] && userline="user=root"
    # Written before the data directory is initialised: lower_case_table_names
    # cannot change afterwards.
    cat >"$CNF" <<EOF
[mysqld]
$userline
port=$port
bind-address=127.0.0.1
skip-networking=0
socket=$SOCK
pid-file=$PIDF
datadir=$DATA
log-error=$ERRLOG
tmpdir=$DIR/tmp
lower_case_table_names=1
local_infile=1
character-set-server=utf8
collation-server=utf8_general_ci
default-storage-engine=MyISAM
skip-name-resolve
skip-log-bin
performance_schema=OFF
key_buffer_size=8M
innodb_buffer_pool_size=16M
innodb_log_file_size=8M
max_allowed_packet=16M
max_connections=1000

[client]
port=$port
socket=$SOCK
EOF
}

MARIADBD="$(find_bin mariadbd mysqld)" || die "mariadbd not found (install mariadb-server)"
ADMIN="$(find_bin mariadb-admin mysqladmin)" || die "mariadb-admin not found (install mariadb-client)"
CLIENT="$(find_bin mariadb mysql)" || die "mariadb client not found (install mariadb-client)"
INSTALLDB="$(find_bin mariadb-install-db mysql_install_db)" || die "mariadb-install-db not found"

do_start() {
    if server_pid >/dev/null && [ -f "$CNF" ] && answers; then
        log "already running on port $(cnf_port)"
        print_env
        return 0
    fi
    if server_pid >/dev/null; then
        # A process that does not answer with our password is of no use.
        do_stop
    fi
    mkdir -p "$DIR/tmp"
    if [ ! -d "$DATA/mysql" ]; then
        rm -rf "$DATA"
        write_cnf "$(free_port)" || die "no free port"
        local uflag=()
        [ "$(id -u)" -eq 0 ] && uflag=(--user=root)
        log "initialising $DATA"
        "$INSTALLDB" --defaults-file="$CNF" "${uflag[@]}" --auth-root-authentication-method=normal \
            --skip-test-db >"$DIR/install-db.log" 2>&1 || { cat "$DIR/install-db.log" >&2; die "mariadb-install-db failed"; }
        FRESH=1
    else
        FRESH=0
        # Re-use the data directory; move to a new port if the old one was taken.
        local p
        p="$(cnf_port)"
        if [ -z "$p" ] || (exec 3<>"/dev/tcp/127.0.0.1/$p") 2>/dev/null; then
            write_cnf "$(free_port)" || die "no free port"
        fi
    fi
    rm -f "$SOCK" "$PIDF"
    setsid "$MARIADBD" --defaults-file="$CNF" </dev/null >>"$DIR/mysqld.out" 2>&1 &
    local waited=0
    while :; do
        if "$ADMIN" --no-defaults --socket="$SOCK" -uroot --connect-timeout=2 ping >/dev/null 2>&1 ||
            answers; then
            break
        fi
        waited=$((waited + 1))
        if [ $waited -gt 120 ]; then
            tail -n 30 "$ERRLOG" >&2 || true
            die "server did not answer within 60 s"
        fi
        sleep 0.5
    done
    if [ "$FRESH" -eq 1 ] || ! answers; then
        "$CLIENT" --no-defaults --socket="$SOCK" -uroot <<EOF || die "cannot set the root password"
CREATE USER IF NOT EXISTS 'root'@'127.0.0.1';
ALTER USER 'root'@'127.0.0.1' IDENTIFIED BY '$PASSWORD';
GRANT ALL PRIVILEGES ON *.* TO 'root'@'127.0.0.1' WITH GRANT OPTION;
ALTER USER 'root'@'localhost' IDENTIFIED BY '$PASSWORD';
FLUSH PRIVILEGES;
EOF
    fi
    answers || die "server runs but refuses root over TCP"
    log "running on 127.0.0.1:$(cnf_port), data in $DATA"
    print_env
}

do_stop() {
    local pid
    if ! pid="$(server_pid)"; then
        rm -f "$PIDF" "$SOCK"
        log "not running"
        return 0
    fi
    "$ADMIN" --no-defaults --socket="$SOCK" -uroot -p"$PASSWORD" --connect-timeout=2 shutdown >/dev/null 2>&1 ||
        "$ADMIN" --no-defaults --socket="$SOCK" -uroot --connect-timeout=2 shutdown >/dev/null 2>&1 || true
    local i
    for i in $(seq 1 60); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.5
    done
    if kill -0 "$pid" 2>/dev/null; then
        kill "$pid" 2>/dev/null || true
        for i in $(seq 1 20); do
            kill -0 "$pid" 2>/dev/null || break
            sleep 0.5
        done
        kill -9 "$pid" 2>/dev/null || true
    fi
    rm -f "$PIDF" "$SOCK"
    log "stopped"
}

case "$CMD" in
start) do_start ;;
stop) do_stop ;;
env)
    server_pid >/dev/null || die "not running"
    print_env
    ;;
*) die "usage: $0 start|stop|env DIR" ;;
esac
