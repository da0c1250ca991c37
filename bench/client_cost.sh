#!/usr/bin/env bash
# Per-record cost of the client, each run started from a bash loop (so
# fork and exec count, as they do for the software that runs quillo-send):
#
#   quillo-send --system  against a running quillod,
#   quillo_trivial_client (the least a client can do) against the same,
#   util-linux logger     against a private rsyslogd writing a private file,
#                         timed until the last line is in that file.
#
# quillo-send and the trivial client run in alternating batches. Prints ms
# per record for each, quillo-send/trivial and quillo-send/logger.
#
#   bench/client_cost.sh        RUNS (2000), BATCHES (10) from the
#                               environment; BUILD_DIR as in bench_env.sh
set -euo pipefail
source "$(dirname "$0")/bench_env.sh"
runs=${RUNS:-2000}
batches=${BATCHES:-10}
per_batch=$((runs / batches))

bench_build quillod quillo-send quillo_trivial_client
send=$build/client/quillo-send
trivial=$build/bench/quillo_trivial_client

bench_tree root
bench_config "$root"
bench_start_daemon "$root"
export QUILLO_ROOT=$root

now_us() { echo "${EPOCHREALTIME/./}"; }

# batch PROGRAM N: runs N system records through PROGRAM; prints the
# elapsed microseconds. A failed run aborts the measurement.
batch() {
  local start i t
  t=$(date +%s)
  start=$(now_us)
  if [ "$1" = send ]; then
    for ((i = 0; i < $2; i++)); do
      "$send" --system "$t" disk0 info "client cost $i"
    done
  else
    for ((i = 0; i < $2; i++)); do
      "$trivial" "$t" disk0 info "client cost $i"
    done
  fi
  echo $(($(now_us) - start))
}

batch send 50 >/dev/null
batch trivial 50 >/dev/null
send_us=0 trivial_us=0
for ((b = 0; b < batches; b++)); do
  if ((b % 2)); then
    trivial_us=$((trivial_us + $(batch trivial "$per_batch")))
    send_us=$((send_us + $(batch send "$per_batch")))
  else
    send_us=$((send_us + $(batch send "$per_batch")))
    trivial_us=$((trivial_us + $(batch trivial "$per_batch")))
  fi
done
total=$((per_batch * batches))
expected=$((100 + total * 2))
got=$(find "$root/logs/systemlog" -name '*.csv' -exec cat {} + | wc -l)
[ "$got" -eq "$expected" ] ||
  echo "warning: $got system-log lines, expected $expected" >&2

# A private rsyslogd: its own socket, work directory, output file and pid
# file; never the system's /dev/log.
if ! command -v rsyslogd >/dev/null; then
  DEBIAN_FRONTEND=noninteractive apt-get install -y rsyslog >/dev/null
fi
syslog_dir=$(mktemp -d "${TMPDIR:-/tmp}/quillo-bench-rsyslog.XXXXXX")
bench_dirs+=("$syslog_dir")
mkdir "$syslog_dir/work"
cat >"$syslog_dir/rsyslog.conf" <<CONF
\$WorkDirectory $syslog_dir/work
module(load="imuxsock" SysSock.Use="off")
input(type="imuxsock" Socket="$syslog_dir/log.sock" RateLimit.Interval="0")
*.* action(type="omfile" file="$syslog_dir/messages")
CONF
rsyslogd -n -f "$syslog_dir/rsyslog.conf" -i "$syslog_dir/rsyslogd.pid" \
  >/dev/null 2>&1 &
bench_pids+=("$!")
for _ in $(seq 1 200); do [ -S "$syslog_dir/log.sock" ] && break; sleep 0.05; done
for ((i = 0; i < 50; i++)); do logger -u "$syslog_dir/log.sock" "warm up $i"; done
lines() { cat "$syslog_dir/messages" 2>/dev/null | wc -l; }
for _ in $(seq 1 200); do [ "$(lines)" -ge 50 ] && break; sleep 0.05; done
base=$(lines)

start=$(now_us)
for ((i = 0; i < total; i++)); do
  logger -u "$syslog_dir/log.sock" "disk0 info client cost $i"
done
while [ "$(lines)" -lt $((base + total)) ]; do :; done
logger_us=$(($(now_us) - start))

awk -v n="$total" -v s="$send_us" -v t="$trivial_us" -v l="$logger_us" 'BEGIN {
  printf "records per client: %d (quillo-send and trivial in %s batches)\n", n, '"$batches"'
  printf "  quillo-send + quillod     %.3f ms/record\n", s / n / 1000
  printf "  trivial client + quillod  %.3f ms/record\n", t / n / 1000
  printf "  logger + rsyslogd         %.3f ms/record\n", l / n / 1000
  printf "quillo-send / trivial client: %.3f\n", s / t
  printf "quillo-send / logger:         %.3f\n", s / l
}'
