#!/usr/bin/env bash
# Soak: 1,000,000 access records through quillod with 2 connections, in
# two steps (10,000, then the rest), printing the daemon's resident memory
# after each. Then checks that every record is a line of the access log
# and that no file holds more than 65535 lines. Takes minutes; not part of
# the test command.
#
#   bench/soak.sh               RECORDS (1000000) from the environment;
#                               BUILD_DIR as in bench_env.sh
set -euo pipefail
source "$(dirname "$0")/bench_env.sh"
records=${RECORDS:-1000000}
first=10000
((records > first)) || { echo "RECORDS must exceed $first" >&2; exit 1; }

bench_build quillod quillo_load_gen
gen=$build/bench/quillo_load_gen
bench_tree root
bench_config "$root"
bench_start_daemon "$root"

step() {  # step N: N records; prints the generator's line
  local line
  line=$("$gen" -n "$1" -c 2 -s "$root/tmp/quillo" -p "$daemon_pid")
  echo "  $line"
  errors=$((errors + $(field errors "$line")))
  rss=$(field rss_after_kb "$line")
}

errors=0
echo "step 1: $first records"
step "$first"
rss_first=$rss
echo "step 2: $((records - first)) records"
step $((records - first))
rss_all=$rss

# Each line ends in CR LF, so wc -l counts lines; the byte order mark
# shares the first line.
counts=$(find "$root/logs/accesslog" -name 'access_*.csv' -exec wc -l {} + |
         grep -v ' total$' | awk '{print $1}')
sum=$(awk '{s += $1} END {print s + 0}' <<<"$counts")
max=$(sort -n <<<"$counts" | tail -1)
files=$(wc -l <<<"$counts")
sent=$((records - errors))

echo "VmRSS after $first: $rss_first kB; after $records: $rss_all kB;" \
     "growth $((rss_all - rss_first)) kB"
echo "records sent and answered: $sent (errors $errors)"
echo "lines in $files access-log files: $sum; largest file: $max lines"
status=0
if [ "$sum" -eq "$sent" ]; then echo "check: every answered record is a line"
else echo "check FAILED: $sum lines for $sent answered records"; status=1; fi
if [ "$max" -le 65535 ]; then echo "check: no file over 65535 lines"
else echo "check FAILED: a file holds $max lines"; status=1; fi
exit $status
