#!/usr/bin/env bash
# Installs what building and testing quillo needs (Debian 12). Idempotent.
set -euo pipefail
# The Samba end-to-end tests run smbd, smbclient and rsyslogd in a private
# namespace of their own; the forwarding tests run rsyslogd with imrelp and
# the gtls driver as collector, with certificates made by certtool; the
# containment scenario needs smbcontrol, testparm, flock and logger.
# The package is built with debhelper and checked with lintian; quillo-web's
# pages are tested in headless Chromium driven by Selenium.
packages=(build-essential cmake pkg-config libxml++2.6-dev libgtest-dev
          libgmock-dev googletest libbenchmark-dev python3
          groff-base man-db dpkg-dev clang libclang-rt-14-dev
          clang-tidy librelp-dev libgnutls28-dev nettle-dev libglib2.0-dev nlohmann-json3-dev
          libmicrohttpd-dev
          debhelper lintian fakeroot
          chromium chromium-driver python3-selenium
          samba samba-common-bin samba-vfs-modules smbclient rsyslog iproute2
          util-linux bsdutils
          rsyslog-relp rsyslog-gnutls gnutls-bin)
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
  # No service the packages bring (smbd, nmbd, rsyslogd) is started on the
  # build machine: the tests run their own, privately.
  policy=/usr/sbin/policy-rc.d
  made_policy=0
  if [ ! -e "$policy" ]; then
    printf '#!/bin/sh\nexit 101\n' >"$policy"
    chmod 755 "$policy"
    made_policy=1
  fi
  DEBIAN_FRONTEND=noninteractive apt-get install -y "${missing[@]}" ||
    { [ $made_policy = 0 ] || rm -f "$policy"; exit 1; }
  [ $made_policy = 0 ] || rm -f "$policy"
fi
