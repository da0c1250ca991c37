#!/usr/bin/env bash
# Builds quillo, lays out a sandbox appliance tree from examples/appliance
# and runs quillod on it in the foreground (Ctrl-C ends it), with
# quillo-web beside it on the same tree (ended with the demo).
#
#   scripts/demo.sh [SANDBOX_DIR]      default: ./sandbox
#   WEB_LISTEN   quillo-web's --listen (default 127.0.0.1:8740)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/release -j2 --target quillod quillo-send \
  quillo-query quillo-web

sandbox=$(mkdir -p "${1:-sandbox}" && cd "${1:-sandbox}" && pwd)
# Fresh copies of the example settings and scripts; logs and state stay.
cp -r examples/appliance/. "$sandbox/"
mkdir -p "$sandbox/tmp" "$sandbox/var/lock" "$sandbox/mnt/data/conf/quillo" \
         "$sandbox/logs"
sed -i "s|<path>/mnt/log</path>|<path>$sandbox/logs</path>|" \
  "$sandbox/mnt/data/xmlconf/config-quillo.xml"
# The example containment script acts on a real Samba server; in the
# sandbox a stand-in only notes what it was asked to do.
mkdir -p "$sandbox/var/log"
cat >"$sandbox/mnt/data/bin/quillo-contain.sh" <<SH
#!/bin/sh
# Stand-in for examples/samba/quillo-contain.sh: notes the firing only.
echo "\$(date '+%F %T') alert \$1: would contain \$2 \$3 (\$4 accesses in \$5 s)" \\
  >>'$sandbox/var/log/quillo-contain.log'
SH
chmod 755 "$sandbox/mnt/data/bin/quillo-contain.sh"
sed -i "s|<script>/mnt/data/bin/|<script>$sandbox/mnt/data/bin/|" \
  "$sandbox/mnt/data/xmlconf/config-quillo.xml"

export QUILLO_ROOT=$sandbox
# quillo-web reads the log root from the configuration and makes its token
# in the state folder; it is ended by its pid when the demo ends.
web_log=$sandbox/var/log/quillo-web.log
build/release/web/quillo-web --listen "${WEB_LISTEN:-127.0.0.1:8740}" \
  >"$web_log" 2>&1 &
web_pid=$!
trap 'kill "$web_pid" 2>/dev/null || true' EXIT
# A signal to the shell alone ends it through its exit, and so ends
# quillo-web too (Ctrl-C reaches all three anyway).
trap 'exit 130' INT
trap 'exit 143' TERM
port=""
for _ in $(seq 1 100); do
  port=$(sed -n 's/^quillo-web: listening on port \([0-9]*\);.*/\1/p' "$web_log")
  [ -n "$port" ] && break
  kill -0 "$web_pid" 2>/dev/null || break
  sleep 0.1
done
if [ -z "$port" ]; then
  echo "quillo-web did not start:" >&2
  cat "$web_log" >&2
  exit 1
fi
token=$(cat "$sandbox/mnt/data/conf/quillo/web.token")

send="QUILLO_ROOT=$sandbox $PWD/build/release/client/quillo-send"
query="QUILLO_ROOT=$sandbox $PWD/build/release/query/quillo-query"
cat <<TXT
quillod is running on the sandbox appliance tree $sandbox
In another shell, send it records:
  $send --system "\$(date +%s)" disk0 warning "temperature high"
  $send --access alice pc01 192.0.2.10 open 1 0 docs "r|secret/plan.txt"
  $send --access bob pc02 192.0.2.11 delete 0 13 media "w|old.mp4"
Fifty renames to a new extension by one user fire the ransomware-rename
condition at once (its stand-in response notes it in
$sandbox/var/log/quillo-contain.log):
  for i in \$(seq 50); do $send --access mal pc03 192.0.2.12 rename 1 0 docs "f\$i.docx -> f\$i.docx.enc"; done
Logs appear below $sandbox/logs, state files in $sandbox/mnt/data/conf/quillo,
notices (event log, buzzer, mail) in $sandbox/var/log/quillo-notices.
Re-read the configuration: kill -HUP \$(pgrep -f build/release/daemon/quillod)
Read the logs back:
  $query --kind access --since today --user alice
The web view and its API (log in on the page with the token):
  http://127.0.0.1:$port/   token $token
  curl -H "Authorization: Bearer \$(cat $sandbox/mnt/data/conf/quillo/web.token)" "http://127.0.0.1:$port/api/rows?kind=access&limit=10"
quillo-web's messages go to $web_log.
TXT
# Not exec: the shell stays to end quillo-web when quillod ends.
build/release/daemon/quillod
