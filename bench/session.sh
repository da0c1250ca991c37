#!/usr/bin/env bash
# Sessions against the connection per record, and against rsyslog, in one
# run on one daemon:
#
#   session   the load generator on one session, WINDOW (256) frames in
#             flight: records/s and the answer latency inside the session
#   stream    quillo-send --stream over its session, the same records read
#             from a file (fields format)
#   oneshot   the load generator at one connection per record
#   rsyslog   a private rsyslogd, imuxsock to omfile, fed the same number
#             of 120-byte messages by a flood sender: from the first send
#             until the last line is in its file
#   fairness  the one-shot p99 answer time alone, then beside a session
#             that saturates the daemon
#
# Each mode runs ROUNDS (3) times, in turn; the medians and the ratios
# session/rsyslog, session/oneshot and beside/alone are printed with their
# targets. Nothing passes or fails on them.
#
#   bench/session.sh   RECORDS (200000), ROUNDS (3), WINDOW (256),
#                      ONESHOT (20000, records of the one-shot runs);
#                      BUILD_DIR and NO_BUILD as in bench_env.sh
set -euo pipefail
source "$(dirname "$0")/bench_env.sh"
records=${RECORDS:-200000}
rounds=${ROUNDS:-3}
window=${WINDOW:-256}
oneshot=${ONESHOT:-20000}

bench_build quillod quillo-send quillo_load_gen quillo_syslog_flood
send=$build/client/quillo-send
gen=$build/bench/quillo_load_gen
flood=$build/bench/quillo_syslog_flood

bench_tree root
bench_config "$root"
bench_start_daemon "$root"
export QUILLO_ROOT=$root

now_us() { echo "${EPOCHREALTIME/./}"; }
rate() {  # rate COUNT START_US END_US
  awk -v n="$1" -v a="$2" -v b="$3" 'BEGIN { printf "%.1f", n * 1e6 / (b - a) }'
}

input="$root/stream-input"
awk -v n="$records" 'BEGIN {
  for (i = 0; i < n; i++)
    printf "access\tUser%02d\tpc%02d\t192.168.1.%d\topen\t1\t0\tdocs\tr|projects/q3/report_%d.txt\n", i % 50, i % 50, i % 200, i
}' >"$input"

# A private rsyslogd: its own socket, work folder, output file, pid file;
# no rate limit, so that what is measured is its intake, not its policy.
if ! command -v rsyslogd >/dev/null; then
  DEBIAN_FRONTEND=noninteractive apt-get install -y rsyslog >/dev/null
fi
bench_tree syslog_dir
cat >"$syslog_dir/rsyslog.conf" <<CONF
global(workDirectory="$syslog_dir")
module(load="imuxsock" SysSock.Use="off")
input(type="imuxsock" Socket="$syslog_dir/log.sock" RateLimit.Interval="0")
*.* action(type="omfile" file="$syslog_dir/out.log")
CONF

# rsyslog_run: one flood of $records messages into a fresh rsyslogd;
# prints lines/s from the first send until the file holds every line.
rsyslog_run() {
  rm -f "$syslog_dir/out.log" "$syslog_dir/log.sock"
  /usr/sbin/rsyslogd -n -f "$syslog_dir/rsyslog.conf" \
    -i "$syslog_dir/rsyslogd.pid" >/dev/null 2>&1 &
  local pid=$! i
  bench_pids+=("$pid")
  for i in $(seq 1 200); do [ -S "$syslog_dir/log.sock" ] && break; sleep 0.05; done
  local start lines=0
  start=$(now_us)
  "$flood" "$syslog_dir/log.sock" "$records" >/dev/null
  # Bounded: 60 s for the queue to drain into the file.
  for i in $(seq 1 6000); do
    lines=$(wc -l <"$syslog_dir/out.log" 2>/dev/null || echo 0)
    [ "$lines" -ge "$records" ] && break
    sleep 0.01
  done
  local end
  end=$(stat -c %.6Y "$syslog_dir/out.log")
  kill "$pid"
  wait "$pid" 2>/dev/null || true
  [ "$lines" -ge "$records" ] || echo "rsyslog: only $lines of $records lines" >&2
  awk -v n="$records" -v a="$start" -v b="${end/./}" \
    'BEGIN { printf "%.1f", n * 1e6 / (b - a) }'
}

# Warm-up: the first access parses the alert conditions, first files open.
"$gen" -n 500 -c 1 >/dev/null

session_rates=() stream_rates=() oneshot_rates=() rsyslog_rates=()
p50s=() p99s=() alone_p99=() beside_p99=()
for ((r = 0; r < rounds; r++)); do
  line=$("$gen" -n "$records" -c 1 -S "$window")
  echo "  session  $line"
  # A run with errors (no session opened) has no rate worth the name.
  if [ "$(field errors "$line")" != 0 ]; then
    echo "session mode failed: $(field errors "$line") records not taken" >&2
    exit 1
  fi
  session_rates+=("$(field rate "$line")")
  p50s+=("$(field p50_us "$line")")
  p99s+=("$(field p99_us "$line")")

  start=$(now_us)
  if ! "$send" --stream <"$input" 2>"$root/stream.err"; then
    echo "stream failed: $(tail -1 "$root/stream.err")" >&2
    exit 1
  fi
  stream_rates+=("$(rate "$records" "$start" "$(now_us)")")
  echo "  stream   rate=${stream_rates[-1]}"

  line=$("$gen" -n "$oneshot" -c 1)
  echo "  oneshot  $line"
  oneshot_rates+=("$(field rate "$line")")
  alone_p99+=("$(field p99_us "$line")")

  rsyslog_rates+=("$(rsyslog_run)")
  echo "  rsyslog  rate=${rsyslog_rates[-1]}"

  # Beside a session that saturates the daemon for longer than the
  # one-shot run takes.
  "$gen" -n $((records * 2)) -c 1 -S "$window" >"$root/saturating" &
  saturating=$!
  sleep 0.5
  line=$("$gen" -n "$oneshot" -c 1)
  kill "$saturating" 2>/dev/null || true
  wait "$saturating" 2>/dev/null || true
  echo "  beside   $line"
  beside_p99+=("$(field p99_us "$line")")
done

m_session=$(median "${session_rates[@]}")
m_stream=$(median "${stream_rates[@]}")
m_oneshot=$(median "${oneshot_rates[@]}")
m_rsyslog=$(median "${rsyslog_rates[@]}")
m_alone=$(median "${alone_p99[@]}")
m_beside=$(median "${beside_p99[@]}")
echo
echo "== records/s, median of $rounds runs of $records records (window $window)"
printf '  %-28s %12s\n' "session (load generator)" "$m_session" \
  "quillo-send --stream" "$m_stream" "one connection per record" \
  "$m_oneshot" "rsyslogd imuxsock -> omfile" "$m_rsyslog"
awk -v s="$m_session" -v t="$m_stream" -v o="$m_oneshot" -v y="$m_rsyslog" 'BEGIN {
  printf "  session/rsyslog %.2f (target >= 1.0), stream/rsyslog %.2f\n", s / y, t / y
  printf "  session/oneshot %.1f (target >= 10), stream/oneshot %.1f\n", s / o, t / o }'
echo "== answer latency inside the session: p50 $(median "${p50s[@]}") us, p99 $(median "${p99s[@]}") us"
awk -v a="$m_alone" -v b="$m_beside" 'BEGIN {
  printf "== one-shot p99: alone %.1f us, beside a saturating session %.1f us: %.2fx (target <= 2)\n", a, b, b / a }'
