# shellcheck shell=bash
# A private MariaDB server kept entirely in one directory: option file, data directory,
# socket, pid file, error log and temporary files. Sourced by scripts/test-mariadb.sh (a
# server per test run) and tools/provision/quillbarn-provision (a server per install tree).
#
# Usage:
#   mdb_find_binaries || die "$MDB_ERROR"
#   mdb_layout DIR OPTION_FILE         sets MDB_DIR MDB_CNF MDB_DATA MDB_SOCK MDB_PIDF
#                                      MDB_ERRLOG MDB_TMP
#   mdb_write_option_file PORT [LINE...]
#   mdb_initialised || mdb_init_datadir
#   mdb_spawn; mdb_wait_answer PASSWORD; mdb_set_root_password PASSWORD
#   mdb_server_pid; mdb_request_shutdown [PASSWORD]; mdb_wait_exit PID TRIES
#
# The functions print nothing but their result and return a status; the callers word their own
# messages. Safe under `set -euo pipefail`.

# mdb_find_bin NAME...: the first of the programs found on PATH or in the usual system
# directories (sbin is often missing from PATH, and mariadbd lives there).
mdb_find_bin() {
    local n d
    for n in "$@"; do
        if command -v "$n" >/dev/null 2>&1; then command -v "$n"; return 0; fi
        for d in /usr/sbin /usr/bin /usr/local/sbin /usr/local/bin; do
            [ -x "$d/$n" ] && { echo "$d/$n"; return 0; }
        done
    done
    return 1
}

# Sets MDB_MARIADBD, MDB_ADMIN, MDB_CLIENT and MDB_INSTALLDB; on failure MDB_ERROR says what
# is missing and which package brings it.
# shellcheck disable=SC2034  # the callers read these
mdb_find_binaries() {
    MDB_ERROR=""
    MDB_MARIADBD="$(mdb_find_bin mariadbd mysqld)" ||
        { MDB_ERROR="mariadbd not found (install mariadb-server)"; return 1; }
    MDB_ADMIN="$(mdb_find_bin mariadb-admin mysqladmin)" ||
        { MDB_ERROR="mariadb-admin not found (install mariadb-client)"; return 1; }
    MDB_CLIENT="$(mdb_find_bin mariadb mysql)" ||
        { MDB_ERROR="mariadb client not found (install mariadb-client)"; return 1; }
    MDB_INSTALLDB="$(mdb_find_bin mariadb-install-db mysql_install_db)" ||
        { MDB_ERROR="mariadb-install-db not found"; return 1; }
}

# mdb_path_ok PATH: false when PATH holds blanks, which mariadb-install-db cannot handle.
mdb_path_ok() {
    case "$1" in *[[:space:]]*) return 1 ;; esac
    return 0
}

# mdb_layout DIR OPTION_FILE: the server's files inside DIR (an absolute path).
mdb_layout() {
    MDB_DIR="$1"
    MDB_CNF="$2"
    MDB_DATA="$MDB_DIR/data"
    MDB_SOCK="$MDB_DIR/mysqld.sock"
    MDB_PIDF="$MDB_DIR/mysqld.pid"
    MDB_ERRLOG="$MDB_DIR/mysqld.err"
    MDB_TMP="$MDB_DIR/tmp"
}

# mdb_port_in_use PORT: something accepts connections on 127.0.0.1:PORT.
mdb_port_in_use() {
    (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null
}

# A port that nothing listens on now. The range avoids the usual ephemeral range and
# well-known services; a random start keeps parallel runs apart.
mdb_free_port() {
    local p tries=0
    while [ $tries -lt 200 ]; do
        p=$(( 20000 + (RANDOM * 32768 + RANDOM) % 12000 ))
        tries=$((tries + 1))
        if command -v ss >/dev/null 2>&1; then
            ss -Htln "sport = :$p" 2>/dev/null | grep -q . && continue
        fi
        mdb_port_in_use "$p" && continue
        echo "$p"
        return 0
    done
    return 1
}

# The port of the [mysqld] section of the option file (empty when there is none). Names
# compare without regard to case and CR LF endings are allowed, as the collector reads it.
mdb_port() {
    [ -f "$MDB_CNF" ] || return 0
    awk '
        { sub(/\r$/, "") }
        /^[ \t]*\[/ { s = $0; sub(/^[ \t]*\[/, "", s); sub(/\][ \t]*$/, "", s); cur = tolower(s); next }
        cur == "mysqld" {
            i = index($0, "="); if (i == 0) next
            k = substr($0, 1, i - 1); gsub(/^[ \t]+|[ \t]+$/, "", k)
            if (tolower(k) == "port") { v = substr($0, i + 1); gsub(/^[ \t]+|[ \t]+$/, "", v); print v; exit }
        }' "$MDB_CNF"
}

# mdb_write_option_file PORT [LINE...]: the option file; each LINE (sizes, basedir, ...) is
# added to the [mysqld] section. Written before the data directory is initialised:
# lower_case_table_names cannot change afterwards.
mdb_write_option_file() {
    local port="$1" line
    shift
    {
        echo "[mysqld]"
        echo "port=$port"
        echo "datadir=$MDB_DATA"
        echo "socket=$MDB_SOCK"
        echo "pid-file=$MDB_PIDF"
        echo "log-error=$MDB_ERRLOG"
        echo "tmpdir=$MDB_TMP"
        # mariadbd refuses to run as root unless told to.
        [ "$(id -u)" -eq 0 ] && echo "user=root"
        cat <<'EOF'
bind-address=127.0.0.1
skip-networking=0
lower_case_table_names=1
local_infile=1
character-set-server=utf8
collation-server=utf8_general_ci
default-storage-engine=MyISAM
skip-name-resolve
skip-log-bin
max_allowed_packet=16M
max_connections=1000
EOF
        for line in "$@"; do echo "$line"; done
        echo
        echo "[client]"
        echo "port=$port"
        echo "socket=$MDB_SOCK"
    } >"$MDB_CNF"
}

# The data directory holds the system tables.
mdb_initialised() {
    [ -d "$MDB_DATA/mysql" ]
}

# A new data directory from the option file, replacing whatever was there. root may log in
# over the socket without a password until mdb_set_root_password. On failure the
# installer's output goes to stderr.
mdb_init_datadir() {
    local uflag=()
    [ "$(id -u)" -eq 0 ] && uflag=(--user=root)
    rm -rf "$MDB_DATA"
    mkdir -p "$MDB_TMP"
    "$MDB_INSTALLDB" --defaults-file="$MDB_CNF" "${uflag[@]}" --auth-root-authentication-method=normal \
        --skip-test-db >"$MDB_DIR/install-db.log" 2>&1 || { cat "$MDB_DIR/install-db.log" >&2; return 1; }
}

# Starts the server in its own session, detached from the caller's terminal; does not wait.
mdb_spawn() {
    mkdir -p "$MDB_TMP"
    rm -f "$MDB_SOCK"
    setsid "$MDB_MARIADBD" --defaults-file="$MDB_CNF" </dev/null >>"$MDB_DIR/mysqld.out" 2>&1 &
}

# mdb_ping [PASSWORD]: the server answers root over the socket.
mdb_ping() {
    MYSQL_PWD="${1:-}" "$MDB_ADMIN" --no-defaults --socket="$MDB_SOCK" -uroot --connect-timeout=2 ping \
        >/dev/null 2>&1
}

# mdb_ping_tcp PORT PASSWORD: the server answers root over TCP on the loopback address.
mdb_ping_tcp() {
    MYSQL_PWD="$2" "$MDB_ADMIN" --no-defaults --protocol=tcp -h127.0.0.1 -P"$1" -uroot \
        --connect-timeout=2 ping >/dev/null 2>&1
}

# mdb_wait_answer PASSWORD: waits up to 60 s for the server to answer over the socket, with
# PASSWORD or without one (a fresh data directory has none yet). On failure the tail of
# the error log goes to stderr.
mdb_wait_answer() {
    local _
    for _ in $(seq 1 120); do
        mdb_ping "$1" && return 0
        mdb_ping "" && return 0
        sleep 0.5
    done
    tail -n 30 "$MDB_ERRLOG" >&2 2>/dev/null || true
    return 1
}

# mdb_set_root_password PASSWORD: root of a fresh data directory gets PASSWORD, and may
# also log in over TCP from the loopback address (the clients connect that way).
mdb_set_root_password() {
    local pw="$1"
    pw="${pw//\\/\\\\}"
    pw="${pw//\'/\'\'}"
    "$MDB_CLIENT" --no-defaults --socket="$MDB_SOCK" -uroot <<EOF
CREATE USER IF NOT EXISTS 'root'@'127.0.0.1';
ALTER USER 'root'@'127.0.0.1' IDENTIFIED BY '$pw';
GRANT ALL PRIVILEGES ON *.* TO 'root'@'127.0.0.1' WITH GRANT OPTION;
ALTER USER 'root'@'localhost' IDENTIFIED BY '$pw';
FLUSH PRIVILEGES;
EOF
}

# The pid of the running server, from its pid file; false when it does not run.
mdb_server_pid() {
    local pid
    [ -f "$MDB_PIDF" ] || return 1
    pid="$(cat "$MDB_PIDF" 2>/dev/null || true)"
    [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null && { echo "$pid"; return 0; }
    return 1
}

# mdb_request_shutdown [PASSWORD]: asks the server over the socket to shut down; does not
# wait for it to exit.
mdb_request_shutdown() {
    MYSQL_PWD="${1:-}" "$MDB_ADMIN" --no-defaults --socket="$MDB_SOCK" -uroot --connect-timeout=2 shutdown \
        >/dev/null 2>&1
}

# mdb_wait_exit PID TRIES: waits up to TRIES half seconds for PID to end; false if it still runs.
mdb_wait_exit() {
    local _
    for _ in $(seq 1 "$2"); do
        kill -0 "$1" 2>/dev/null || return 0
        sleep 0.5
    done
    ! kill -0 "$1" 2>/dev/null
}
