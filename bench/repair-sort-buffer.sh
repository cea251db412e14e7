#!/usr/bin/env bash
# The repair of one big table with the session's MyISAM sort buffer at the server's default and larger,
# in turn, on the same data (the last run repeats the first, to show the spread between runs). Meant
# for a device database that a big-table run kept:
#   QB_KEEP_TREES=1 bench/run.sh --bigdb --bigdb-sizes 50000000 --maintenance 1
#   bench/repair-sort-buffer.sh <device 1's database> [table] [sizes...]
# The bench's private server (build-bench/bench-mariadb) is started if it is not running.
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
DB="${1:?device database}"
TABLE="${2:-usrbasiclog}"
shift $(($# < 2 ? $# : 2))
SIZES=("$@")
[ ${#SIZES[@]} -gt 0 ] || SIZES=(default 1073741824 default)
eval "$("$ROOT/scripts/test-mariadb.sh" start "${BENCH_DB_DIR:-$ROOT/build-bench/bench-mariadb}")"
q() { mysql -u"$QB_TEST_DB_USER" -p"$QB_TEST_DB_PASSWORD" -h127.0.0.1 -P"$QB_TEST_DB_PORT" "$DB" -N -e "$1"; }
q "select concat('# ', table_rows, ' rows, data ', round(data_length / 1048576), ' MiB, index ',
   round(index_length / 1048576), ' MiB') from information_schema.tables
   where table_schema = database() and table_name = '$TABLE'"
for size in "${SIZES[@]}"; do
    start=$(date +%s.%N)
    out=$(q "set session myisam_sort_buffer_size = $size; select @@session.myisam_sort_buffer_size;
             repair table \`$TABLE\`" | tr '\t\n' '  ')
    end=$(date +%s.%N)
    printf 'sort buffer %-10s %7.1f s   %s\n' "$size" "$(echo "$end - $start" | bc)" "$out"
done
