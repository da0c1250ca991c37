#!/usr/bin/env bash
# Samba audit lines per second, end to end, with the real programs: one
# smbclient session puts FILES small files, gets them and deletes them,
# and the full_audit lines of smbd go
#
#   quillo   smbd -> rsyslogd (examples/samba/rsyslog-quillo.conf)
#            -> quillo-send --stream --confirm --transactions -> quillod's
#            access log,
#   plain    smbd -> rsyslogd (the same fragment without the quillo-send
#            action: the raw lines to a file only).
#
# Both run in one mount, network and PID namespace (as tests/samba_e2e.sh
# sets it up) against one smbd and one quillod; rsyslogd is started afresh
# for each measurement. The two alternate within each run. A measurement
# lasts from the start of the smbclient session until the last line is at
# its destination: for quillo, when the access log holds a row for each
# line of the raw audit file the fragment also writes (timed by the last
# write of the access log), for plain, when the audit file stops growing
# (timed by its last write). Prints per measurement: audit lines, seconds,
# lines/s, smbclient's own time for the session, and the CPU seconds that
# smbd, rsyslogd, quillo-send and quillod used meanwhile; then the medians
# and quillo/plain.
#
#   bench/samba.sh              builds as bench_env.sh says (BUILD_DIR,
#                               NO_BUILD)
#   bench/samba.sh BUILD_DIR    uses the programs already built there
#
#   FILES (1500) files per session, RUNS (3) runs of both.
#
# Needs root, unshare, smbd (with full_audit), smbclient and rsyslogd (with
# omprog); otherwise prints "SKIP: reason" and exits 77.
set -euo pipefail

bench_dir="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"

if [ "${1:-}" != "--inside" ]; then
  if [ $# -ge 1 ]; then
    BUILD_DIR="$(cd "$1" && pwd)"
    NO_BUILD=1
  fi
  source "$bench_dir/bench_env.sh"
  source "$bench_dir/../tests/samba_env.sh"
  files=${FILES:-1500}
  runs=${RUNS:-3}
  samba_preflight
  bench_build quillod quillo-send
  { [ -x "$build/daemon/quillod" ] && [ -x "$build/client/quillo-send" ]; } ||
    fail "quillod or quillo-send not built in $build"

  bench_tree root
  bench_config "$root"
  work="$(mktemp -d "${TMPDIR:-/tmp}/quillo-bench-samba.XXXXXX")"
  bench_dirs+=("$work")
  # smbd serves the share from in here as the test user.
  chmod 755 "$work"
  set +e
  # --kill-child: should this script be killed, everything inside goes too.
  unshare --mount --net --pid --fork --kill-child --mount-proc -- \
    bash "${BASH_SOURCE[0]}" --inside "$build" "$root" "$work" "$files" "$runs"
  status=$?
  set -e
  if [ $status -ne 0 ] && [ $status -ne 77 ]; then
    for f in "$work"/quillod.err "$work"/smbd.out "$work"/*/smbclient.out \
             "$work"/*/quillo-send.log "$work"/*/internal.log; do
      [ -s "$f" ] || continue
      echo "---- ${f#"$work"/} (last lines)" >&2
      tail -n 5 "$f" >&2
    done
  fi
  exit $status
fi

# ---------------------------------------------------------------- inside
source "$bench_dir/../tests/samba_env.sh"
build="$2"
root="$3"
W="$4"
files="$5"
runs="$6"
share=docs
logroot="$root/logs"  # bench_config's log root

samba_private_system "$W"
samba_start_smbd "$W" "$share" "$W/share/$share"
export QUILLO_ROOT="$root"
"$build/daemon/quillod" >"$W/quillod.out" 2>"$W/quillod.err" &
quillod_pid=$!
wait_for "quillod's socket" test -S "$root/tmp/quillo"

now_us() { echo "${EPOCHREALTIME/./}"; }
hz=$(getconf CLK_TCK)

# The session: FILES puts of one small file, then FILES gets, FILES deletes.
head -c 200 /dev/urandom | base64 >"$W/small.txt"
workload() {
  local n=$1 i
  for ((i = 1; i <= n; i++)); do echo "put $W/small.txt f$i.txt"; done
  for ((i = 1; i <= n; i++)); do echo "get f$i.txt $W/got.txt"; done
  for ((i = 1; i <= n; i++)); do echo "del f$i.txt"; done
}

# Rows in the access log, all files (none before the first row).
access_rows() {
  { find "$logroot/accesslog" -name 'access_*.csv' -exec cat {} + 2>/dev/null ||
      true; } | wc -l
}
lines_of() { if [ -e "$1" ]; then wc -l <"$1"; else echo 0; fi; }
# last_write_us DIR NAME: microseconds since the epoch of the newest write
# to a file NAME (a pattern) in DIR.
last_write_us() {
  find "$1" -type f -name "$2" -printf '%T@\n' 2>/dev/null | sort -g | tail -n 1 |
    awk '{ printf "%.0f", $1 * 1e6 }'
}

# CPU ticks so far of smbd (with its children, one per session), quillod,
# rsyslogd (alone) and the programs rsyslogd runs (quillo-send), from
# /proc/PID/stat: utime + stime, plus cutime + cstime for children that
# are gone. Prints "smbd quillod rsyslogd quillo-send".
cpu_ticks() {
  # (A process may end between the listing and the reading.)
  { cat /proc/[0-9]*/stat 2>/dev/null || true; } | awk -v smbd="$smbd_pid" \
    -v quillod="$quillod_pid" -v rsyslogd="$rsyslogd_pid" '
    {
      # The name (field 2) is in parentheses and may hold anything.
      for (c = length($0); c > 0 && substr($0, c, 1) != ")"; c--) ;
      pid = $0 + 0
      split(substr($0, c + 2), f, " ")
      parent[pid] = f[2]; own[pid] = f[12] + f[13]; gone[pid] = f[14] + f[15]
    }
    function under(p, top) {  # p is top or one of its descendants
      while (p > 1 && p != top) p = parent[p]
      return p == top
    }
    function tree(top,   p, sum) {
      for (p in parent) if (under(p + 0, top)) sum += own[p] + gone[p]
      return sum
    }
    END {
      r = tree(rsyslogd)
      printf "%d %d %d %d\n", tree(smbd), tree(quillod), own[rsyslogd],
        r - own[rsyslogd]
    }'
}

# measure MODE N DIR: one session of N files with rsyslogd set up for MODE
# (quillo or plain), its files in DIR. Prints the audit lines, the
# seconds until the last was at its destination, smbclient's elapsed and
# CPU seconds, and the CPU seconds of smbd, rsyslogd, quillo-send and
# quillod.
measure() {
  local mode=$1 n=$2 dir=$3
  local audit="$dir/samba-audit.log" rows0 start client_end end
  local cpu0 cpu1 stat client_ticks lines rows last=-1 steady=0 tries=600
  mkdir -p "$dir"
  samba_quillo_fragment "$build" "$audit" "$dir/quillo-send.log" >"$dir/fragment.conf"
  if [ "$mode" = plain ]; then
    # What is run without quillo: the fragment less the quillo-send action.
    awk '/^module\(load="omprog"\)/ { next }
         /action\(type="omprog"/ { skipping = 1 }
         skipping { if (!/^[[:space:]]*#/ && /\)[[:space:]]*$/) skipping = 0; next }
         { print }' "$dir/fragment.conf" >"$dir/plain.conf"
    mv "$dir/plain.conf" "$dir/fragment.conf"
    ! grep -v '^[[:space:]]*#' "$dir/fragment.conf" | grep -q omprog ||
      fail "could not take the quillo-send action out of the rsyslog example"
  fi
  grep -q "file=\"$audit\"" "$dir/fragment.conf" ||
    fail "the rsyslog example writes no raw audit file"
  workload "$n" >"$dir/workload.txt"
  # A new share folder each time: a folder that once held many names can
  # stay large (ext4 does not shrink folders), and Samba reads through it
  # for each name it does not find, so the later sessions would be slower.
  rm -rf "$W/share/$share"
  mkdir "$W/share/$share"
  chown "$samba_user:$samba_user" "$W/share/$share"
  samba_start_rsyslogd "$dir" "$dir/fragment.conf"

  rows0=$(access_rows)
  cpu0=$(cpu_ticks)
  start=$(now_us)
  (
    timeout 300 smbclient -s "$samba_conf" -n QCLIENT "//127.0.0.1/$share" \
      -U "$samba_user%$samba_password" <"$dir/workload.txt" \
      >"$dir/smbclient.out" 2>&1 || exit 1
    # This shell's children are done: their CPU is in cutime and cstime.
    read -r stat </proc/$BASHPID/stat
    echo "${stat##*)}" | awk '{ print $14 + $15 }' >"$dir/client.ticks"
  ) || fail "smbclient failed (see $dir/smbclient.out)"
  client_end=$(now_us)
  ! grep -q NT_STATUS "$dir/smbclient.out" ||
    fail "smbclient: $(grep -m 1 NT_STATUS "$dir/smbclient.out")"

  # All lines are sent; wait until the file has stopped growing (0.6 s)
  # and, for quillo, the access log has caught up.
  while :; do
    lines=$(lines_of "$audit")
    rows=$(($(access_rows) - rows0))
    if [ "$lines" -gt 0 ] && [ "$lines" -eq "$last" ] &&
       { [ "$mode" = plain ] || [ "$rows" -ge "$lines" ]; }; then
      steady=$((steady + 1))
      [ $steady -lt 3 ] || break
    else
      steady=0
    fi
    last=$lines
    tries=$((tries - 1))
    [ $tries -gt 0 ] || fail "$mode: $lines audit lines, $rows access rows after 120 s"
    sleep 0.2
  done
  if [ "$mode" = quillo ]; then
    [ "$rows" -eq "$lines" ] ||
      echo "warning: $rows access rows for $lines audit lines" >&2
    end=$(last_write_us "$logroot/accesslog" 'access_*.csv')
  else
    [ "$rows" -eq 0 ] || echo "warning: $rows access rows without quillo" >&2
    end=$(last_write_us "$dir" samba-audit.log)
  fi
  cpu1=$(cpu_ticks)
  [ ! -s "$dir/quillo-send.log" ] ||
    echo "warning: quillo-send said: $(head -n 1 "$dir/quillo-send.log")" >&2
  samba_stop_rsyslogd

  client_ticks=$(cat "$dir/client.ticks")
  awk -v l="$lines" -v s="$start" -v ce="$client_end" -v e="$end" \
    -v a="$cpu0" -v b="$cpu1" -v hz="$hz" -v ct="$client_ticks" 'BEGIN {
      split(a, x, " "); split(b, y, " ")
      printf "%d %.3f %.3f %.2f", l, (e - s) / 1e6, (ce - s) / 1e6, ct / hz
      # smbd, rsyslogd, quillo-send, quillod
      printf " %.2f %.2f %.2f %.2f\n", (y[1] - x[1]) / hz,
        (y[3] - x[3]) / hz, (y[4] - x[4]) / hz, (y[2] - x[2]) / hz }'
}

# Warm-up: the first session, quillod's first rows and open files.
measure quillo 20 "$W/warm-up" >/dev/null

results="$W/results.txt"
for ((run = 1; run <= runs; run++)); do
  if ((run % 2)); then order="quillo plain"; else order="plain quillo"; fi
  for mode in $order; do
    figures=$(measure "$mode" "$files" "$W/run$run-$mode")
    echo "$run $mode $figures" >>"$results"
  done
done

echo "smbclient session: $files puts, $files gets, $files deletes of a small file; runs: $runs"
awk '
  function median(v, n,   i, j, t) {
    for (i = 2; i <= n; i++)
      for (j = i; j > 1 && v[j - 1] > v[j]; j--) { t = v[j]; v[j] = v[j - 1]; v[j - 1] = t }
    return n % 2 ? v[(n + 1) / 2] : (v[n / 2] + v[n / 2 + 1]) / 2
  }
  function row(label, mode, l, s, c, cc, sm, rs, qs, qd) {
    printf "%-8s %-7s %6d %8.2f %8.0f %9.2f %9.2f   %6.2f %8.2f %11.2f %7.2f\n",
      label, mode, l, s, l / s, c, cc, sm, rs, qs, qd
  }
  BEGIN {
    printf "%-8s %-7s %6s %8s %8s %9s %9s   %s\n", "run", "path", "audit", "", "",
      "smbclient", "smbclient", "CPU seconds during the run"
    printf "%-8s %-7s %6s %8s %8s %9s %9s   %6s %8s %11s %7s\n", "", "", "lines",
      "seconds", "lines/s", "elapsed", "CPU", "smbd", "rsyslogd", "quillo-send", "quillod"
  }
  {
    row($1, $2, $3, $4, $5, $6, $7, $8, $9, $10)
    k = $2; n[k]++
    for (i = 3; i <= 10; i++) col[k, i, n[k]] = $i
    rate[k, n[k]] = $3 / $4
  }
  END {
    for (m = 1; m <= 2; m++) {
      k = m == 1 ? "quillo" : "plain"
      for (i = 3; i <= 10; i++) {
        for (r = 1; r <= n[k]; r++) v[r] = col[k, i, r]
        med[k, i] = median(v, n[k])
      }
      # lines/s: the median of the rates, not lines over seconds of medians
      for (r = 1; r <= n[k]; r++) v[r] = rate[k, r]
      medrate[k] = median(v, n[k])
      printf "%-8s %-7s %6d %8.2f %8.0f %9.2f %9.2f   %6.2f %8.2f %11.2f %7.2f\n",
        "median", k, med[k, 3], med[k, 4], medrate[k], med[k, 5], med[k, 6],
        med[k, 7], med[k, 8], med[k, 9], med[k, 10]
    }
    printf "quillo/plain lines/s: %.3f (runs:", medrate["quillo"] / medrate["plain"]
    for (r = 1; r <= n["quillo"] && r <= n["plain"]; r++)
      printf " %.3f", rate["quillo", r] / rate["plain", r]
    printf ")\n"
  }' "$results"
