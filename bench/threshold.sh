#!/usr/bin/env bash
# Rate thresholds: what they cost and how fast they act. Three daemons (or
# more, see EXTRA), each on a private tree with stand-in notice scripts:
#
#   fire  one threshold condition (FIRE_COUNT rows per user in FIRE_SECONDS,
#         share "vault") whose response is quillo_threshold_stamp. The probe
#         fires it FIRINGS times, one user after the other, and takes the
#         time from the answer of the row that reaches the count to the
#         first instruction of the response; once with the daemon idle,
#         once while a load generator sends other records (share docs,
#         matching no condition) to the same daemon at full speed.
#   rate  CONDITIONS (10) threshold conditions that every generated record
#         matches (open_read on docs, per user, RATE_COUNT rows in 60 s,
#         more than any user sends), on USERS (100000) distinct users.
#   none  no alert conditions, the same load.
#
# EXTRA adds modes to the intake runs, to tell where the cost of rate lies:
#   plain   the rate conditions without their thresholds (each matching
#           row queued for a notice, as before thresholds);
#   allkey  the rate conditions counting per all (one key, 100000 rows in
#           1 s, so never reached): the same alert-log rows as rate, but
#           no per-user keys to find, make and evict.
#
# The intake modes take the same runs of RECORDS records in turn, each
# round starting one mode further on, ROUNDS times. Prints every run, then
# three tables: the latency median and p99 with the fire daemon's
# counters; each mode's median records/s and daemon CPU time per record,
# and their ratios to none; each daemon's VmRSS and VmHWM after all runs,
# with the rate daemon's threshold counters (SIGUSR1 dump). The targets
# are printed with the figures; nothing here passes or fails on them.
#
#   bench/threshold.sh          ROUNDS (3), USERS (100000), RECORDS (USERS),
#                               CONNS (1), CONDITIONS (10), RATE_COUNT (1000),
#                               FIRINGS (20), FIRE_COUNT (10), FIRE_SECONDS
#                               (60), WAIT (10, seconds a firing is waited
#                               for), EXTRA (none) from the environment;
#                               BUILD_DIR and NO_BUILD as in bench_env.sh
set -euo pipefail
source "$(dirname "$0")/bench_env.sh"
rounds=${ROUNDS:-3}
users=${USERS:-100000}
records=${RECORDS:-$users}
conns=${CONNS:-1}
conditions=${CONDITIONS:-10}
rate_count=${RATE_COUNT:-1000}
firings=${FIRINGS:-20}
fire_count=${FIRE_COUNT:-10}
fire_seconds=${FIRE_SECONDS:-60}
wait_s=${WAIT:-10}

bench_build quillod quillo_load_gen quillo_threshold_probe \
  quillo_threshold_stamp
gen=$build/bench/quillo_load_gen
probe=$build/bench/quillo_threshold_probe

# One condition on open_read of SHARE at any time, with the threshold and
# whatever else is given.
alert_xml() {  # alert_xml NAME SHARE MORE
  cat <<XML
    <alert><name>$1</name><usernamelist all="true"/><sharename>$2</sharename>
      <period not="false"><weekdays sun="true" mon="true" tue="true" wed="true" thu="true" fri="true" sat="true"/>
        <from><hour>0</hour><minute>0</minute></from><to><hour>0</hour><minute>0</minute></to></period>
      <operationlist><operation type="open_read" enable="true"/></operationlist>
      $3</alert>
XML
}

# threshold_tree VAR MODE: a private tree (a mode of the header) with its
# configuration, notice settings that mail one address, and notice scripts
# that read their request and answer success.
threshold_tree() {
  local t i
  bench_tree t
  for i in vek_eventlog.py vek_buzzer.py vek_mailsend.py; do
    printf '%s\n' '#!/bin/sh' 'cat >/dev/null' \
      "echo '<answer><entrylist><entry result=\"0\"/></entrylist></answer>'" \
      >"$t/mnt/data/bin/$i"
    chmod 755 "$t/mnt/data/bin/$i"
  done
  cat >"$t/mnt/data/xmlconf/config-notice.xml" <<'XML'
<config><mailnotice><mailconflist><mailconf enable="true"><notifylist>
<notify name="system" enable="true"/></notifylist>
<toaddrlist><toaddr>ops@example.com</toaddr></toaddrlist></mailconf>
</mailconflist></mailnotice></config>
XML
  {
    echo '<?xml version="1.0" encoding="UTF-8"?>'
    echo "<config><share><path>$t/logs</path></share>"
    # As bench_config has them: auto-delete on, stopping at the free-space
    # check.
    local del='<autodelete enable="true"><expire><days>30</days><percent>1</percent></expire></autodelete>'
    echo "  <eventlogconf enable=\"true\">$del</eventlogconf>"
    echo "  <accesslogconf enable=\"true\"><sharelist all=\"true\"/>$del</accesslogconf>"
    echo '  <alertlist>'
    case $2 in
      rate)
        for i in $(seq 1 "$conditions"); do
          alert_xml "rate-$i" docs "<threshold><count>$rate_count</count><seconds>60</seconds><per>user</per></threshold>"
        done ;;
      allkey)
        for i in $(seq 1 "$conditions"); do
          alert_xml "all-$i" docs "<threshold><count>100000</count><seconds>1</seconds><per>all</per></threshold>"
        done ;;
      plain)
        for i in $(seq 1 "$conditions"); do alert_xml "plain-$i" docs ""; done ;;
      fire)
        mkdir -p "$t/mnt/data/bin/stamps"
        cp "$build/bench/quillo_threshold_stamp" "$t/mnt/data/bin/"
        alert_xml burst vault "<threshold><count>$fire_count</count><seconds>$fire_seconds</seconds><per>user</per></threshold>
      <response><script>$t/mnt/data/bin/quillo_threshold_stamp</script><timeout>30</timeout></response>" ;;
    esac
    echo '  </alertlist></config>'
  } >"$t/mnt/data/xmlconf/config-quillo.xml"
  printf -v "$1" '%s' "$t"
}

# start_daemon ROOT: quillod on ROOT, its standard error kept in
# ROOT/quillod.err (a failed response is reported there); sets daemon_pid.
start_daemon() {
  QUILLO_ROOT=$1 "$build/daemon/quillod" >/dev/null 2>"$1/quillod.err" &
  daemon_pid=$!
  bench_pids+=("$daemon_pid")
  bench_wait_socket "$1"
}

# counters ROOT PID: the daemon's counters dump, waited for (5 s bound).
counters() {
  local stats=$1/mnt/data/conf/quillo/quillod.stats
  rm -f "$stats"
  kill -USR1 "$2"
  for _ in $(seq 1 100); do
    [ -s "$stats" ] && { cat "$stats"; return 0; }
    sleep 0.05
  done
  echo "no counters dump from $2" >&2
}

counter() {  # counter NAME DUMP: the value, or n/a when not in the dump
  awk -v n="$1" '$1 == n { v = $2 } END { print (v == "" ? "n/a" : v) }' <<<"$2"
}

proc_kb() {  # proc_kb FIELD PID: VmRSS, VmHWM... of /proc/PID/status in kB
  awk -v f="$1:" '$1 == f { print $2 }' "/proc/$2/status"
}

cpu_ticks() {  # cpu_ticks PID: user + system time of all its threads
  # The fields after the parenthesised name, which may hold spaces.
  sed 's/^.*) //' "/proc/$1/stat" | awk '{ print $12 + $13 }'
}
tck=$(getconf CLK_TCK)
modes=(rate none)
# shellcheck disable=SC2206  # a space-separated list
modes+=(${EXTRA:-})
for mode in "${modes[@]}"; do
  case $mode in rate | none | plain | allkey) ;;
    *) echo "threshold.sh: EXTRA takes plain and allkey, not $mode" >&2; exit 1 ;;
  esac
done

access_rows() {  # access_rows ROOT: lines in ROOT's access log so far
  find "$1/logs/accesslog" -name '*.csv' -exec cat {} + 2>/dev/null | wc -l
}

echo "threshold bench: $firings firings of $fire_count rows in ${fire_seconds} s;" \
     "intake $records records x $rounds rounds, $users users, $conditions conditions," \
     "C=$conns; $(nproc) cores"

# 1. Detection latency.
threshold_tree froot fire
start_daemon "$froot"
fire_pid=$daemon_pid
"$gen" -n 500 -c 1 -s "$froot/tmp/quillo" >/dev/null

probe_run() {  # probe_run PREFIX: prints the probe's summary line
  local out
  out=$("$probe" -s "$froot/tmp/quillo" -d "$froot/mnt/data/bin/stamps" \
    -f "$firings" -r "$fire_count" -x "$1" -w "$wait_s")
  grep ' missed$' <<<"$out" | sed 's/^/    /' >&2 || true
  echo "    latencies (ms, in firing order):" \
    $(grep -o ' latency_ms=[-0-9.]*' <<<"$out" | cut -d= -f2) >&2
  echo "    rows on the responses' standard input:" \
    $(grep -o 'batch_rows=[0-9]*' <<<"$out" | cut -d= -f2 | sort -n | uniq -c |
      awk '{ printf "%s (%s times) ", $2, $1 }') >&2
  tail -n 1 <<<"$out"
}
echo "detection, idle daemon" >&2
idle_line=$(probe_run idle)
echo "  $idle_line" >&2

echo "detection, while a load generator sends other records" >&2
rows0=$(access_rows "$froot")
"$gen" -n 100000000 -c 1 -s "$froot/tmp/quillo" >"$froot/load.out" 2>&1 &
load_pid=$!
bench_pids+=("$load_pid")
# The load under way (1000 rows written, 10 s bound) before the first firing.
for _ in $(seq 1 200); do
  (($(access_rows "$froot") > rows0 + 1000)) && break
  sleep 0.05
done
rows0=$(access_rows "$froot") t0=$EPOCHREALTIME
load_line=$(probe_run load)
rows1=$(access_rows "$froot") t1=$EPOCHREALTIME
kill "$load_pid" 2>/dev/null || true
wait "$load_pid" 2>/dev/null || true
load_rate=$(awk -v a="$rows0" -v b="$rows1" -v s="$t0" -v e="$t1" \
  'BEGIN { printf "%.0f", (b - a) / (e - s) }')
echo "  $load_line" >&2
fire_dump=$(counters "$froot" "$fire_pid")
stamped_runs=$(find "$froot/mnt/data/bin/stamps" -type f -exec cat {} + | wc -l)
response_errors=$(grep -c 'Error: response' "$froot/quillod.err" || true)

# 2. Intake, the modes in turn, each round starting one further on.
declare -A root pid rss0 rates cpu
for mode in "${modes[@]}"; do
  threshold_tree "root[$mode]" "$mode"
  start_daemon "${root[$mode]}"
  pid[$mode]=$daemon_pid
  # Warm-up: the first access parses the conditions, the first files open.
  "$gen" -n 500 -c 1 -u "$users" -s "${root[$mode]}/tmp/quillo" >/dev/null
  rss0[$mode]=$(proc_kb VmRSS "${pid[$mode]}")
done

run() {  # run MODE: one load run on MODE's daemon, recorded under MODE
  local line c0 c1 p=${pid[$1]}
  c0=$(cpu_ticks "$p")
  line=$("$gen" -n "$records" -c "$conns" -u "$users" \
    -s "${root[$1]}/tmp/quillo" -p "$p")
  c1=$(cpu_ticks "$p")
  printf '  %-5s %s\n' "$1" "$line" >&2
  [ "$(field errors "$line")" = 0 ] || echo "  ^ errors in this run" >&2
  rates[$1]+=" $(field rate "$line")"
  cpu[$1]+=" $(awk -v a="$c0" -v b="$c1" -v n="$records" -v t="$tck" \
    'BEGIN { printf "%.2f", (b - a) / t / n * 1e6 }')"
}
echo "intake" >&2
for round in $(seq 1 "$rounds"); do
  # Rotating the order, so no mode always runs first on a cool machine.
  for i in "${!modes[@]}"; do
    run "${modes[(i + round - 1) % ${#modes[@]}]}"
  done
done
declare -A med cpu_med rss hwm
for mode in "${modes[@]}"; do
  # shellcheck disable=SC2086  # the lists are space-separated on purpose
  med[$mode]=$(median ${rates[$mode]})
  # shellcheck disable=SC2086
  cpu_med[$mode]=$(median ${cpu[$mode]})
done

# 3. Memory, after all runs.
for mode in "${modes[@]}"; do
  rss[$mode]=$(proc_kb VmRSS "${pid[$mode]}")
  hwm[$mode]=$(proc_kb VmHWM "${pid[$mode]}")
done
rate_dump=$(counters "${root[rate]}" "${pid[rate]}")
sent=$((500 + rounds * records))
distinct=$((sent < users ? sent : users))
# Past the first 10,000 keys each new key evicts one. With USERS over
# 10,500 cycled in order from u000000 in every run, each row is a new key
# but for the first 10,000 and the warm-up's 500 users, still kept when
# the first run sends them again.
expected=n/a
((users > 10500)) && expected=$((conditions * (sent - 10000 - 500)))

summary() {  # summary LINE: "median / p99 ms ... (fired/firings)"
  if [ -n "$(field median_ms "$1")" ]; then
    printf '%8s / %8s ms from the answer, %s / %s ms from the send  (%s of %s fired)' \
      "$(field median_ms "$1")" "$(field p99_ms "$1")" \
      "$(field send_median_ms "$1")" "$(field send_p99_ms "$1")" \
      "$(field fired "$1")" "$(field firings "$1")"
  else
    printf '%19s  (%s of %s fired)' "none fired" "$(field fired "$1")" "$(field firings "$1")"
  fi
}

echo
echo "== detection latency, median / p99 over $firings firings (target: median <= 100 ms, p99 <= 1 s)"
printf '  %-11s %s\n' "idle" "$(summary "$idle_line")"
printf '  %-11s %s; the load wrote %s access rows/s meanwhile\n' "under load" \
  "$(summary "$load_line")" "$load_rate"
printf '  counters    threshold_fired %s, responses_run %s, responses_failed %s; %s stamps of %s firings; %s response errors on stderr\n' \
  "$(counter threshold_fired "$fire_dump")" "$(counter responses_run "$fire_dump")" \
  "$(counter responses_failed "$fire_dump")" "$stamped_runs" "$((2 * firings))" \
  "$response_errors"
echo "== intake, median of $rounds runs of $records records on $users users, C=$conns (target: rate/none >= 0.9)"
echo "  mode   records/s  ratio to none   daemon CPU us/record  ratio to none"
for mode in "${modes[@]}"; do
  awk -v m="$mode" -v r="${med[$mode]}" -v n="${med[none]}" \
    -v c="${cpu_med[$mode]}" -v cn="${cpu_med[none]}" 'BEGIN {
    printf "  %-6s %9.1f  %13.3f   %20.2f  %13.3f\n", m, r, r / n, c, c / cn }'
done
echo "== memory of the daemons after the runs"
echo "  mode   VmRSS kB  (after warm-up)   VmHWM kB   VmHWM - none kB"
for mode in "${modes[@]}"; do
  printf '  %-6s %8s  %15s  %9s  %16s\n' "$mode" "${rss[$mode]}" "(${rss0[$mode]})" \
    "${hwm[$mode]}" "$((hwm[$mode] - hwm[none]))"
done
printf '  rate   threshold_keys_evicted %s (%s expected: %s rows of %s users, %s conditions, 10,000 keys each), threshold_fired %s (0 expected)\n' \
  "$(counter threshold_keys_evicted "$rate_dump")" "$expected" "$sent" \
  "$distinct" "$conditions" "$(counter threshold_fired "$rate_dump")"
