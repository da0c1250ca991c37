#!/usr/bin/env bash
# Builds quillo, lays out a sandbox appliance tree from examples/appliance
# and runs quillod on it in the foreground (Ctrl-C ends it).
#
#   scripts/demo.sh [SANDBOX_DIR]      default: ./sandbox
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/release -j2 --target quillod quillo-send

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

send="QUILLO_ROOT=$sandbox $PWD/build/release/client/quillo-send"
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
TXT
export QUILLO_ROOT=$sandbox
exec build/release/daemon/quillod
