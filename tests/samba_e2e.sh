#!/usr/bin/env bash
# Samba -> rsyslog -> quillo-send -> quillod, with the real programs.
#
#   samba_e2e.sh BUILD_DIR chain|restart|deny|contain
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
#            working: every audit line is logged exactly once (the
#            fragment's transactions wait for quillod to come back).
#   deny     examples/samba/quillo-contain.sh, run as quillod runs a
#            response, locks a user out of the share (new connections
#            refused, the open session ended, another user unaffected),
#            refuses names that do not fit an smb.conf list, is
#            idempotent, keeps concurrent runs apart and is undone with
#            its --release.
#   contain  the example conditions, ransomware-rename's response
#            pointed at the work folder: a user renames 2,000 files to
#            .enc in one session; the response locks the user out and
#            ends the session long before half of them are renamed.
#
# Needs root, unshare, smbd (with full_audit), smbclient, rsyslogd (with
# omprog) and python3; otherwise prints "SKIP: reason" and exits 77.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
src="$(dirname "$here")"
# skip, fail, wait_for and the samba_* set-up.
source "$here/samba_env.sh"

if [ "${1:-}" != "--inside" ]; then
  [ $# -eq 2 ] || { echo "usage: $0 BUILD_DIR chain|restart|deny|contain" >&2; exit 2; }
  build="$(cd "$1" && pwd)"
  scenario="$2"
  case "$scenario" in chain | restart | deny | contain) ;; *) echo "unknown scenario $scenario" >&2; exit 2 ;; esac
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
             samba-audit.log smbclient.out contain/contain.log; do
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
# examples/samba/quillo-contain.sh with its files in W/contain and the
# private smbd's smb.conf: what the response of ransomware-rename runs.
contain_script="$W/bin/quillo-contain.sh"
contain_dir="$W/contain"
if [ "$scenario" = contain ]; then
  # The example's conditions as they are, but for the response's path.
  alertlist=$(sed -n '/<alertlist>/,/<\/alertlist>/p' \
    "$src/examples/appliance/mnt/data/xmlconf/config-quillo.xml" |
    sed "s|<script>/mnt/data/bin/quillo-contain.sh</script>|<script>$contain_script</script>|")
  grep -q "<script>$contain_script</script>" <<<"$alertlist" ||
    fail "the example configuration has no quillo-contain.sh response to adapt"
else
  alertlist="  <alertlist>
    <alert>
      <name>deletes</name>
      <usernamelist all=\"true\"/>
      <sharename>$share</sharename>
      <period><weekdays sun=\"true\" mon=\"true\" tue=\"true\" wed=\"true\" thu=\"true\" fri=\"true\" sat=\"true\"/></period>
      <operationlist><operation type=\"delete\" enable=\"true\"/></operationlist>
    </alert>
  </alertlist>"
fi
cat >"$R/mnt/data/xmlconf/config-quillo.xml" <<EOF
<?xml version="1.0" encoding="UTF-8"?>
<config>
  <share><path>$logroot</path></share>
  <eventlogconf enable="true"><autodelete enable="false"><expire><days>30</days><percent>5</percent></expire></autodelete></eventlogconf>
  <accesslogconf enable="true"><sharelist all="true"/><autodelete enable="false"><expire><days>30</days><percent>5</percent></expire></autodelete></accesslogconf>
$alertlist
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
folder="$W/share/$share"

mkdir -p "$W/bin"
cat >"$contain_script" <<EOF
#!/bin/sh
export QUILLO_CONTAIN_DENY_FILE="$samba_deny_file"
export QUILLO_CONTAIN_LOG_DIR="$contain_dir"
export QUILLO_CONTAIN_LOCK="$W/contain.lock"
export QUILLO_CONTAIN_SMB_CONF="$conf"
exec "$src/examples/samba/quillo-contain.sh" "\$@"
EOF
chmod 755 "$contain_script"

start_quillod

# The client's NetBIOS name, Samba's %m.
client_name=QCLIENT
smb() {
  timeout 30 smbclient -s "$conf" -n "$client_name" "//127.0.0.1/$share" \
    -U "$user%$password" \
    -c "$1" >>"$W/smbclient.out" 2>&1
}
# smb_as NAME PASSWORD COMMANDS: a session of any user; its output goes
# to W/smbclient-last.out (and smbclient.out).
smb_as() {
  local status=0
  timeout 30 smbclient -s "$conf" -n "$client_name" "//127.0.0.1/$share" \
    -U "$1%$2" -c "$3" >"$W/smbclient-last.out" 2>&1 || status=$?
  cat "$W/smbclient-last.out" >>"$W/smbclient.out"
  return $status
}
# refused NAME PASSWORD: NAME's new connection to the share is refused at
# the tree connect (Samba's "invalid users"), after a good logon.
refused() {
  ! smb_as "$1" "$2" "ls" &&
    grep -q 'tree connect failed: NT_STATUS_ACCESS_DENIED' "$W/smbclient-last.out"
}

# run_contain ARG...: the containment script as quillod runs a response
# (no shell, a bare environment) for a firing of ransomware-rename by
# the user named by the third argument; standard input as given.
run_contain() {
  env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin QUILLO_ALERT=ransomware-rename \
    QUILLO_PER=user QUILLO_KEY="${3:-}" QUILLO_USER="${3:-}" \
    QUILLO_HOST=qclient QUILLO_IP=127.0.0.1 QUILLO_SHARE="$share" \
    "$contain_script" "$@"
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
# True when the alert log holds exactly $1 rows of renames report-N.docx
# -> report-N.docx.enc.
alert_enc_rows() {
  [ "$(alert_rows | grep -c ",rename,ok,$share,report-[0-9]*\.docx -> report-[0-9]*\.docx\.enc\$")" -eq "$1" ]
}
# fired NAME N: the event log has the entry of a threshold firing of the
# condition NAME with N rows.
fired() {
  grep -Eqs "code=71100010 name=$1 number=$2\$" "$R/var/log/quillo-notices/eventlog.log"
}

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
  # The outage was seen: quillo-send could not hand the lines of a batch
  # to quillod and its commit waited for quillod to come back.
  grep -q 'the transaction waits for quillod' "$W/quillo-send.log" ||
    fail "quillo-send never waited for quillod while it was stopped"
  ;;

deny)
  other=quser2
  other_password='Qu1llo-other'
  samba_add_user "$W" "$other" 4712 "$other_password"
  smb_as "$user" "$password" "ls" || fail "$user cannot use the share at first"
  [ ! -e "$samba_deny_file" ] || fail "the deny file is there before any run"

  # A session of the user that stays open: smbclient reads its commands
  # from a pipe that this script writes, one at a time.
  mkfifo "$W/session.in"
  timeout 60 smbclient -s "$conf" -n "$client_name" "//127.0.0.1/$share" \
    -U "$user%$password" <"$W/session.in" >"$W/session.out" 2>&1 &
  session=$!
  exec 7>"$W/session.in"
  echo "put $W/local.txt before.txt" >&7
  wait_for "the open session's first put" test -e "$folder/before.txt"

  printf '%s\n' "1765290000,$user,qclient,127.0.0.1,rename,ok,$share,a.txt -> a.txt.enc" \
    >"$W/batch.csv"
  run_contain ransomware-rename user "$user" 50 60 <"$W/batch.csv" \
    >"$W/contain.out" 2>&1 || { cat "$W/contain.out" >&2; fail "the containment failed"; }
  grep -q "quillo-contain.sh --release $user" "$W/contain.out" ||
    fail "the containment does not say how to undo it"
  [ "$(run_contain --list)" = "$user" ] || fail "the deny file does not hold just $user"
  grep -q "^invalid users = $user\$" "$samba_deny_file" ||
    fail "the deny file has no invalid users line for $user"
  # What smbd itself makes of the share now.
  testparm -s --section-name="$share" --parameter-name="invalid users" "$conf" \
    2>/dev/null | grep -qx "$user" || fail "testparm does not see $user as invalid"

  refused "$user" "$password" || fail "$user's new connection is not refused"
  smb_as "$other" "$other_password" "ls" ||
    fail "$other is locked out too"
  # The open session is gone: its next command does nothing.
  echo "put $W/local.txt after.txt" >&7
  exec 7>&-
  wait "$session" || true
  [ ! -e "$folder/after.txt" ] || fail "the open session went on after the containment"
  grep -Eq 'NT_STATUS_(CONNECTION_DISCONNECTED|NETWORK_NAME_DELETED)' "$W/session.out" ||
    fail "the open session was not cut off"

  # Its record: the log, syslog and the batch's rows.
  grep -q "ransomware-rename: denied user $user in $samba_deny_file" "$contain_dir/contain.log" ||
    fail "contain.log does not name $user"
  grep -Eq "ended the smbd processes of $user's sessions: [0-9]+" "$contain_dir/contain.log" ||
    fail "contain.log names no ended smbd process"
  wait_for "the containment in syslog" grep -qs "quillo-contain.*denied user $user" \
    "$W/rsyslog/internal.log"
  cmp -s "$W/batch.csv" "$contain_dir"/*-ransomware-rename-"$user".csv ||
    fail "the batch's rows are not kept"

  # Once more: nothing changes.
  cp "$samba_deny_file" "$W/deny.before"
  run_contain ransomware-rename user "$user" 50 60 </dev/null >"$W/contain.out" 2>&1 ||
    fail "a second firing failed"
  cmp -s "$samba_deny_file" "$W/deny.before" || fail "a second firing changed the deny file"
  grep -q "user $user is denied already" "$contain_dir/contain.log" ||
    fail "a second firing is not logged as such"

  # Refused: names that would change the list's meaning, and keys that
  # are no user. The deny file stays as it is.
  for bad in "q user" $'q\nroot' "q,root" '"quser"' "q'user" "@$user" "+$user" \
             "&$user" "q%uuser" "quser\\" "q#x" "q;x" "q=x" ""; do
    status=0
    run_contain ransomware-rename user "$bad" 50 60 </dev/null >"$W/contain.out" 2>&1 ||
      status=$?
    [ $status -eq 2 ] || fail "name $(printf '%q' "$bad"): status $status, not 2"
    grep -q refused "$W/contain.out" || fail "name $(printf '%q' "$bad") not refused"
  done
  status=0
  run_contain denied-burst ip 127.0.0.1 20 60 </dev/null >"$W/contain.out" 2>&1 || status=$?
  [ $status -eq 2 ] || fail "a key per ip: status $status, not 2"
  status=0
  env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin QUILLO_PER=user QUILLO_KEY=other \
    "$contain_script" ransomware-rename user "$user" 50 60 </dev/null \
    >"$W/contain.out" 2>&1 || status=$?
  [ $status -eq 2 ] || fail "a key unlike QUILLO_KEY: status $status, not 2"
  cmp -s "$samba_deny_file" "$W/deny.before" || fail "a refused run changed the deny file"

  # Firings at once: each name lands, on the one line.
  pids=()
  for i in 1 2 3 4 5 6 7 8; do
    run_contain ransomware-rename user "c$i" 50 60 </dev/null >/dev/null 2>&1 &
    pids+=("$!")
  done
  for p in "${pids[@]}"; do wait "$p" || fail "a concurrent firing failed"; done
  [ "$(run_contain --list | sort | tr '\n' ' ')" = "c1 c2 c3 c4 c5 c6 c7 c8 $user " ] ||
    fail "concurrent firings lost names: $(run_contain --list | tr '\n' ' ')"
  [ "$(grep -c 'invalid users' "$samba_deny_file")" -eq 1 ] ||
    fail "the deny file has more than one invalid users line"

  # The undo it printed lets the user in again, the others stay out.
  run_contain --release "$user" >"$W/contain.out" 2>&1 || fail "--release failed"
  ! run_contain --list | grep -qx "$user" || fail "--release left $user in"
  run_contain --list | grep -qx c1 || fail "--release took others out"
  smb_as "$user" "$password" "put $W/local.txt back.txt" ||
    fail "$user is still locked out after --release"
  echo "PASS: $scenario"
  exit 0
  ;;

contain)
  other=quser2
  other_password='Qu1llo-other'
  samba_add_user "$W" "$other" 4712 "$other_password"
  files=2000
  # The victim's files, made in the folder itself so that only the
  # renames go through Samba.
  for i in $(seq -w 1 $files); do
    printf 'quarterly figures %s\n' "$i" >"$folder/report-$i.docx"
    echo "rename report-$i.docx report-$i.docx.enc"
  done >"$W/renames.txt"
  chown -R "$user:$user" "$folder"
  started=$(date +%s%N)
  # One session, one command after the other, as fast as Samba answers;
  # it fails once the containment has ended it.
  timeout 120 smbclient -s "$conf" -n "$client_name" "//127.0.0.1/$share" \
    -U "$user%$password" <"$W/renames.txt" >"$W/renames.out" 2>&1 || true
  took=$(( ($(date +%s%N) - started) / 1000000 ))
  renamed=$(find "$folder" -name '*.enc' | wc -l)
  echo "renames through: $renamed of $files (session ended after $took ms)"

  run_contain --list | grep -qx "$user" || fail "the response did not deny $user"
  grep -q "ransomware-rename: denied user $user" "$contain_dir/contain.log" ||
    fail "contain.log does not name $user"
  [ "$(grep -c "denied user $user" "$contain_dir/contain.log")" -eq 1 ] ||
    fail "the response ran more than once for $user"
  [ "$renamed" -ge 50 ] || fail "only $renamed renames, the condition cannot have fired"
  [ "$renamed" -lt $((files / 2)) ] ||
    fail "$renamed of $files renames got through before the containment"
  grep -Eq 'NT_STATUS_(CONNECTION_DISCONNECTED|NETWORK_NAME_DELETED)' "$W/renames.out" ||
    fail "the renaming session was not cut off"
  refused "$user" "$password" || fail "$user's new connection is not refused"
  smb_as "$other" "$other_password" "ls" || fail "$other is locked out too"

  # Every rename that went through is in the alert log.
  settle
  access_fields >"$W/actual.txt"
  wait_for "$renamed alert rows of the renames" alert_enc_rows "$renamed"
  # The batch the response got: rows of the renames.
  rows_file=$(find "$contain_dir" -name "*-ransomware-rename-$user.csv" | head -n 1)
  [ -n "$rows_file" ] || fail "the response kept no rows"
  grep -q ",$user,.*,rename,ok,$share,report-" "$rows_file" ||
    fail "the response's rows are not the renames"
  notices="$R/var/log/quillo-notices"
  wait_for "the event-log entry of ransomware-rename" fired ransomware-rename 50

  # The other example conditions. Through Samba, by the other user: a
  # look at the bait file, 200 deletes in a folder of the user's own.
  echo bait >"$folder/_canary.docx"
  smb_as "$other" "$other_password" "get _canary.docx $W/canary.docx" ||
    fail "$other cannot read the bait file"
  wait_for "the event-log entry of canary" fired canary 1
  mkdir "$folder/own"
  for i in $(seq 1 200); do : >"$folder/own/old-$i.tmp"; done
  chown -R "$other:$other" "$folder/own"
  smb_as "$other" "$other_password" "cd own; del old-*.tmp" || fail "$other's deletes failed"
  [ -z "$(ls -A "$folder/own")" ] || fail "$other's files were not all deleted"
  wait_for "the event-log entry of mass-delete" fired mass-delete 200
  # Refused accesses as other services report them (Samba logs none: it
  # refuses before the file system call that full_audit sees). Samba's
  # failed existence checks before each rename, well over 20 from
  # 127.0.0.1 by now, must not have counted.
  for i in $(seq 1 20); do
    "$build/client/quillo-send" --access "$other" pc-50 192.0.2.50 open 0 13 \
      "$share" "w|locked-$i.xlsx" || fail "quillo-send --access failed"
  done
  wait_for "the event-log entry of denied-burst" fired denied-burst 20

  # quillod ran the response once, and nothing failed.
  kill -USR1 "$quillod_pid"
  stats="$R/mnt/data/conf/quillo/quillod.stats"
  wait_for "the counters" grep -qs '^responses_run ' "$stats"
  grep -qx 'responses_run 1' "$stats" || fail "responses_run is not 1: $(grep responses_ "$stats")"
  grep -qx 'responses_failed 0' "$stats" || fail "a response failed: $(grep responses_ "$stats")"
  grep -qx 'threshold_fired 4' "$stats" ||
    fail "not one firing of each condition: $(grep threshold_ "$stats")"
  if grep -Eiq 'fail|error|left out' "$W/quillod.err"; then
    cat "$W/quillod.err" >&2
    fail "quillod reported a failure"
  fi
  echo "PASS: $scenario ($renamed of $files renames before $user was cut off)"
  exit 0
  ;;
esac
echo "PASS: $scenario ($(wc -l <"$W/actual.txt") access rows from $(audit_count) audit lines)"
