#!/usr/bin/env bash
# Checks what quillo ships, against a configured build directory:
#   - every manual page renders without a single warning;
#   - the service unit is valid (systemd-analyze verify where it runs, and
#     always a parse check of its sections and keys);
#   - "cmake --install" into a temporary DESTDIR gives the expected tree,
#     with executable programs and scripts and nothing outside the prefix;
#   - the tmpfiles.d entry holds the exclusion of /tmp/quillo and no other
#     rule (and systemd-tmpfiles reads it without complaint, where it runs);
#   - "cpack -G DEB" builds the package, which holds the expected files and
#     fields, the same tmpfiles.d entry, and whose programs run.
#
#   packaging/check.sh <build-dir>
#
# Builds quillod, quillo-send and quillo-query in <build-dir> first; leaves
# the package there. Installs groff, man-db and dpkg-dev with apt-get when they are
# missing (as root only). Exit status 0 when every check passed.
set -euo pipefail

if [ $# -ne 1 ]; then
  echo "usage: $0 <build-dir>" >&2
  exit 2
fi
build=$(cd "$1" && pwd)
source_dir=$(cd "$(dirname "$0")/.." && pwd)
version=0.01

work=$(mktemp -d "${TMPDIR:-/tmp}/quillo-check.XXXXXX")
trap 'rm -rf "$work"' EXIT

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}
pass() { echo "ok: $*"; }

# --- tools ------------------------------------------------------------------
ensure_tools() {
  local missing=()
  command -v groff >/dev/null || missing+=(groff-base)
  command -v man >/dev/null || missing+=(man-db)
  command -v dpkg-shlibdeps >/dev/null || missing+=(dpkg-dev)
  command -v cpack >/dev/null || missing+=(cmake)
  [ ${#missing[@]} -eq 0 ] && return
  if [ "$(id -u)" -ne 0 ]; then
    echo "missing packages: ${missing[*]} (run as root to install them)" >&2
    exit 2
  fi
  apt-get update >/dev/null
  DEBIAN_FRONTEND=noninteractive apt-get install -y "${missing[@]}" >/dev/null
}
ensure_tools

cmake --build "$build" --target quillod quillo-send quillo-query >/dev/null

# --- manual pages -----------------------------------------------------------
# Runs "$@"; fails the check when it ends badly or writes to stderr.
quiet_run() {
  local what=$1
  shift
  if ! "$@" >/dev/null 2>"$work/stderr" || [ -s "$work/stderr" ]; then
    fail "$what"
    sed 's/^/    /' "$work/stderr" >&2
    return 1
  fi
}

for page in "$source_dir/man/quillod.8" "$source_dir/man/quillo-send.1" \
            "$source_dir/man/quillo-query.1"; do
  name=$(basename "$page")
  quiet_run "groff warnings in $name" \
    env LC_ALL=C.UTF-8 groff -k -Tutf8 -ww -man -z "$page" &&
  quiet_run "man warnings in $name" \
    env LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" &&
  pass "$name renders without warnings"
done

# --- install tree -----------------------------------------------------------
prefix=/opt/quillo
destdir=$work/destdir
DESTDIR=$destdir cmake --install "$build" --prefix "$prefix" >/dev/null
root=$destdir$prefix
examples=share/quillo/examples/appliance

expected_programs=(sbin/quillod bin/quillo-send bin/quillo-query
                   share/quillo/examples/samba/quillo-contain.sh)
tmpfiles=lib/tmpfiles.d/quillod.conf
expected_files=(share/man/man8/quillod.8 share/man/man1/quillo-send.1
                share/man/man1/quillo-query.1
                lib/systemd/system/quillod.service "$tmpfiles"
                share/quillo/examples/samba/smb-share.conf
                share/quillo/examples/samba/rsyslog-quillo.conf)
while IFS= read -r f; do
  case $f in
    *.py) expected_programs+=("$examples/$f") ;;
    *) expected_files+=("$examples/$f") ;;
  esac
done < <(cd "$source_dir/examples/appliance" && find . -type f ! -path '*/__pycache__/*' | sed 's|^\./||' | sort)

tree_ok=1
for f in "${expected_programs[@]}"; do
  if [ ! -f "$root/$f" ] || [ ! -x "$root/$f" ]; then
    fail "install: $prefix/$f missing or not executable"
    tree_ok=0
  fi
done
for f in "${expected_files[@]}"; do
  if [ ! -f "$root/$f" ]; then
    fail "install: $prefix/$f missing"
    tree_ok=0
  fi
done
# Nothing but the prefix and the directories leading to it.
outside=$(cd "$destdir" && find . -mindepth 1 | sed 's|^\.||' |
          awk -v p="$prefix" 'index(p "/", $0 "/") != 1 && index($0, p "/") != 1')
if [ -n "$outside" ]; then
  fail "install: files outside $prefix:"$'\n'"$outside"
  tree_ok=0
fi
unit=$root/lib/systemd/system/quillod.service
if ! grep -qx "ExecStart=$prefix/sbin/quillod" "$unit"; then
  fail "install: the unit does not start $prefix/sbin/quillod"
  tree_ok=0
fi
# check_tmpfiles FILE: the exclusion of the socket from /tmp cleaning is
# there, and nothing else is (any other rule would act on the appliance's
# /tmp). Prints what is wrong.
check_tmpfiles() {
  local rules
  [ -f "$1" ] || { echo "missing"; return 1; }
  rules=$(grep -v -e '^[[:space:]]*$' -e '^[[:space:]]*#' "$1" || true)
  if [ "$rules" != "x /tmp/quillo" ]; then
    echo "rules are not exactly \"x /tmp/quillo\": ${rules//$'\n'/; }"
    return 1
  fi
}
if ! why=$(check_tmpfiles "$root/$tmpfiles"); then
  fail "install: $prefix/$tmpfiles: $why"
  tree_ok=0
fi
[ $tree_ok -eq 1 ] && pass "install tree below $prefix"

# systemd-tmpfiles parses the entry; --root keeps every path it would act
# on inside an empty folder, and an "x" rule acts on nothing anyway.
if command -v systemd-tmpfiles >/dev/null && [ -f "$root/$tmpfiles" ]; then
  mkdir "$work/tmpfiles-root"
  quiet_run "systemd-tmpfiles rejects $tmpfiles" \
    systemd-tmpfiles --root="$work/tmpfiles-root" --clean "$root/$tmpfiles" &&
  pass "systemd-tmpfiles reads $tmpfiles"
else
  echo "skip: no systemd-tmpfiles here; the tmpfiles.d entry is checked by its text only"
fi

# --- service unit -----------------------------------------------------------
# Parse check: sections, comments, blank lines and key=value lines with keys
# known for their section. Sandboxing that the clients or the scripts could
# notice (PrivateTmp, file-system, device or network restrictions) is not
# among the known keys.
check_unit_syntax() {
  awk '
    BEGIN {
      split("Description Documentation RequiresMountsFor After Wants Requires", u)
      for (i in u) known["Unit", u[i]] = 1
      split("Type ExecStart ExecReload Restart RestartSec ProtectKernelTunables " \
            "ProtectKernelModules ProtectControlGroups RestrictRealtime " \
            "RestrictSUIDSGID LockPersonality LimitNOFILE", s)
      for (i in s) known["Service", s[i]] = 1
      known["Install", "WantedBy"] = 1
    }
    /^[ \t]*$/ || /^[#;]/ { next }
    /^\[[A-Za-z]+\]$/ { section = substr($0, 2, length($0) - 2); next }
    /^[A-Za-z]+=/ {
      key = substr($0, 1, index($0, "=") - 1)
      if (!((section, key) in known)) {
        printf "line %d: key %s not allowed in [%s]\n", NR, key, section
        bad = 1
      }
      seen[key] = substr($0, index($0, "=") + 1)
      next
    }
    { printf "line %d: not a section, comment or key=value: %s\n", NR, $0; bad = 1 }
    END {
      if (seen["Type"] != "simple") { print "Type is not simple"; bad = 1 }
      if (seen["ExecReload"] != "/bin/kill -HUP $MAINPID") {
        print "ExecReload is not /bin/kill -HUP $MAINPID"; bad = 1
      }
      if (seen["Restart"] != "on-failure") { print "Restart is not on-failure"; bad = 1 }
      if (seen["RestartSec"] == "") { print "no RestartSec"; bad = 1 }
      if (seen["ExecStart"] ~ / -D| --daemon/) { print "ExecStart detaches"; bad = 1 }
      # 256 waiting clients and 32 descriptors for the daemon itself.
      if (seen["LimitNOFILE"] !~ /^[0-9]+$/ || seen["LimitNOFILE"] + 0 < 288) {
        print "LimitNOFILE is not a number of at least 288"; bad = 1
      }
      exit bad
    }' "$1"
}
if check_unit_syntax "$unit" >"$work/unit.txt"; then
  pass "unit parse check"
else
  fail "unit parse check"
  sed 's/^/    /' "$work/unit.txt" >&2
fi

# systemd-analyze needs no running systemd for "verify", but it checks that
# ExecStart is executable and that the Documentation pages exist, so it is
# pointed at the installed tree. A trivial unit tells first whether it works
# in this environment at all.
verify_works() {
  command -v systemd-analyze >/dev/null || return 1
  printf '[Service]\nExecStart=/bin/true\n' >"$work/probe.service"
  systemd-analyze verify --man=no "$work/probe.service" >/dev/null 2>&1
}
if verify_works; then
  sed "s|^ExecStart=|ExecStart=$destdir|" "$unit" >"$work/quillod.service"
  quiet_run "systemd-analyze verify" \
    env MANPATH="$root/share/man" systemd-analyze verify "$work/quillod.service" &&
  pass "systemd-analyze verify"
else
  echo "skip: systemd-analyze verify does not run here; the parse check stands alone"
fi

# --- Debian package ---------------------------------------------------------
rm -f "$build"/quillo_*.deb
(cd "$build" && cpack -G DEB >"$work/cpack.txt" 2>&1) || {
  fail "cpack -G DEB"
  sed 's/^/    /' "$work/cpack.txt" >&2
}
deb=$(ls "$build"/quillo_"$version"_*.deb 2>/dev/null | head -n 1 || true)
if [ -n "$deb" ]; then
  pass "built $(basename "$deb")"
  dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\./||; s|/$||' | sort >"$work/contents"
  deb_ok=1
  for f in "${expected_programs[@]}" "${expected_files[@]}"; do
    grep -qx "usr/$f" "$work/contents" || { fail "package lacks /usr/$f"; deb_ok=0; }
  done
  if grep -v -e '^usr$' -e '^usr/' "$work/contents" | grep -q . ||
     grep -q '^usr/local' "$work/contents"; then
    fail "package holds files outside /usr"
    deb_ok=0
  fi
  for field in "Package:quillo" "Version:$version" "Section:admin" "Suggests:python3"; do
    [ "$(dpkg-deb -f "$deb" "${field%%:*}")" = "${field#*:}" ] ||
      { fail "package field ${field%%:*} is not ${field#*:}"; deb_ok=0; }
  done
  depends=$(dpkg-deb -f "$deb" Depends)
  # Package names only, one a line, versions and alternatives dropped.
  dpkg-deb -f "$deb" Depends | tr ',|' '\n\n' | sed 's/(.*//; s/ //g' \
    >"$work/depends"
  for dep in libxml++2.6-2v5 libglibmm-2.4-1v5 libxml2 librelp0 libgnutls30 libstdc++6 libc6; do
    grep -qxF "$dep" "$work/depends" ||
      { fail "package does not depend on $dep ($depends)"; deb_ok=0; }
  done
  [ $deb_ok -eq 1 ] && pass "package contents and fields"

  extracted=$work/extracted
  dpkg-deb -x "$deb" "$extracted"
  send=$extracted/usr/bin/quillo-send
  got=$("$send" -V 2>&1) || true
  if [ "$got" = "$send : Ver.$version" ]; then
    pass "packaged quillo-send -V prints \"$got\""
  else
    fail "packaged quillo-send -V printed \"$got\""
  fi
  grep -qx "ExecStart=/usr/sbin/quillod" \
    "$extracted/usr/lib/systemd/system/quillod.service" ||
    fail "packaged unit does not start /usr/sbin/quillod"
  if why=$(check_tmpfiles "$extracted/usr/$tmpfiles"); then
    pass "packaged /usr/$tmpfiles keeps /tmp/quillo from /tmp cleaning"
  else
    fail "packaged /usr/$tmpfiles: $why"
  fi
  # Without a configuration the daemon must end at once with status 2: that
  # proves it loads its libraries and starts up.
  status=0
  QUILLO_ROOT=$work/emptyroot timeout 10 "$extracted/usr/sbin/quillod" \
    >/dev/null 2>"$work/quillod.err" || status=$?
  if [ $status -eq 2 ] && grep -q '^Error: ' "$work/quillod.err"; then
    pass "packaged quillod starts and ends with status 2 without a configuration"
  else
    fail "packaged quillod ended with status $status: $(cat "$work/quillod.err")"
  fi
else
  fail "no package quillo_${version}_*.deb in $build"
fi

if [ $failures -ne 0 ]; then
  echo "check.sh: $failures check(s) failed" >&2
  exit 1
fi
echo "check.sh: all checks passed"
