#!/usr/bin/env bash
# Idle peers against quillod: the time to answer a normal client while
# IDLE other connections stay open without completing a request (half send
# nothing, half stop after the first byte of a frame's length; each one
# the daemon closes is opened again at once), beside the same run with no
# idle connections. One connection sends the records. Prints both load
# generator lines and a table of the median and 99th-percentile answer
# times, the errors (requests not answered within the generator's 10 s
# bound count here) and the rate. The aim is a median under 50 ms with 200
# idle peers; nothing here checks it.
#
#   bench/idle_peers.sh         RECORDS (2000) and IDLE (200) from the
#                               environment; BUILD_DIR as in bench_env.sh
set -euo pipefail
source "$(dirname "$0")/bench_env.sh"
records=${RECORDS:-2000}
idle=${IDLE:-200}

# Every idle peer is a descriptor in the generator and, once accepted, one
# in the daemon (which inherits this limit); leave room for both.
need=$((idle + 300))
if [ "$(ulimit -n)" != unlimited ] && (($(ulimit -n) < need)); then
  ulimit -n "$need" 2>/dev/null || {
    echo "need ulimit -n of $need for $idle idle peers; the hard limit is" \
         "$(ulimit -Hn)" >&2
    exit 1
  }
fi

bench_build quillod quillo_load_gen
gen=$build/bench/quillo_load_gen

bench_tree root
bench_config "$root"
bench_start_daemon "$root"

# Warm-up: the first access parses the alert conditions, first files open.
"$gen" -n 500 -c 1 -s "$root/tmp/quillo" >/dev/null

run() {  # run IDLE: one load run; prints its line
  local line
  line=$("$gen" -n "$records" -c 1 -i "$1" -s "$root/tmp/quillo")
  echo "  $line" >&2
  echo "$line"
}

echo "records per run: $records, one connection"
lines=()
for n in 0 "$idle"; do
  lines+=("$(run "$n")")
done

echo
echo "idle peers     p50 ms     p99 ms   errors   records/s"
for line in "${lines[@]}"; do
  awk -v i="$(field idle "$line")" -v p50="$(field p50_us "$line")" \
      -v p99="$(field p99_us "$line")" -v e="$(field errors "$line")" \
      -v r="$(field rate "$line")" \
      'BEGIN { printf "%10d %10.3f %10.3f %8d %11.1f\n", i, p50 / 1e3, p99 / 1e3, e, r }'
done
for line in "${lines[@]}"; do
  n=$(field idle "$line")
  open=$(field idle_min_open "$line")
  if ((n > 0 && open < n)); then
    echo "note: at times only $open of $n idle peers were open" \
         "(connects refused, as when the daemon's listen backlog is full)"
  fi
done
