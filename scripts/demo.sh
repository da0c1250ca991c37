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

send="QUILLO_ROOT=$sandbox $PWD/build/release/client/quillo-send"
cat <<TXT
quillod is running on the sandbox appliance tree $sandbox
In another shell, send it records:
  $send --system "\$(date +%s)" disk0 warning "temperature high"
  $send --access alice pc01 192.0.2.10 open 1 0 docs "r|secret/plan.txt"
  $send --access bob pc02 192.0.2.11 delete 0 13 media "w|old.mp4"
Logs appear below $sandbox/logs, state files in $sandbox/mnt/data/conf/quillo,
notices (event log, buzzer, mail) in $sandbox/var/log/quillo-notices.
Re-read the configuration: kill -HUP \$(pgrep -f build/release/daemon/quillod)
TXT
export QUILLO_ROOT=$sandbox
exec build/release/daemon/quillod
