#!/usr/bin/env bash
# The streaming client against the daemon, beside the load generator at
# one connection and beside one quillo-send started per record, in one run
# on one daemon. Each sends access records; the streaming client reads them
# from a file in the fields format (and, in a second pass, the same
# operations as Samba full_audit lines). Prints records per second for
# each, stream/generator and stream/spawned.
#
#   bench/stream.sh             RECORDS (20000) for the stream and the
#                               generator, SPAWNS (1000) for the spawned
#                               client; BUILD_DIR as in bench_env.sh
set -euo pipefail
source "$(dirname "$0")/bench_env.sh"
records=${RECORDS:-20000}
spawns=${SPAWNS:-1000}

bench_build quillod quillo-send quillo_load_gen
send=$build/client/quillo-send
gen=$build/bench/quillo_load_gen

bench_tree root
bench_config "$root"
bench_start_daemon "$root"
export QUILLO_ROOT=$root

now_us() { echo "${EPOCHREALTIME/./}"; }
rate() {  # rate COUNT START_US END_US
  awk -v n="$1" -v a="$2" -v b="$3" 'BEGIN { printf "%.1f", n * 1e6 / (b - a) }'
}

input=$(mktemp "${TMPDIR:-/tmp}/quillo-stream-XXXXXX")
audit=$(mktemp "${TMPDIR:-/tmp}/quillo-stream-XXXXXX")
trap 'rm -f "$input" "$audit"; bench_cleanup' EXIT
awk -v n="$records" 'BEGIN {
  for (i = 0; i < n; i++)
    printf "access\tUser%02d\tpc%02d\t192.168.1.%d\topen\t1\t0\tprojects\tr|q3/report_%d.txt\n", i % 50, i % 50, i % 200, i
}' >"$input"
awk -v n="$records" 'BEGIN {
  for (i = 0; i < n; i++)
    printf "2026-12-08T10:00:00+00:00 nas smbd_audit: User%02d|pc%02d|192.168.1.%d|projects|/srv/projects|openat|ok|r|/srv/projects/q3/report_%d.txt\n", i % 50, i % 50, i % 200, i
}' >"$audit"

# Warm-up: the first access parses the alert conditions, first files open.
"$gen" -n 500 -c 1 >/dev/null

start=$(now_us)
"$send" --stream <"$input"
stream_rate=$(rate "$records" "$start" "$(now_us)")

start=$(now_us)
"$send" --stream --format=samba-audit --confirm <"$audit" >/dev/null
audit_rate=$(rate "$records" "$start" "$(now_us)")

gen_line=$("$gen" -n "$records" -c 1)
gen_rate=$(field rate "$gen_line")

start=$(now_us)
for ((i = 0; i < spawns; i++)); do
  "$send" --access "User$((i % 50))" pc01 192.168.1.1 open 1 0 projects \
    "r|q3/spawned_$i.txt"
done
spawn_rate=$(rate "$spawns" "$start" "$(now_us)")

echo "records/s   stream(fields)  stream(samba-audit,confirm)  load generator  spawned quillo-send"
printf '            %14s  %27s  %14s  %19s\n' "$stream_rate" "$audit_rate" \
  "$gen_rate" "$spawn_rate"
awk -v s="$stream_rate" -v g="$gen_rate" -v p="$spawn_rate" \
  'BEGIN { printf "stream/generator %.2f   stream/spawned %.1f\n", s / g, s / p }'
