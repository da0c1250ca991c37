#!/usr/bin/env bash
# Checks what quillo ships, against a configured build directory:
#   - every manual page renders without a single warning;
#   - "cmake --install" into a temporary DESTDIR gives the expected tree,
#     with executable programs and scripts, both units naming the installed
#     programs, and nothing outside the prefix;
#   - both service units are valid (a parse check of their sections and
#     keys against what each may set, and systemd-analyze verify where it
#     runs);
#   - the tmpfiles.d entry holds the exclusion of /tmp/quillo and no other
#     rule (and systemd-tmpfiles reads it without complaint, where it runs);
#   - the Debian package, built by dpkg-buildpackage from a copy of the
#     source tree, is lintian-clean apart from its one override, holds the
#     expected files and fields, and installed into a scratch root (its own
#     dpkg database; the machine's is not touched) enables no unit, keeps
#     the tmpfiles.d entry, and gives programs that run.
#
#   packaging/check.sh <build-dir>
#
# Builds quillod, quillo-send, quillo-query and quillo-web in <build-dir>
# first; the package is built and installed inside a temporary folder that
# is removed at the end, so nothing is left in the checkout or beside it.
# Uses ccache for the package build when it is on PATH. Installs the tools
# it needs with apt-get when they are missing (as root only). Exit status 0
# when every check passed.
set -euo pipefail

if [ $# -ne 1 ]; then
  echo "usage: $0 <build-dir>" >&2
  exit 2
fi
build=$(cd "$1" && pwd)
source_dir=$(cd "$(dirname "$0")/.." && pwd)
version=$(sed -n 's/^project(quillo VERSION \([^ )]*\).*/\1/p' "$source_dir/CMakeLists.txt")

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
  command -v dpkg-buildpackage >/dev/null || missing+=(dpkg-dev)
  command -v dh >/dev/null || missing+=(debhelper)
  command -v lintian >/dev/null || missing+=(lintian)
  command -v cmake >/dev/null || missing+=(cmake)
  [ ${#missing[@]} -eq 0 ] && return
  if [ "$(id -u)" -ne 0 ]; then
    echo "missing packages: ${missing[*]} (run as root to install them)" >&2
    exit 2
  fi
  apt-get update >/dev/null
  DEBIAN_FRONTEND=noninteractive apt-get install -y "${missing[@]}" >/dev/null
}
ensure_tools

cmake --build "$build" --target quillod quillo-send quillo-query quillo-web \
  >/dev/null

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

# --- manual pages -----------------------------------------------------------
pages=(man8/quillod.8 man1/quillo-send.1 man1/quillo-query.1 man1/quillo-web.1)
for page in "${pages[@]}"; do
  name=$(basename "$page")
  quiet_run "groff warnings in $name" \
    env LC_ALL=C.UTF-8 groff -k -Tutf8 -ww -man -z "$source_dir/man/$name" &&
  quiet_run "man warnings in $name" \
    env LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$source_dir/man/$name" &&
  pass "$name renders without warnings"
done

# --- install tree -----------------------------------------------------------
prefix=/opt/quillo
destdir=$work/destdir
DESTDIR=$destdir cmake --install "$build" --prefix "$prefix" >/dev/null
root=$destdir$prefix
examples=share/quillo/examples/appliance
unitdir=lib/systemd/system
tmpfiles=lib/tmpfiles.d/quillod.conf

# Below the prefix; the package has the same files below /usr, but for the
# units, which it has in /lib/systemd/system.
expected_programs=(sbin/quillod bin/quillo-send bin/quillo-query bin/quillo-web
                   share/quillo/examples/samba/quillo-contain.sh)
expected_units=(quillod.service quillo-web.service)
expected_files=("${pages[@]/#/share/man/}" "$tmpfiles"
                share/quillo/examples/samba/smb-share.conf
                share/quillo/examples/samba/rsyslog-quillo.conf)
while IFS= read -r f; do
  case $f in
    *.py) expected_programs+=("$examples/$f") ;;
    *) expected_files+=("$examples/$f") ;;
  esac
done < <(cd "$source_dir/examples/appliance" && find . -type f ! -path '*/__pycache__/*' | sed 's|^\./||' | sort)

# check_files DIR UNIT-DIR: every expected program is in DIR and
# executable, every expected file is in DIR and every unit in UNIT-DIR.
# Prints what is missing.
check_files() {
  local f bad=0
  for f in "${expected_programs[@]}"; do
    [ -f "$1/$f" ] && [ -x "$1/$f" ] ||
      { echo "$f missing or not executable"; bad=1; }
  done
  for f in "${expected_files[@]}"; do
    [ -f "$1/$f" ] || { echo "$f missing"; bad=1; }
  done
  for f in "${expected_units[@]}"; do
    [ -f "$2/$f" ] || { echo "unit $f missing"; bad=1; }
  done
  return $bad
}

# check_exec_start UNIT PROGRAM: the unit starts exactly PROGRAM.
check_exec_start() {
  grep -qx "ExecStart=$2" "$1" ||
    { echo "$(basename "$1") does not start $2"; return 1; }
}

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

check_install_tree() {
  local outside why ok=0
  check_files "$root" "$root/$unitdir" || ok=1
  # Nothing but the prefix and the directories leading to it.
  outside=$(cd "$destdir" && find . -mindepth 1 | sed 's|^\.||' |
            awk -v p="$prefix" 'index(p "/", $0 "/") != 1 && index($0, p "/") != 1')
  [ -z "$outside" ] || { echo "files outside $prefix:"$'\n'"$outside"; ok=1; }
  check_exec_start "$root/$unitdir/quillod.service" "$prefix/sbin/quillod" || ok=1
  check_exec_start "$root/$unitdir/quillo-web.service" "$prefix/bin/quillo-web" ||
    ok=1
  why=$(check_tmpfiles "$root/$tmpfiles") || { echo "$tmpfiles: $why"; ok=1; }
  return $ok
}
if check_install_tree >"$work/tree.txt"; then
  pass "install tree below $prefix"
else
  fail "install tree below $prefix"
  sed 's/^/    /' "$work/tree.txt" >&2
fi

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

# --- service units ----------------------------------------------------------
source "$source_dir/packaging/check_units.sh"
for u in "${expected_units[@]}"; do
  if check_unit "$root/$unitdir/$u" >"$work/unit.txt"; then
    pass "$u parse check"
  else
    fail "$u parse check"
    sed 's/^/    /' "$work/unit.txt" >&2
  fi
done

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
  mkdir "$work/verify"
  for u in "${expected_units[@]}"; do
    sed "s|^ExecStart=|ExecStart=$destdir|" "$root/$unitdir/$u" >"$work/verify/$u"
  done
  quiet_run "systemd-analyze verify" \
    env MANPATH="$root/share/man" systemd-analyze verify \
      "${expected_units[@]/#/$work/verify/}" &&
  pass "systemd-analyze verify ${expected_units[*]}"
else
  echo "skip: systemd-analyze verify does not run here; the parse check stands alone"
fi

# --- Debian package ---------------------------------------------------------
source "$source_dir/packaging/check_package.sh"
check_package

if [ $failures -ne 0 ]; then
  echo "check.sh: $failures check(s) failed" >&2
  exit 1
fi
echo "check.sh: all checks passed"
