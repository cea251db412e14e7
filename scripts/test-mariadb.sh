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

# shellcheck source=SCRIPTDIR/lib/mariadb.sh
. "$(cd "$(dirname "$(readlink -f "$0")")" && pwd)/lib/mariadb.sh"

PASSWORD="${QB_TEST_DB_PASSWORD_WANTED:-qbtest}"

die() { echo "test-mariadb: $*" >&2; exit 1; }
log() { echo "test-mariadb: $*" >&2; }

[ $# -eq 2 ] || die "usage: $0 start|stop|env DIR"
CMD="$1"
mdb_path_ok "$2" || die "the directory must not contain blanks (mariadb-install-db cannot handle them): $2"
mkdir -p "$2"
DIR="$(cd "$2" && pwd)"
mdb_layout "$DIR" "$DIR/my.cnf"

# A test server holds little data; small buffers keep its memory down.
write_cnf() {
    mdb_write_option_file "$1" performance_schema=OFF key_buffer_size=8M innodb_buffer_pool_size=16M \
        innodb_log_file_size=8M
}

answers() { mdb_ping_tcp "$(mdb_port)" "$PASSWORD"; }

print_env() {
    cat <<EOF2
export QB_TEST_DB_HOST=127.0.0.1
export QB_TEST_DB_PORT=$(mdb_port)
export QB_TEST_DB_USER=root
export QB_TEST_DB_PASSWORD=$PASSWORD
export QB_TEST_DB_SOCKET=$MDB_SOCK
export QB_TEST_DB_DIR=$DIR
EOF2
}

mdb_find_binaries || die "$MDB_ERROR"

do_start() {
    if mdb_server_pid >/dev/null && [ -f "$MDB_CNF" ] && answers; then
        log "already running on port $(mdb_port)"
        print_env
        return 0
    fi
    if mdb_server_pid >/dev/null; then
        # A process that does not answer with our password is of no use.
        do_stop
    fi
    local fresh=0 port
    if ! mdb_initialised; then
        port="$(mdb_free_port)" || die "no free port"
        write_cnf "$port"
        log "initialising $MDB_DATA"
        mdb_init_datadir || die "mariadb-install-db failed"
        fresh=1
    else
        # Re-use the data directory; move to a new port if the old one was taken.
        port="$(mdb_port)"
        if [ -z "$port" ] || mdb_port_in_use "$port"; then
            port="$(mdb_free_port)" || die "no free port"
            write_cnf "$port"
        fi
    fi
    # A pid file left by a crash may name an unrelated process by now.
    rm -f "$MDB_PIDF"
    mdb_spawn
    mdb_wait_answer "$PASSWORD" || die "server did not answer within 60 s"
    if [ "$fresh" -eq 1 ] || ! answers; then
        mdb_set_root_password "$PASSWORD" || die "cannot set the root password"
    fi
    answers || die "server runs but refuses root over TCP"
    log "running on 127.0.0.1:$(mdb_port), data in $MDB_DATA"
    print_env
}

do_stop() {
    local pid
    if ! pid="$(mdb_server_pid)"; then
        rm -f "$MDB_PIDF" "$MDB_SOCK"
        log "not running"
        return 0
    fi
    mdb_request_shutdown "$PASSWORD" || mdb_request_shutdown || true
    if ! mdb_wait_exit "$pid" 60; then
        kill "$pid" 2>/dev/null || true
        mdb_wait_exit "$pid" 20 || kill -9 "$pid" 2>/dev/null || true
    fi
    rm -f "$MDB_PIDF" "$MDB_SOCK"
    log "stopped"
}

case "$CMD" in
start) do_start ;;
stop) do_stop ;;
env)
    mdb_server_pid >/dev/null || die "not running"
    print_env
    ;;
*) die "usage: $0 start|stop|env DIR" ;;
esac
