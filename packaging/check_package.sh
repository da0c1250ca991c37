# shellcheck shell=bash
# The Debian package part of packaging/check.sh, sourced by it (which sets
# source_dir, work, version, the expected_* lists, fail, pass, quiet_run,
# check_files, check_exec_start and check_tmpfiles).
#
#   check_package    builds quillo_<version>_<arch>.deb and its -dbgsym
#                    package from a copy of the source tree in $work/pkg,
#                    runs lintian on them, installs the package into a
#                    scratch root and checks what it installed
#
# The machine's own dpkg database, /etc and systemd are never touched: the
# scratch root has a dpkg database of its own, and its maintainer scripts
# run with DPKG_ROOT set, under which debhelper's snippets act only on
# the scratch root.

# copy_source DEST: the source tree as it is in the working tree, without
# build folders or the sandbox. In a git checkout: the tracked files and the
# new ones not ignored (so that uncommitted work is what gets checked).
copy_source() {
  mkdir -p "$1"
  if [ "$(git -C "$source_dir" rev-parse --show-toplevel 2>/dev/null)" = "$source_dir" ]; then
    (cd "$source_dir" &&
     git ls-files -z --cached --others --exclude-standard |
     while IFS= read -r -d '' f; do
       [ -e "$f" ] || [ -L "$f" ] && printf '%s\0' "$f"
     done | tar --null --no-recursion -T - -cf -) | tar -xf - -C "$1"
  else
    tar -C "$source_dir" --anchored --exclude='./build*' --exclude=./sandbox \
      --exclude=./.git --exclude=./.cache -cf - . | tar -xf - -C "$1"
  fi
}

# build_package DIR: dpkg-buildpackage -b in DIR/src; the packages land in
# DIR. Two jobs; ccache (the user's cache and settings, which debhelper's
# own HOME would otherwise hide) when it is on PATH.
build_package() {
  local dir=$1 env=(DEB_BUILD_OPTIONS=parallel=2)
  if command -v ccache >/dev/null && [ -d /usr/lib/ccache ]; then
    env+=("PATH=/usr/lib/ccache:$PATH" "CCACHE_DIR=$(ccache -k cache_dir)"
          "CCACHE_MAXSIZE=$(ccache -k max_size)" "CCACHE_BASEDIR=$dir/src"
          CCACHE_NOHASHDIR=true)
  fi
  (cd "$dir/src" && env "${env[@]}" dpkg-buildpackage -b -uc -us) \
    >"$dir/build.log" 2>&1
}

# run_lintian DEB...: lintian's findings (informational ones and the
# overrides it applied too) shown; fails on any error or warning not
# overridden, as --fail-on error,warning would (which cannot be combined
# with --show-overrides: it then fails on the overridden ones too), and on
# an override other than the static client's.
run_lintian() {
  local status=0 overrides
  lintian --fail-on none --display-info --show-overrides "$@" \
    >"$work/lintian.txt" 2>&1 || status=$?
  grep -v '^running with root privileges is not recommended!$' "$work/lintian.txt" |
    sed 's/^/    lintian: /'
  overrides=$(grep '^O: ' "$work/lintian.txt" || true)
  if [ $status -ne 0 ]; then
    fail "lintian did not run (status $status)"
  elif grep -q '^[EW]: ' "$work/lintian.txt"; then
    fail "lintian reports errors or warnings"
  elif [ "$overrides" != "O: quillo: statically-linked-binary [usr/bin/quillo-send]" ]; then
    fail "lintian overrides are not exactly the static quillo-send's: ${overrides:-none}"
  else
    pass "lintian: no error or warning; the static quillo-send overridden"
  fi
}

# check_fields DEB: the control fields, with the dependencies dh_shlibdeps
# found for the libraries the programs link.
check_fields() {
  local deb=$1 field dep depends ok=0
  for field in "Package:quillo" "Version:$version" "Section:admin" "Suggests:python3"; do
    [ "$(dpkg-deb -f "$deb" "${field%%:*}")" = "${field#*:}" ] ||
      { echo "field ${field%%:*} is not ${field#*:}"; ok=1; }
  done
  depends=$(dpkg-deb -f "$deb" Depends)
  # Everything below /usr but the units, which Debian 12 has in
  # /lib/systemd/system.
  if dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\./||; s|/$||' |
       grep -v -x -e '' -e usr -e 'usr/.*' -e lib -e lib/systemd -e 'lib/systemd/system.*' |
       grep -q . || dpkg-deb -c "$deb" | grep -q ' \./usr/local'; then
    echo "files outside /usr and /lib/systemd/system, or in /usr/local"
    ok=1
  fi
  for dep in libxml++2.6-2v5 libglibmm-2.4-1v5 libxml2 librelp0 libgnutls30 \
             libnettle8 libmicrohttpd12 libstdc++6 libc6; do
    # Package names only, one a line, versions and alternatives dropped.
    tr ',|' '\n\n' <<<"$depends" | sed 's/(.*//; s/ //g' | grep -qxF "$dep" ||
      { echo "does not depend on $dep ($depends)"; ok=1; }
  done
  return $ok
}

# check_dbgsym DEB: one file of debug symbols for each of the four programs.
check_dbgsym() {
  local n
  n=$(dpkg-deb -c "$1" | grep -c '/usr/lib/debug/\.build-id/.*\.debug$' || true)
  [ "$n" -eq 4 ] || { echo "$(basename "$1") holds $n debug files, not 4"; return 1; }
}

# check_scripts ADMIN-DIR: the maintainer scripts debhelper wrote make
# neither unit start or enable on installation, restart a running one after
# an upgrade, stop them on removal, and apply the tmpfiles.d entry.
check_scripts() {
  local info=$1/info ok=0
  grep -qF "deb-systemd-invoke try-restart 'quillo-web.service' 'quillod.service'" \
    "$info/quillo.postinst" || { echo "postinst does not try-restart both units"; ok=1; }
  if grep -Eq 'deb-systemd-invoke (start|restart)|_dh_action=start|systemctl .*(start|enable)' \
       "$info/quillo.postinst"; then
    echo "postinst starts or enables a unit"
    ok=1
  fi
  grep -q 'deb-systemd-invoke stop quillod.service quillo-web.service' \
    "$info/quillo.prerm" || { echo "prerm does not stop both units"; ok=1; }
  grep -q 'systemd-tmpfiles .*--create quillod.conf' "$info/quillo.postinst" ||
    { echo "postinst does not apply quillod.conf"; ok=1; }
  return $ok
}

# check_not_enabled ROOT: the postinst recorded both units with
# deb-systemd-helper (so its snippets ran) and enabled neither.
check_not_enabled() {
  local u ok=0 links
  for u in quillod.service quillo-web.service; do
    [ -f "$1/var/lib/systemd/deb-systemd-helper-enabled/$u.dsh-also" ] ||
      { echo "postinst did not record $u"; ok=1; }
  done
  links=$(find "$1/etc/systemd" -name 'quillo*' 2>/dev/null || true)
  [ -z "$links" ] || { echo "units enabled: $links"; ok=1; }
  return $ok
}

# scratch_install DEB ROOT: dpkg -i into ROOT with a fresh database there;
# the libraries are the machine's, so dependencies are not asked for, and
# the maintainer scripts run outside the (empty) root with DPKG_ROOT set.
scratch_install() {
  mkdir -p "$2/var/lib/dpkg/info" "$2/var/lib/dpkg/updates" "$2/var/lib/dpkg/triggers"
  : >"$2/var/lib/dpkg/status"
  : >"$2/var/lib/dpkg/available"
  dpkg --root="$2" --admindir="$2/var/lib/dpkg" --log=/dev/null \
    --force-depends --force-script-chrootless --force-not-root -i "$1" \
    >"$work/dpkg.txt" 2>&1
}

# check_programs ROOT: the installed programs run.
check_programs() {
  local root=$1 send=$1/usr/bin/quillo-send got status ok=0
  mkdir -p "$work/emptyroot"
  got=$("$send" -V 2>&1) || true
  [ "$got" = "$send : Ver.$version" ] || { echo "quillo-send -V printed \"$got\""; ok=1; }
  # Without a configuration the daemon must end at once with status 2: that
  # proves it loads its libraries and starts up.
  status=0
  QUILLO_ROOT=$work/emptyroot timeout 10 "$root/usr/sbin/quillod" \
    >/dev/null 2>"$work/quillod.err" || status=$?
  [ $status -eq 2 ] && grep -q '^Error: ' "$work/quillod.err" ||
    { echo "quillod ended with status $status: $(cat "$work/quillod.err")"; ok=1; }
  status=0
  QUILLO_ROOT=$work/emptyroot timeout 10 "$root/usr/bin/quillo-web" --help \
    >/dev/null 2>"$work/web.err" || status=$?
  [ $status -eq 2 ] && grep -q '^usage: quillo-web ' "$work/web.err" ||
    { echo "quillo-web --help ended with status $status: $(cat "$work/web.err")"; ok=1; }
  return $ok
}

# check_installed ROOT: files, units, tmpfiles.d entry, scripts, programs.
check_installed() {
  local root=$1 ok=0 why
  # dh_compress compressed the manual pages.
  local expected_files=("${expected_files[@]/%.1/.1.gz}")
  expected_files=("${expected_files[@]/%.8/.8.gz}")
  check_files "$root/usr" "$root/lib/systemd/system" || ok=1
  check_exec_start "$root/lib/systemd/system/quillod.service" /usr/sbin/quillod || ok=1
  check_exec_start "$root/lib/systemd/system/quillo-web.service" /usr/bin/quillo-web ||
    ok=1
  why=$(check_tmpfiles "$root/usr/$tmpfiles") || { echo "/usr/$tmpfiles: $why"; ok=1; }
  check_scripts "$root/var/lib/dpkg" || ok=1
  check_not_enabled "$root" || ok=1
  check_programs "$root" || ok=1
  return $ok
}

check_package() {
  local pkg=$work/pkg start=$SECONDS deb dbgsym changelog_version
  changelog_version=$(dpkg-parsechangelog -l "$source_dir/debian/changelog" -S Version)
  [ "$changelog_version" = "$version" ] ||
    fail "debian/changelog is at $changelog_version, the project at $version"
  copy_source "$pkg/src"
  if ! build_package "$pkg"; then
    fail "dpkg-buildpackage -b -uc -us"
    tail -n 40 "$pkg/build.log" | sed 's/^/    /' >&2
    return
  fi
  deb=$(ls "$pkg"/quillo_"$version"_*.deb 2>/dev/null | head -n 1 || true)
  dbgsym=$(ls "$pkg"/quillo-dbgsym_"$version"_*.deb 2>/dev/null | head -n 1 || true)
  if [ -z "$deb" ] || [ -z "$dbgsym" ]; then
    fail "no quillo_${version}_*.deb and its -dbgsym package: $(ls "$pkg")"
    return
  fi
  pass "built $(basename "$deb") and $(basename "$dbgsym") ($((SECONDS - start)) s)"
  run_lintian "$deb" "$dbgsym"
  if check_fields "$deb" >"$work/fields.txt" && check_dbgsym "$dbgsym" >>"$work/fields.txt"; then
    pass "package fields, dependencies and debug symbols"
  else
    fail "package fields, dependencies and debug symbols"
    sed 's/^/    /' "$work/fields.txt" >&2
  fi
  if ! scratch_install "$deb" "$work/scratch"; then
    fail "dpkg -i into a scratch root"
    sed 's/^/    /' "$work/dpkg.txt" >&2
  elif check_installed "$work/scratch" >"$work/installed.txt"; then
    pass "installed into a scratch root: files, units (none enabled), tmpfiles.d entry, scripts, programs run"
  else
    fail "installed into a scratch root"
    sed 's/^/    /' "$work/installed.txt" >&2
  fi
}
