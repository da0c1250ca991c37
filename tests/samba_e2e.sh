#!/usr/bin/env bash
# Samba -> rsyslog -> quillo-send -> quillod, with the real programs.
#
#   samba_e2e.sh BUILD_DIR chain|restart
#
# Runs smbd (with the share section of examples/samba/smb-share.conf),
# a private rsyslogd (with examples/samba/rsyslog-quillo.conf) and
# quillod inside a private mount, network and PID namespace: the test
# user exists only there, /dev is a private tmpfs (so rsyslogd's /dev/log
# is its own), Samba's and rsyslog's folders are private and the network
# is the namespace's own loopback. Everything started dies with the
# namespace; the work folder is removed afterwards.
#
#   chain    a client session of puts, gets, mkdir, rename, deletes, an
#            awkward name and a failing read: the access log holds one
#            row per audit line, in order, the alert log the deletes.
#   restart  quillod is stopped and started again while a client keeps
#            working: every audit line is logged exactly once.
#
# Needs root, unshare, smbd (with full_audit), smbclient, rsyslogd (with
# omprog) and python3; otherwise prints "SKIP: reason" and exits 77.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
src="$(dirname "$here")"
# skip, fail, wait_for and the samba_* set-up.
source "$here/samba_env.sh"

if [ "${1:-}" != "--inside" ]; then
  [ $# -eq 2 ] || { echo "usage: $0 BUILD_DIR chain|restart" >&2; exit 2; }
  build="$(cd "$1" && pwd)"
  scenario="$2"
  case "$scenario" in chain | restart) ;; *) echo "unknown scenario $scenario" >&2; exit 2 ;; esac
  { [ -x "$build/daemon/quillod" ] && [ -x "$build/client/quillo-send" ]; } ||
    fail "quillod or quillo-send not built in $build"
  samba_preflight
  # The alert's notice goes through the appliance's Python scripts.
  command -v python3 >/dev/null || skip "python3 not installed"

  work="$(mktemp -d /tmp/samba-e2e.XXXXXX)"
  # SAMBA_E2E_KEEP=1 keeps the work folder for a look afterwards.
  if [ "${SAMBA_E2E_KEEP:-0}" = 1 ]; then
    echo "work folder: $work"
  else
    trap 'rm -rf "$work"' EXIT
  fi
  chmod 755 "$work"
  start=$SECONDS
  set +e
  # --kill-child: should this script be killed (a test timeout), the
  # namespace's first process and with it everything inside goes too.
  unshare --mount --net --pid --fork --kill-child --mount-proc -- \
    bash "${BASH_SOURCE[0]}" --inside "$build" "$scenario" "$work"
  status=$?
  set -e
  if [ $status -ne 0 ] && [ $status -ne 77 ]; then
    # What the programs said, for the test log.
    for f in quillod.err quillo-send.log rsyslog/internal.log smbd.out \
             samba-audit.log smbclient.out; do
      [ -s "$work/$f" ] || continue
      echo "---- $f (last lines)" >&2
      tail -n 40 "$work/$f" >&2
    done
  fi
  echo "scenario $scenario: $((SECONDS - start)) s, status $status"
  exit $status
fi

# ---------------------------------------------------------------- inside
build="$2"
scenario="$3"
W="$4"

samba_private_system "$W"
user=$samba_user
password=$samba_password
share=docs

# ---- quillod's tree
R="$W/root"
logroot="$W/logs"
mkdir -p "$R/tmp" "$R/mnt/data/xmlconf" "$R/mnt/data/conf/quillo" \
  "$R/mnt/data/bin" "$R/var/lock" "$logroot"
cp "$src"/examples/appliance/mnt/data/bin/*.py "$R/mnt/data/bin/"
chmod 755 "$R"/mnt/data/bin/*.py
cp "$src/examples/appliance/mnt/data/xmlconf/config-notice.xml" \
  "$R/mnt/data/xmlconf/"
cat >"$R/mnt/data/xmlconf/config-quillo.xml" <<EOF
<?xml version="1.0" encoding="UTF-8"?>
<config>
  <share><path>$logroot</path></share>
  <eventlogconf enable="true"><autodelete enable="false"><expire><days>30</days><percent>5</percent></expire></autodelete></eventlogconf>
  <accesslogconf enable="true"><sharelist all="true"/><autodelete enable="false"><expire><days>30</days><percent>5</percent></expire></autodelete></accesslogconf>
  <alertlist>
    <alert>
      <name>deletes</name>
      <usernamelist all="true"/>
      <sharename>$share</sharename>
      <period><weekdays sun="true" mon="true" tue="true" wed="true" thu="true" fri="true" sat="true"/></period>
      <operationlist><operation type="delete" enable="true"/></operationlist>
    </alert>
  </alertlist>
</config>
EOF
# Inherited by quillod and, through rsyslogd and omprog, by quillo-send.
export QUILLO_ROOT="$R"
export QUILLO_ALERT_QUIET=1

quillod_pid=
start_quillod() {
  "$build/daemon/quillod" >>"$W/quillod.out" 2>>"$W/quillod.err" &
  quillod_pid=$!
  wait_for "quillod's socket" test -S "$R/tmp/quillo"
}
stop_quillod() {
  kill "$quillod_pid"
  wait "$quillod_pid" 2>/dev/null || true
  quillod_pid=
}

# ---- rsyslogd with the example rule
mkdir -p "$W/rsyslog"
samba_quillo_fragment "$build" "$W/samba-audit.log" "$W/quillo-send.log" |
  sed -e 's|action.resumeInterval="5"|action.resumeInterval="1"|' \
    >"$W/rsyslog/quillo.conf"
grep -q "$build/client/quillo-send --stream" "$W/rsyslog/quillo.conf" ||
  fail "the rsyslog example has no quillo-send action to adapt"
samba_start_rsyslogd "$W/rsyslog" "$W/rsyslog/quillo.conf"

# ---- smbd with the example share
samba_start_smbd "$W" "$share" "$W/share/$share"
conf=$samba_conf

start_quillod

# The client's NetBIOS name, Samba's %m.
client_name=QCLIENT
smb() {
  timeout 30 smbclient -s "$conf" -n "$client_name" "//127.0.0.1/$share" \
    -U "$user%$password" \
    -c "$1" >>"$W/smbclient.out" 2>&1
}

# ---- reading the results
# The access log's rows without BOM and CR, in file order.
access_rows() {
  local f
  for f in $(find "$logroot/accesslog" -name 'access_*.csv' 2>/dev/null | sort); do
    sed -e '1s/^\xEF\xBB\xBF//' -e 's/\r$//' "$f"
  done
}
alert_rows() {
  local f
  for f in $(find "$logroot/alertlog" -type f 2>/dev/null | sort); do
    sed -e '1s/^\xEF\xBB\xBF//' -e 's/\r$//' "$f"
  done
}
# Rows without their time stamp: user,host,ip,operation,result,share,path.
access_fields() { access_rows | cut -d, -f2-; }
# True when the access (alert) log holds at least $1 rows.
access_has() { [ "$(access_rows | wc -l)" -ge "$1" ]; }
alert_has() { [ "$(alert_rows | wc -l)" -ge "$1" ]; }
audit_count() { grep -c 'smbd_audit:' "$W/samba-audit.log" 2>/dev/null || true; }

# What each raw audit line must become, worked out here from Samba's line:
# the lowercased user, machine, address, the operation (openat r|/w| ->
# open_read/open_write, unlinkat -> delete, renameat -> rename "OLD ->
# NEW", mkdirat -> mkdir), the result text, the share and the path
# relative to the share's folder (the folder itself: the share's name).
expected_fields() {
  sed -e 's/^.*smbd_audit: *//' "$W/samba-audit.log" | awk '
    function rel(p, root, share) {
      while (length(p) > 1 && substr(p, length(p)) == "/") p = substr(p, 1, length(p) - 1)
      if (p == root) return share
      if (index(p, root "/") == 1) return substr(p, length(root) + 2)
      return p
    }
    {
      n = split($0, f, "|")
      user = tolower(f[1]); machine = f[2]; ip = f[3]; share = f[4]
      root = f[5]; op = f[6]; result = f[7]
      args = ""
      for (i = 8; i <= n; i++) args = args (i > 8 ? "|" : "") f[i]
      if (op == "openat" || op == "open") {
        mode = substr(args, 1, 2)
        op = (mode == "w|") ? "open_write" : "open_read"
        path = rel(substr(args, 3), root, share)
      } else if (op == "unlinkat") { op = "delete"; path = rel(args, root, share)
      } else if (op == "mkdirat") { op = "mkdir"; path = rel(args, root, share)
      } else if (op == "renameat") {
        at = index(args, "|" root "/")
        path = rel(substr(args, 1, at - 1), root, share) " -> " \
               rel(substr(args, at + 1), root, share)
        op = "rename"
      } else { op = "UNEXPECTED:" op; path = args }
      print user "," machine "," ip "," op "," result "," share "," path
    }'
}

# Waits until the audit lines have stopped coming (the same count for a
# second) and the access log holds as many rows as there are audit lines.
settle() {
  local last=-1 steady=0 now rows tries=$((bound * 2))
  while :; do
    now=$(audit_count)
    rows=$(access_rows | wc -l)
    if [ "$now" = "$last" ]; then steady=$((steady + 1)); else steady=0; fi
    if [ "$now" -gt 0 ] && [ $steady -ge 2 ] && [ "$rows" -ge "$now" ]; then
      return 0
    fi
    last=$now
    tries=$((tries - 1))
    [ $tries -gt 0 ] || fail "audit lines: $now, access rows: $rows after ${bound} s"
    sleep 0.5
  done
}

# The main check: the access log is exactly what the audit lines say,
# one row each, in the same order.
check_one_row_per_audit_line() {
  expected_fields >"$W/expected.txt"
  access_fields >"$W/actual.txt"
  if ! diff -u "$W/expected.txt" "$W/actual.txt" >"$W/rows.diff"; then
    cat "$W/rows.diff" >&2
    fail "the access log does not match the audit lines one to one"
  fi
  ! grep -q 'UNEXPECTED:' "$W/expected.txt" ||
    fail "Samba audited an operation the share section does not ask for"
}

# True when the lines of file $2 appear in file $1 in that order (with
# anything between them).
in_order() {
  awk 'NR == FNR { want[++n] = $0; next }
       k < n && $0 == want[k + 1] { k++ }
       END { exit !(k == n) }' "$2" "$1"
}

printf 'quillo test file\n' >"$W/local.txt"
mkdir -p "$W/got"

case "$scenario" in
chain)
  odd='q3 report, é.txt'
  smb "put $W/local.txt a.txt; get a.txt $W/got/a.txt; mkdir sub; rename a.txt sub/b.txt; put $W/local.txt \"$odd\"; get \"$odd\" $W/got/odd.txt; del sub/b.txt; del \"$odd\"; rmdir sub" ||
    fail "smbclient session failed (see smbclient.out)"
  # Fails: the file is not there.
  smb "get missing.txt $W/got/missing.txt" || true
  grep -q 'NT_STATUS_OBJECT_NAME_NOT_FOUND opening remote file .missing.txt' \
    "$W/smbclient.out" || fail "the read of a missing file did not fail"
  cmp -s "$W/local.txt" "$W/got/odd.txt" || fail "the file did not come back"
  settle
  check_one_row_per_audit_line

  # Samba writes the client's NetBIOS name (%m) in lower case.
  p="$user,$(echo "$client_name" | tr '[:upper:]' '[:lower:]'),127.0.0.1"
  # The client's operations, in the order it made them, among Samba's
  # own probes.
  cat >"$W/wanted.txt" <<EOF
$p,open_write,ok,$share,a.txt
$p,open_read,ok,$share,a.txt
$p,mkdir,ok,$share,sub
$p,rename,ok,$share,a.txt -> sub/b.txt
$p,open_write,ok,$share,$odd
$p,open_read,ok,$share,$odd
$p,delete,ok,$share,sub/b.txt
$p,delete,ok,$share,$odd
$p,delete,ok,$share,sub
$p,open_read,fail (No such file or directory),$share,missing.txt
EOF
  in_order "$W/actual.txt" "$W/wanted.txt" || {
    echo "wanted, in this order:" >&2
    cat "$W/wanted.txt" >&2
    echo "logged:" >&2
    cat "$W/actual.txt" >&2
    fail "the client's operations are not all logged in order"
  }
  ! grep -q 'IPC' "$W/actual.txt" || fail "IPC\$ is in the access log"
  [ "$(cut -d, -f6 "$W/actual.txt" | sort -u)" = "$share" ] ||
    fail "rows of another share"

  # The alert log: exactly the deletes, as the access log wrote them.
  access_rows | awk -F, '$5 == "delete"' >"$W/deletes.txt"
  [ "$(wc -l <"$W/deletes.txt")" -ge 3 ] || fail "fewer than three deletes"
  wait_for "the alert rows" alert_has "$(wc -l <"$W/deletes.txt")"
  alert_rows >"$W/alerts.txt"
  diff -u "$W/deletes.txt" "$W/alerts.txt" >&2 ||
    fail "the alert log is not the deletes of the access log"
  # ... and the notice went out through the appliance's scripts.
  notices="$R/var/log/quillo-notices"
  wait_for "the alert's event-log notice" grep -qs deletes "$notices/eventlog.log"
  ;;

restart)
  rounds=12
  (
    for i in $(seq 1 $rounds); do
      smb "put $W/local.txt r$i.txt" || exit 1
      sleep 0.3
    done
  ) &
  client=$!
  wait_for "the client's first rows" access_has 1
  stop_quillod
  # The client goes on while quillod is away.
  sleep 2
  start_quillod
  wait "$client" || fail "smbclient failed (see smbclient.out)"
  smb "del r1.txt; del r$rounds.txt" || fail "smbclient failed"
  settle
  check_one_row_per_audit_line
  for i in $(seq 1 $rounds); do
    n=$(grep -c ",open_write,ok,$share,r$i.txt\$" "$W/actual.txt" || true)
    [ "$n" -eq 1 ] || fail "r$i.txt: $n open_write rows instead of one"
  done
  # The outage was seen: quillo-send could not hand lines to quillod,
  # and rsyslog offered them again.
  grep -q 'Error: no connection to quillod' "$W/rsyslog/internal.log" ||
    fail "no line was refused while quillod was stopped"
  ;;
esac
echo "PASS: $scenario ($(wc -l <"$W/actual.txt") access rows from $(audit_count) audit lines)"
