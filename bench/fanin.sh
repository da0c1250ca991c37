#!/usr/bin/env bash
# Fan-in: DAEMONS quillods, each under a QUILLO_ROOT of its own, all
# forwarding to ONE private rsyslogd on 127.0.0.1 (its own configuration,
# work directory, pid file and port; Direct main queue, so a message is in
# the collector's file before rsyslogd acknowledges it). One run per mode:
#   relp   RELP (imrelp)
#   tls    RELP over TLS: a CA, a collector certificate (collector.test) and
#          a client certificate (appliance.test) made here with certtool;
#          imrelp checks the client's name, quillod the collector's
#   tcp    octet-counted TCP (imtcp), for comparison
# In each run every daemon gets RECORDS access records at once from a
# quillo_load_gen of its own (one connection each, all started together).
#
# Printed per mode:
#   collector rows/s  access rows received / (last receipt - first receipt),
#                     receipt being rsyslog's timegenerated (microseconds)
#   answer rows/s     all records answered / wall time from starting the
#                     load generators until the last one ended
#   lag max/p99 ms    the largest time from a row's answer to its receipt
#                     at the collector, over every row, and the 99th
#                     percentile
#   every row arrived each daemon's access rows at the collector (first
#                     receipt of each record counted once) against RECORDS
#
# How the lag is taken: the daemon appends a row to its access CSV before
# it answers. A sampler (python, in this script, at real-time priority so
# that its rounds come on time with every core busy) reads what every
# daemon's access files gained about once a millisecond and notes, for
# each record (its number is in the row's path, report_N.txt), the end of
# the round that first returned it; the row was written after the round
# before began. "lag max/p99" is the collector's receipt of the same
# record from the same daemon (its PID is in the message) minus that
# round's end: it may fall short of the true answer-to-receipt time by the
# gap between two rounds (the largest gap is printed as the precision) and
# is never longer (but for the microseconds from write to answer). "lag bound" is the same against the start of the round
# before: never shorter. Both clocks are the machine's CLOCK_REALTIME.
#
# CPU: each run prints what the daemons, the load generators, rsyslogd
# and the sampler used (per cent of one core, over the run until the
# collector had every row), the rest (kernel threads, other programs) and
# the machine's busy share. Everything shares this machine's cores: the
# figures are those of the whole appliance fleet and the collector
# squeezed onto one box, not of one collector on a machine of its own.
#
#   bench/fanin.sh    DAEMONS (8), RECORDS per daemon (20000), MODES
#                     ("relp tls tcp"), WINDOW (RELP window; quillod's
#                     default when unset); BUILD_DIR, NO_BUILD as in
#                     bench_env.sh
set -euo pipefail
source "$(dirname "$0")/bench_env.sh"
daemons=${DAEMONS:-8}
records=${RECORDS:-20000}
modes=${MODES:-relp tls tcp}
window=${WINDOW:-}
warmup=100  # system records per daemon before each run: connections up
rsyslogd=$(command -v rsyslogd || echo /usr/sbin/rsyslogd)
[ -x "$rsyslogd" ] || { echo "fanin.sh: rsyslogd is not installed" >&2; exit 77; }
command -v python3 >/dev/null || { echo "fanin.sh: python3 is needed" >&2; exit 77; }
case " $modes " in
  *" tls "*) command -v certtool >/dev/null ||
    { echo "fanin.sh: certtool (gnutls-bin) is needed for tls" >&2; exit 77; } ;;
esac

bench_build quillod quillo_load_gen
gen=$build/bench/quillo_load_gen
tck=$(getconf CLK_TCK)
cores=$(nproc)

# stop_pid PID: ends one process this script started and takes it off the
# cleanup list (its number may be reused later).
stop_pid() {
  local pid=$1 i
  kill "$pid" 2>/dev/null || true
  for _ in $(seq 1 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  wait "$pid" 2>/dev/null || true
  for i in "${!bench_pids[@]}"; do
    [ "${bench_pids[$i]}" = "$pid" ] && unset 'bench_pids[i]'
  done
  bench_pids=("${bench_pids[@]}")
  return 0
}

# cpu_ticks PID...: user + system clock ticks of those processes, summed.
cpu_ticks() {
  local pid sum=0 t
  for pid in "$@"; do
    t=$(sed 's/.*) //' "/proc/$pid/stat" 2>/dev/null | awk '{ print $12 + $13 }') || t=0
    sum=$((sum + ${t:-0}))
  done
  echo "$sum"
}

# machine_ticks: "busy total" clock ticks of the whole machine.
machine_ticks() {
  awk '/^cpu / { t = 0; for (i = 2; i <= NF; i++) t += $i
                 print t - $5 - $6, t }' /proc/stat
}

# children_seconds FILE: user + system seconds of this shell's reaped
# children, from "times >FILE" run in this shell (not in a subshell, whose
# children are others).
children_seconds() {
  awk 'NR == 2 { split($1, u, /[ms]/); split($2, s, /[ms]/)
                 print u[1] * 60 + u[2] + s[1] * 60 + s[2] }' "$1"
}

# The sampler runs ahead of everything else (real-time FIFO where allowed,
# else a lower nice value) so that its reads come on time even with every
# core busy; it sleeps a millisecond between reads.
if chrt -f 1 true 2>/dev/null; then
  sampler_prio=(chrt -f 1)
elif nice -n -10 true 2>/dev/null; then
  sampler_prio=(nice -n -10)
else
  sampler_prio=(env)
fi

free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

lines_of() { if [ -e "$1" ]; then wc -l <"$1"; else echo 0; fi; }

# The certificates, once: a CA, the collector's and the appliances' own.
make_pki() {
  bench_tree pki
  cat >"$pki/ca.tmpl" <<EOF
cn = "quillo bench CA"
ca
cert_signing_key
expiration_days = 2
EOF
  cat >"$pki/collector.tmpl" <<EOF
cn = "collector.test"
dns_name = "collector.test"
tls_www_server
signing_key
encryption_key
expiration_days = 2
EOF
  cat >"$pki/client.tmpl" <<EOF
cn = "appliance.test"
dns_name = "appliance.test"
tls_www_client
signing_key
encryption_key
expiration_days = 2
EOF
  local who
  for who in ca collector client; do
    certtool --generate-privkey --sec-param=medium --outfile "$pki/$who.key" 2>/dev/null
  done
  certtool --generate-self-signed --load-privkey "$pki/ca.key" \
    --template "$pki/ca.tmpl" --outfile "$pki/ca.pem" 2>/dev/null
  for who in collector client; do
    certtool --generate-certificate --load-privkey "$pki/$who.key" \
      --load-ca-certificate "$pki/ca.pem" --load-ca-privkey "$pki/ca.key" \
      --template "$pki/$who.tmpl" --outfile "$pki/$who.pem" 2>/dev/null
  done
}

# start_collector MODE: a private rsyslogd for MODE; sets col (its tree),
# col_pid and port.
start_collector() {
  local mode=$1 input
  bench_tree col
  case $mode in
    tcp)
      input="module(load=\"imtcp\")
input(type=\"imtcp\" address=\"127.0.0.1\" port=\"0\" listenPortFileName=\"$col/port\" ruleset=\"collect\")" ;;
    relp)
      port=$(free_port)
      input="module(load=\"imrelp\")
input(type=\"imrelp\" address=\"127.0.0.1\" port=\"$port\" ruleset=\"collect\")" ;;
    tls)
      port=$(free_port)
      input="module(load=\"imrelp\")
input(type=\"imrelp\" address=\"127.0.0.1\" port=\"$port\" ruleset=\"collect\"
      tls=\"on\" tls.caCert=\"$pki/ca.pem\" tls.myCert=\"$pki/collector.pem\"
      tls.myPrivKey=\"$pki/collector.key\" tls.authMode=\"name\"
      tls.permittedPeer=[\"appliance.test\"])" ;;
  esac
  cat >"$col/rsyslog.conf" <<CONF
global(workDirectory="$col" processInternalMessages="on"
       parser.escapeControlCharactersOnReceive="off")
main_queue(queue.type="Direct")
template(name="stamped" type="string"
         string="%timegenerated:::date-rfc3339% %rawmsg%\n")
ruleset(name="collect") {
  action(type="omfile" file="$col/received.log" template="stamped")
}
$input
*.* action(type="omfile" file="$col/internal.log")
CONF
  "$rsyslogd" -n -f "$col/rsyslog.conf" -i "$col/rsyslogd.pid" >"$col/out" 2>&1 &
  col_pid=$!
  bench_pids+=("$col_pid")
  local i
  for i in $(seq 1 200); do
    if [ "$mode" = tcp ]; then
      [ -s "$col/port" ] && { port=$(cat "$col/port"); break; }
    else
      ss -ltnH "sport = :$port" 2>/dev/null | grep -q . && break
    fi
    sleep 0.05
  done
  if [ "$i" = 200 ] || ! kill -0 "$col_pid" 2>/dev/null; then
    echo "fanin.sh: the $mode collector did not start:" >&2
    cat "$col/out" "$col/internal.log" 2>/dev/null >&2 || true
    return 1
  fi
}

# forward_conf MODE: quillod's forwardconf for MODE.
forward_conf() {
  local proto=relp tls="" win=""
  [ "$1" = tcp ] && proto=tcp
  [ -n "$window" ] && [ "$proto" = relp ] && win="<window>$window</window>"
  [ "$1" = tls ] && tls="<tls enable=\"true\"><cafile>$pki/ca.pem</cafile><certfile>$pki/client.pem</certfile><keyfile>$pki/client.key</keyfile><peername>collector.test</peername></tls>"
  echo "<forwardconf enable=\"true\"><target><host>127.0.0.1</host><port>$port</port><protocol>$proto</protocol>$win</target>$tls</forwardconf>"
}

# The sampler: argv OUT TOTAL ROOT...; writes OUT.ready once it watches,
# then one line "daemon record seen_end written_after" per access row, and
# a last line "# gap_max_ms cpu_s polls", when it has seen TOTAL rows (or
# on SIGTERM, or after 600 s). Each round reads what each daemon's access
# files gained since the round before; a daemon's folders are listed again
# when a round finds nothing new while its files grew in the last 50 ms (a
# new file may have taken over), when it has none yet, and every 50 ms. A row first read in round k was written
# after round k-1 began (for a file first listed in round k: after the
# listing before began, when the file was not there yet).
sampler_py='
import os, re, signal, sys, time
out, total, roots = sys.argv[1], int(sys.argv[2]), sys.argv[3:]
pat = re.compile(rb"report_(\d+)\.txt")
stop = False
def on_term(*_):
    global stop
    stop = True
signal.signal(signal.SIGTERM, on_term)
class Source:
    def __init__(self, d, fd, since):
        self.d, self.fd, self.rest, self.since = d, fd, b"", since
files = [dict() for _ in roots]  # path -> Source
listed = [0.0 for _ in roots]  # when each daemon was last listed
grew = [0.0 for _ in roots]  # when the files of each daemon last grew
rows = []
def scan(d):
    now = time.time()
    base = os.path.join(roots[d], "logs", "accesslog")
    try:
        months = sorted(os.listdir(base))
    except FileNotFoundError:
        months = []
    for m in months:
        try:
            names = sorted(os.listdir(os.path.join(base, m)))
        except (FileNotFoundError, NotADirectoryError):
            continue
        for n in names:
            p = os.path.join(base, m, n)
            if n.endswith(".csv") and p not in files[d]:
                files[d][p] = Source(d, os.open(p, os.O_RDONLY), listed[d])
    listed[d] = now
def read_new(source):
    data = b""
    while True:
        chunk = os.read(source.fd, 1 << 20)
        data += chunk
        if len(chunk) < 1 << 20:  # the end of the file as it is now
            return data
for d in range(len(roots)):
    scan(d)
open(out + ".ready", "w").close()
cpu0 = time.process_time()
deadline = time.monotonic() + 600
prev_start = time.time()
gap = 0.0
polls = 0
while not stop and len(rows) < total and time.monotonic() < deadline:
    start = time.time()
    got = []
    for d in range(len(roots)):
        n = 0
        for source in files[d].values():
            data = read_new(source)
            got.append((source, data))
            n += len(data)
        if not n and (not files[d] or start - grew[d] < 0.05 or
                      start - listed[d] > 0.05):
            known = set(files[d])
            scan(d)
            for p in set(files[d]) - known:
                source = files[d][p]
                data = read_new(source)
                got.append((source, data))
                n += len(data)
        if n:
            grew[d] = start
    end = time.time()
    polls += 1
    gap = max(gap, end - prev_start)
    for source, data in got:
        after = prev_start if source.since is None else source.since
        source.since = None
        if not data:
            continue
        data = source.rest + data
        cut = data.rfind(b"\n") + 1
        source.rest = data[cut:]
        for m in pat.finditer(data, 0, cut):
            rows.append((source.d, int(m.group(1)), end, after))
    prev_start = start
    time.sleep(0.001)
with open(out, "w") as f:
    for r in rows:
        f.write("%d %d %.6f %.6f\n" % r)
    f.write("# %.3f %.3f %d\n" % (gap * 1e3, time.process_time() - cpu0, polls))
'

# The figures of one run: argv RECEIVED SAMPLES RECORDS PID...; one line of
# key=value pairs.
analyse_py='
import re, sys
from datetime import datetime
received, samples, records, pids = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4:]
index = {p: d for d, p in enumerate(pids)}
pat = re.compile(r"report_(\d+)\.txt")
got = {}
dups = 0
with open(received, errors="replace") as f:
    for line in f:
        parts = line.split(" ", 7)
        if len(parts) < 8 or parts[6] != "access" or parts[5] not in index:
            continue
        m = pat.search(parts[7])
        if not m:
            continue
        key = (index[parts[5]], int(m.group(1)))
        if key in got:
            dups += 1
            continue
        got[key] = datetime.fromisoformat(parts[0]).timestamp()
seen = {}
gap_ms = cpu = polls = 0
with open(samples) as f:
    for line in f:
        if line.startswith("#"):
            gap_ms, cpu, polls = line.split()[1:4]
            continue
        d, i, end, start = line.split()
        seen.setdefault((int(d), int(i)), (float(end), float(start)))
counts = [0] * len(pids)
for d, _ in got:
    counts[d] += 1
lags, bounds = [], []
worst = [0.0] * len(pids)
for key, t in got.items():
    if key in seen:
        lags.append(t - seen[key][0])
        bounds.append(t - seen[key][1])
        worst[key[0]] = max(worst[key[0]], lags[-1])
lags.sort()
times = sorted(got.values())
span = times[-1] - times[0] if len(times) > 1 else 0
def q(p):
    return lags[min(len(lags) - 1, int(p * len(lags)))] * 1e3 if lags else float("nan")
short = ["d%d:%d" % (d, c) for d, c in enumerate(counts) if c != records]
print("rows=%d collector_rate=%.1f lag_max_ms=%.1f lag_p99_ms=%.1f "
      "lag_p50_ms=%.1f lag_bound_ms=%.1f matched=%d sampled=%d dups=%d "
      "gap_ms=%s sampler_cpu_s=%s polls=%s lag_max_by_daemon_ms=%s "
      "arrived=%s" % (
      len(got), len(got) / span if span > 0 else 0, q(1.0), q(0.99), q(0.5),
      max(bounds) * 1e3 if bounds else float("nan"), len(lags), len(seen),
      dups, gap_ms, cpu, polls, ",".join("%.0f" % (w * 1e3) for w in worst),
      "all" if not short else "short:" + ",".join(short)))
'

field_or() { local v; v=$(field "$1" "$2"); echo "${v:-$3}"; }

declare -a table cpu_notes fwd_notes
# run_mode MODE: one fan-in run; appends a line to table.
run_mode() {
  local mode=$1 d roots=() pids=() root line
  echo "== $mode: $daemons daemons x $records records" >&2
  if ! start_collector "$mode"; then
    table+=("$(printf '%-5s %7s %8s %12s %12s %11s  %s' "$mode" "$daemons" - - - - "collector did not start")")
    return 0
  fi
  local conf
  conf=$(forward_conf "$mode")
  for d in $(seq 1 "$daemons"); do
    bench_tree root
    bench_config "$root"
    sed -i "s|</config>|$conf</config>|" "$root/mnt/data/xmlconf/config-quillo.xml"
    bench_start_daemon "$root"
    roots+=("$root")
    pids+=("$daemon_pid")
  done

  # Warm-up: every daemon's connection to the collector up (and, for tls,
  # its handshake done) before anything is timed.
  local gens=()
  for d in "${!roots[@]}"; do
    "$gen" -n "$warmup" -c 1 -k system -s "${roots[$d]}/tmp/quillo" >/dev/null &
    gens+=("$!")
  done
  for d in "${gens[@]}"; do wait "$d" || true; done
  local want=$((daemons * warmup)) have=0
  for _ in $(seq 1 300); do
    have=$(lines_of "$col/received.log")
    [ "$have" -ge "$want" ] && break
    sleep 0.1
  done
  if [ "$have" -lt "$want" ]; then
    echo "  warm-up: $have of $want rows reached the collector in 30 s; skipping $mode" >&2
    tail -n 5 "$col/internal.log" 2>/dev/null >&2 || true
    table+=("$(printf '%-5s %7s %8s %12s %12s %11s  %s' "$mode" "$daemons" "$have" - - - "warm-up rows did not arrive")")
    for d in "${pids[@]}"; do stop_pid "$d"; done
    stop_pid "$col_pid"
    return 0
  fi
  local base
  base=$(lines_of "$col/received.log")

  local samples=$col/samples
  "${sampler_prio[@]}" python3 -c "$sampler_py" "$samples" \
    "$((daemons * records))" "${roots[@]}" &
  local sampler_pid=$!
  bench_pids+=("$sampler_pid")
  for _ in $(seq 1 200); do [ -e "$samples.ready" ] && break; sleep 0.05; done

  local cpu_d0 cpu_r0 mach0 kids0 t0 t1
  cpu_d0=$(cpu_ticks "${pids[@]}")
  cpu_r0=$(cpu_ticks "$col_pid")
  mach0=$(machine_ticks)
  times >"$col/times0"
  kids0=$(children_seconds "$col/times0")
  t0=$EPOCHREALTIME
  gens=()
  for d in "${!roots[@]}"; do
    "$gen" -n "$records" -c 1 -s "${roots[$d]}/tmp/quillo" >"$col/gen$d" &
    gens+=("$!")
  done
  for d in "${gens[@]}"; do wait "$d" || true; done
  t1=$EPOCHREALTIME
  local kids1 errors=0
  times >"$col/times1"
  kids1=$(children_seconds "$col/times1")
  for d in "${!roots[@]}"; do
    line=$(cat "$col/gen$d")
    printf '  gen %d: %s\n' "$d" "$line" >&2
    errors=$((errors + $(field_or errors "$line" 1)))
  done

  # Until every row is at the collector (bounded: 120 s after the load).
  want=$((base + daemons * records))
  for _ in $(seq 1 1200); do
    have=$(lines_of "$col/received.log")
    [ "$have" -ge "$want" ] && break
    sleep 0.1
  done
  local cpu_d1 cpu_r1 mach1 t2
  t2=$EPOCHREALTIME
  cpu_d1=$(cpu_ticks "${pids[@]}")
  cpu_r1=$(cpu_ticks "$col_pid")
  mach1=$(machine_ticks)
  [ "$have" -ge "$want" ] || echo "  collector: $((have - base)) of $((want - base)) rows after 120 s" >&2
  for _ in $(seq 1 100); do kill -0 "$sampler_pid" 2>/dev/null || break; sleep 0.1; done
  stop_pid "$sampler_pid"

  local res answer
  res=$(python3 -c "$analyse_py" "$col/received.log" "$samples" "$records" "${pids[@]}")
  echo "  $res" >&2
  answer=$(awk -v n="$((daemons * records))" -v a="$t0" -v b="$t1" 'BEGIN { printf "%.0f", n / (b - a) }')
  local cpu
  cpu=$(awk -v a="$t0" -v b="$t2" -v d0="$cpu_d0" -v d1="$cpu_d1" -v r0="$cpu_r0" \
      -v r1="$cpu_r1" -v k0="$kids0" -v k1="$kids1" -v tck="$tck" \
      -v m0="$mach0" -v m1="$mach1" -v s="$(field sampler_cpu_s "$res")" \
      -v cores="$cores" -v t1="$t1" 'BEGIN {
    w = b - a; split(m0, x, " "); split(m1, y, " ")
    q = (d1 - d0) / tck / w * 100; g = (k1 - k0) / (t1 - a) * 100
    r = (r1 - r0) / tck / w * 100; p = s / w * 100
    busy = (y[1] - x[1]) / (y[2] - x[2]) * cores * 100
    printf "quillods %.0f%%, load generators %.0f%%, rsyslogd %.0f%%, sampler %.0f%%, anything else %.0f%%; machine busy %.0f%% of %d%% (over %.1f s: load %.1f s, then until the last row arrived)",
      q, g, r, p, busy - q - g * (t1 - a) / w - r - p, busy, cores * 100, w, t1 - a }')
  echo "  CPU: $cpu" >&2
  cpu_notes+=("$(printf '%-5s %s' "$mode" "$cpu")")
  # Whether the senders waited on the collector's acknowledgements: the
  # daemons' forwarding counters, summed.
  local r
  for d in "${pids[@]}"; do kill -USR1 "$d"; done
  sleep 0.5
  local fwd
  fwd=$(for r in "${roots[@]}"; do cat "$r/mnt/data/conf/quillo/quillod.stats"; done |
    awk '$1 ~ /^forward_(window_waits|rows_resent|reconnects|tls_failures)$/ { sum[$1] += $2 }
      END { printf "window waits %d, rows resent %d, reconnects %d, TLS failures %d",
        sum["forward_window_waits"], sum["forward_rows_resent"],
        sum["forward_reconnects"], sum["forward_tls_failures"] }')
  echo "  forwarders: $fwd" >&2
  fwd_notes+=("$(printf '%-5s %s' "$mode" "$fwd")")
  local arrived
  arrived=$(field arrived "$res")
  [ "$errors" = 0 ] || arrived="$arrived; $errors load errors"
  table+=("$(printf '%-5s %7s %8s %12.0f %12s %11s  %s' "$mode" "$daemons" \
    "$(field rows "$res")" "$(field collector_rate "$res")" "$answer" \
    "$(field lag_max_ms "$res")/$(field lag_p99_ms "$res")" \
    "$arrived (lag bound $(field lag_bound_ms "$res") ms, sampler gap <= $(field gap_ms "$res") ms)")")

  for d in "${pids[@]}"; do stop_pid "$d"; done
  stop_pid "$col_pid"
}

case " $modes " in *" tls "*) make_pki ;; esac
# Anything else running disturbs every figure here: say how busy the
# machine was just before.
idle0=$(machine_ticks)
sleep 1
idle1=$(machine_ticks)
echo "fan-in: $daemons daemons, $records records each, modes: $modes; $cores cores," \
  "$(awk -v a="$idle0" -v b="$idle1" -v c="$cores" 'BEGIN { split(a, x, " "); split(b, y, " ")
     printf "%.0f%% of %d%% busy in the second before", (y[1] - x[1]) / (y[2] - x[2]) * c * 100, c * 100 }')"
for mode in $modes; do run_mode "$mode"; done

echo
echo "mode  daemons     rows  collector/s     answer/s  lag max/p99 ms  every row arrived"
for line in "${table[@]}"; do echo "$line"; done
if [ "${#fwd_notes[@]}" -gt 0 ]; then
  echo
  echo "The daemons' forwarding counters, summed:"
  for line in "${fwd_notes[@]}"; do echo "$line"; done
fi
if [ "${#cpu_notes[@]}" -gt 0 ]; then
  echo
  echo "CPU per cent of one core ($cores cores = $((cores * 100))%; daemons, generators, collector and sampler share them):"
  for line in "${cpu_notes[@]}"; do echo "$line"; done
fi
