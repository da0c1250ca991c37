#!/usr/bin/env bash
# The cost of forwarding: the same access-record load through two quillods,
# one forwarding every row to a local rsyslogd (private configuration, work
# directory and pid file, imtcp on 127.0.0.1 with a port of its own, each
# message written to a file) and one with forwarding off, alternating, for
# 1 and 2 concurrent connections. Prints every run, the medians, the ratio
# on/off in records per second, the median p99 answer time (from connect
# to the answer, as the load generator times each record) on and off, and
# whether the collector got every row.
#
#   bench/forward.sh            RECORDS (20000) and ROUNDS (3) from the
#                               environment; BUILD_DIR as in bench_env.sh
set -euo pipefail
source "$(dirname "$0")/bench_env.sh"
records=${RECORDS:-20000}
rounds=${ROUNDS:-3}
rsyslogd=$(command -v rsyslogd || echo /usr/sbin/rsyslogd)
[ -x "$rsyslogd" ] || { echo "forward.sh: rsyslogd is not installed" >&2; exit 77; }

bench_build quillod quillo_load_gen
gen=$build/bench/quillo_load_gen

# The collector.
bench_tree rs
cat >"$rs/rsyslog.conf" <<CONF
global(workDirectory="$rs" processInternalMessages="on"
       parser.escapeControlCharactersOnReceive="off")
module(load="imtcp")
template(name="raw" type="string" string="%rawmsg%\n")
ruleset(name="collect") { action(type="omfile" file="$rs/received.log" template="raw") }
input(type="imtcp" address="127.0.0.1" port="0" listenPortFileName="$rs/port" ruleset="collect")
*.* action(type="omfile" file="$rs/internal.log")
CONF
"$rsyslogd" -n -f "$rs/rsyslog.conf" -i "$rs/rsyslogd.pid" >"$rs/out" 2>&1 &
bench_pids+=("$!")
for _ in $(seq 1 200); do [ -s "$rs/port" ] && break; sleep 0.05; done
port=$(cat "$rs/port")

bench_tree on
bench_tree off
bench_config "$on"
bench_config "$off"
sed -i "s|</config>|<forwardconf enable=\"true\"><target><host>127.0.0.1</host><port>$port</port><protocol>tcp</protocol></target></forwardconf></config>|" \
  "$on/mnt/data/xmlconf/config-quillo.xml"
bench_start_daemon "$on"
on_pid=$daemon_pid
bench_start_daemon "$off"
off_pid=$daemon_pid

"$gen" -n 500 -c 1 -s "$on/tmp/quillo" >/dev/null
"$gen" -n 500 -c 1 -s "$off/tmp/quillo" >/dev/null

run() {  # run NAME ROOT CONNS PID: one load run; prints "RATE P99_US"
  local line
  line=$("$gen" -n "$records" -c "$3" -s "$2/tmp/quillo" -p "$4")
  printf '  %-7s %s\n' "$1" "$line" >&2
  [ "$(field errors "$line")" = 0 ] || echo "  ^ errors in this run" >&2
  echo "$(field rate "$line") $(field p99_us "$line")"
}

echo "records per run: $records, rounds: $rounds, collector port $port"
declare -A result
for conns in 1 2; do
  on_rates=() off_rates=() on_p99=() off_p99=()
  echo "C=$conns" >&2
  for round in $(seq 1 "$rounds"); do
    # Which goes first alternates, so neither always runs on a warm machine.
    order="on off"
    ((round % 2)) || order="off on"
    for which in $order; do
      if [ "$which" = on ]; then
        read -r rate p99 < <(run on "$on" "$conns" "$on_pid")
        on_rates+=("$rate") on_p99+=("$p99")
      else
        read -r rate p99 < <(run off "$off" "$conns" "$off_pid")
        off_rates+=("$rate") off_p99+=("$p99")
      fi
    done
  done
  result[on$conns]=$(median "${on_rates[@]}")
  result[off$conns]=$(median "${off_rates[@]}")
  result[p99on$conns]=$(median "${on_p99[@]}")
  result[p99off$conns]=$(median "${off_p99[@]}")
done

echo
echo "median records/s   forward on   forward off   on/off"
for conns in 1 2; do
  awk -v c="$conns" -v a="${result[on$conns]}" -v b="${result[off$conns]}" \
    'BEGIN { printf "  C=%s            %9.1f     %9.1f    %.3f\n", c, a, b, a / b }'
done
echo "median p99 answer us   forward on   forward off"
for conns in 1 2; do
  awk -v c="$conns" -v a="${result[p99on$conns]}" -v b="${result[p99off$conns]}" \
    'BEGIN { printf "  C=%s                %9.1f     %9.1f\n", c, a, b }'
done

# Every access row (and system row) written should reach the collector.
rows=$(find "$on/logs" -name '*.csv' -exec cat {} + | grep -c $'\r$' || true)
for _ in $(seq 1 300); do
  got=$(wc -l <"$rs/received.log" 2>/dev/null || echo 0)
  [ "$got" -ge "$rows" ] && break
  sleep 0.1
done
echo "collector: $got of $rows rows received"
