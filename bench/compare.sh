#!/usr/bin/env bash
# quillod against the floor server (the cheapest program that leaves the
# same log tree): the same access-record load against each, alternating,
# for 1 and 2 concurrent connections. Prints every run, the medians, the
# ratio quillod/floor in records per second, the daemon's resident memory,
# and whether the two log trees agree apart from their time stamps.
#
#   bench/compare.sh            RECORDS (20000) and ROUNDS (3) from the
#                               environment; BUILD_DIR as in bench_env.sh
set -euo pipefail
source "$(dirname "$0")/bench_env.sh"
records=${RECORDS:-20000}
rounds=${ROUNDS:-3}

bench_build quillod quillo_floor_server quillo_load_gen
gen=$build/bench/quillo_load_gen

bench_tree qroot
bench_tree froot
bench_config "$qroot"
bench_start_daemon "$qroot"
bench_start_floor "$froot"

# Warm-up: the first access parses the alert conditions, first files open.
"$gen" -n 500 -c 1 -s "$qroot/tmp/quillo" >/dev/null
"$gen" -n 500 -c 1 -s "$froot/tmp/quillo" >/dev/null
rss_before=$(awk '/^VmRSS:/ {print $2}' "/proc/$daemon_pid/status")

run() {  # run NAME ROOT CONNS [PID]: one load run; prints its line
  local line
  line=$("$gen" -n "$records" -c "$3" -s "$2/tmp/quillo" ${4:+-p "$4"})
  printf '  %-7s %s\n' "$1" "$line" >&2
  [ "$(field errors "$line")" = 0 ] || echo "  ^ errors in this run" >&2
  field rate "$line"
}

echo "records per run: $records, rounds: $rounds"
declare -A result
for conns in 1 2; do
  q_rates=() f_rates=()
  echo "C=$conns" >&2
  for round in $(seq 1 "$rounds"); do
    # Alternate which server goes first, so drift favours neither.
    if ((round % 2)); then
      q_rates+=("$(run quillod "$qroot" "$conns" "$daemon_pid")")
      f_rates+=("$(run floor "$froot" "$conns")")
    else
      f_rates+=("$(run floor "$froot" "$conns")")
      q_rates+=("$(run quillod "$qroot" "$conns" "$daemon_pid")")
    fi
  done
  result[q$conns]=$(median "${q_rates[@]}")
  result[f$conns]=$(median "${f_rates[@]}")
done
rss_after=$(awk '/^VmRSS:/ {print $2}' "/proc/$daemon_pid/status")

echo
echo "median records/s   quillod    floor   quillod/floor"
for conns in 1 2; do
  awk -v c="$conns" -v q="${result[q$conns]}" -v f="${result[f$conns]}" \
    'BEGIN { printf "  C=%s          %9.1f %9.1f   %.3f\n", c, q, f, q / f }'
done
echo "quillod VmRSS: ${rss_before} kB after warm-up, ${rss_after} kB after all runs"

# Same lines (time column cut off, order-free since C=2 interleaves),
# same number of files, same state files modulo names.
lines_of() {
  find "$1/logs/accesslog" -name '*.csv' -exec cat {} + |
    sed 's/^\xEF\xBB\xBF//; s/^[^,]*,//' | sort | md5sum
}
files_of() { find "$1/logs" -name '*.csv' | wc -l; }
if [ "$(lines_of "$qroot")" = "$(lines_of "$froot")" ] &&
   [ "$(files_of "$qroot")" = "$(files_of "$froot")" ]; then
  echo "log trees: same lines and file count (time stamps aside)"
else
  echo "log trees: DIFFER (quillod $(files_of "$qroot") files," \
       "floor $(files_of "$froot") files)"
fi
