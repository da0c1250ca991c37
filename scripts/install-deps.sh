#!/usr/bin/env bash
# Installs what building and testing quillo needs (Debian 12). Idempotent.
set -euo pipefail
packages=(build-essential cmake pkg-config libxml++2.6-dev libgtest-dev
          libgmock-dev googletest libbenchmark-dev python3
          groff-base man-db dpkg-dev clang libclang-rt-14-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" ||
    missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "missing packages: ${missing[*]} (run as root to install them)" >&2
    exit 1
  fi
  apt-get update
  DEBIAN_FRONTEND=noninteractive apt-get install -y "${missing[@]}"
fi
