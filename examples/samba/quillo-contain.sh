#!/usr/bin/env bash
# Locks a Samba user out of the shares: the response of an alert condition
# that counts per user, such as ransomware-rename in the example
# config-quillo.xml. quillod runs it as
#
#   quillo-contain.sh CONDITION PER KEY COUNT SECONDS
#
# with the batch's alert rows on standard input, once per firing. It
#   1. checks that the condition counts per user and that the user name
#      can go into an smb.conf list as it is (else it does nothing, exit 2);
#   2. adds the name to the one "invalid users = ..." line of the deny
#      file, which the share sections include (see smb-share.conf beside
#      this script); a name already there is left as it is;
#   3. makes smbd reload its configuration, so that the user's new
#      connections are refused (NT_STATUS_ACCESS_DENIED at tree connect);
#   4. has smbd close the tree connections the user is now denied
#      ("close-denied-share"), then ends the smbd processes that serve a
#      session of the user (found with smbstatus; this ends the client's
#      whole connection, and with it any other session on it);
#   5. logs what it did to syslog (tag quillo-contain, facility auth) and
#      to contain.log in the log folder, keeps the batch's rows there, and
#      prints how to undo it.
# Exit status: 0 done, 1 a Samba step failed (the name is in the deny file
# all the same, so smbd's next start refuses the user), 2 nothing done
# (bad arguments or a name that is refused).
#
# Install: copy to /mnt/data/bin/quillo-contain.sh (the path the example
# condition names), owned by root, mode 755 (quillod does not run a script
# that anyone but root can change). It needs smbcontrol and smbstatus
# (package samba), flock and logger (util-linux, bsdutils).

set -uo pipefail
# Byte-wise name checks and case folding, whatever quillod's locale.
export LC_ALL=C
umask 022

deny_file=${QUILLO_CONTAIN_DENY_FILE:-/etc/samba/quillo-denied-users.conf}
log_dir=${QUILLO_CONTAIN_LOG_DIR:-/var/log/quillo-contain}
# In the log folder, which only root can write: a lock in a folder that
# everyone can write (/var/lock) could be a link planted there.
lock_file=${QUILLO_CONTAIN_LOCK:-$log_dir/lock}
smb_conf=${QUILLO_CONTAIN_SMB_CONF:-}
use_syslog=${QUILLO_CONTAIN_SYSLOG:-1}
end_sessions=${QUILLO_CONTAIN_END_SESSIONS:-1}
# Seconds to wait for another run that holds the lock.
lock_wait=20

me=${0##*/}

usage() {
  local conf=${smb_conf:-the default of smbcontrol}
  cat <<EOF
Usage:
  $me CONDITION PER KEY COUNT SECONDS
      Deny the Samba user KEY (PER must be "user"): add KEY to the deny
      file's "invalid users" line, reload smbd, close KEY's connections.
      This is how quillod runs it as a condition's response, the batch's
      alert rows on standard input.
  $me --release USER
      Let USER in again: take the name out of the deny file, reload smbd.
  $me --list
      Print the denied names, one per line.
  $me --help

Settings (environment):
  QUILLO_CONTAIN_DENY_FILE    the file the share sections include
                              ($deny_file)
  QUILLO_CONTAIN_LOG_DIR      contain.log and the rows of each firing
                              ($log_dir)
  QUILLO_CONTAIN_LOCK         lock file serialising runs, in a folder
                              only root can write
                              ($lock_file)
  QUILLO_CONTAIN_SMB_CONF     smb.conf for smbcontrol and smbstatus
                              ($conf)
  QUILLO_CONTAIN_SYSLOG       1: log to syslog as well, 0: do not ($use_syslog)
  QUILLO_CONTAIN_END_SESSIONS 1: end the smbd processes of the user's
                              sessions, 0: only close the denied shares
                              ($end_sessions)
Exit status: 0 done, 1 a Samba step failed, 2 nothing done.
EOF
}

samba_opts=()
[ -n "$smb_conf" ] && samba_opts=(-s "$smb_conf")

# log MESSAGE: one line to standard output, contain.log and syslog.
# quillod shows a response's standard output with its report of a failed
# run. Logging never makes the run fail: the containment matters more
# than its record.
log() {
  printf '%s: %s\n' "$me" "$*"
  if mkdir -p "$log_dir" 2>/dev/null; then
    printf '%s %s\n' "$(date '+%Y-%m-%dT%H:%M:%S%z')" "$*" \
      >>"$log_dir/contain.log" 2>/dev/null || true
  fi
  if [ "$use_syslog" = 1 ]; then
    logger -t quillo-contain -p auth.warning -- "$*" 2>/dev/null || true
  fi
}

refuse() {
  log "refused: $*"
  exit 2
}

# valid_name NAME: whether NAME can stand in an smb.conf list without
# quoting or changing its meaning: 1 to 256 bytes of ASCII letters and
# digits, ".", "_", "-", "$" (machine accounts), "\" (DOMAIN\user), "@"
# (user@realm) and bytes from 0x80 (UTF-8 letters). Refused besides: a
# leading "@", "+" or "&" (Samba reads those as group names), "-" or ".",
# and a trailing "\" (smb.conf's line continuation). Blanks, commas and
# quotes would split or quote the list, "%" is a substitution, "#" and ";"
# start comments, newlines end the line.
valid_name() {
  local name=$1
  local bad
  bad="*[!A-Za-z0-9._@\$\\\\"$'\x80-\xff'"-]*"
  [ -n "$name" ] && [ "${#name}" -le 256 ] || return 1
  # shellcheck disable=SC2053  # $bad is a pattern on purpose
  [[ $name != $bad ]] || return 1
  case $name in
    [@+\&.-]* | *\\) return 1 ;;
  esac
  return 0
}

# ASCII letters lowered (LC_ALL=C), as quillod lowers the user column;
# without a process, since it runs once per name in the file.
lower() { printf '%s' "${1,,}"; }

# The names of the deny file's "invalid users" lines, one per line, in
# their order (Samba's list separators are blanks and commas).
read_names() {
  [ -f "$deny_file" ] || return 0
  sed -n 's/^[[:space:]]*invalid[[:space:]]*users[[:space:]]*=//Ip' \
    "$deny_file" | tr -s ', \t' '\n' | sed '/^$/d'
}

# write_names NAME...: the deny file with exactly these names, replaced
# in one rename so that smbd never reads half a file.
write_names() {
  local dir tmp
  dir=$(dirname "$deny_file")
  mkdir -p "$dir" || return 1
  tmp=$(mktemp "$deny_file.XXXXXX") || return 1
  {
    echo "# Written by $me: users locked out of the shares that include"
    echo "# this file. Undo with \"$me --release NAME\"; names added by"
    echo "# hand to the line below are kept."
    if [ $# -gt 0 ]; then
      echo "invalid users = $*"
    fi
  } >"$tmp" && chmod 644 "$tmp" && mv -f "$tmp" "$deny_file" && return 0
  rm -f "$tmp"
  return 1
}

# take_lock: holds the lock on descriptor 9 until the run ends (or until
# release_lock), waiting $lock_wait seconds at most for another run.
take_lock() {
  mkdir -p "$(dirname "$lock_file")" 2>/dev/null
  # Not through a link, whatever the folder.
  if [ -L "$lock_file" ]; then
    log "the lock $lock_file is a link; nothing done"
    exit 1
  fi
  exec 9>>"$lock_file" || { log "cannot open the lock $lock_file"; exit 1; }
  flock -w "$lock_wait" 9 || { log "lock $lock_file held for ${lock_wait} s"; exit 1; }
}
release_lock() { exec 9>&-; }

reload_smbd() {
  if smbcontrol "${samba_opts[@]}" smbd reload-config; then
    return 0
  fi
  log "smbcontrol smbd reload-config failed (is smbd running?)"
  return 1
}

# The PIDs of the smbd processes serving a session of user $1 (compared
# without regard to case, as Samba compares user names).
session_pids() {
  local status
  status=$(smbstatus "${samba_opts[@]}" -p 2>/dev/null) || return 1
  printf '%s\n' "$status" | QUILLO_CONTAIN_NAME=$(lower "$1") awk '
    $1 ~ /^[0-9]+$/ && tolower($2) == ENVIRON["QUILLO_CONTAIN_NAME"] { print $1 }'
}

contain() {
  [ $# -eq 5 ] || { usage >&2; exit 2; }
  local condition=$1 per=$2 key=$3 count=$4 seconds=$5
  local name names=() n already=0 failed=0 pids pid ended=() rows
  [ "$per" = user ] ||
    refuse "$condition counts per $per, not per user: no user to deny"
  [ "${QUILLO_PER:-user}" = user ] ||
    refuse "$condition: QUILLO_PER is ${QUILLO_PER}, not user"
  [ -z "${QUILLO_KEY+x}" ] || [ "$QUILLO_KEY" = "$key" ] ||
    refuse "$condition: the key argument and QUILLO_KEY differ"
  valid_name "$key" ||
    refuse "$condition: user name $(printf '%q' "$key") cannot go into an smb.conf list"
  name=$(lower "$key")

  take_lock
  while IFS= read -r n; do
    names+=("$n")
    [ "$(lower "$n")" = "$name" ] && already=1
  done < <(read_names)
  if [ $already = 1 ]; then
    log "$condition: user $name is denied already ($deny_file)"
  else
    names+=("$name")
    write_names "${names[@]}" || { log "cannot write $deny_file"; exit 1; }
    log "$condition: denied user $name in $deny_file ($count matching rows in $seconds s; share ${QUILLO_SHARE:-?}, host ${QUILLO_HOST:-?}, address ${QUILLO_IP:-?})"
  fi
  release_lock

  reload_smbd || failed=1
  if [ $failed = 0 ]; then
    # Tree connections of users whom the reloaded configuration denies;
    # the others stay.
    if smbcontrol "${samba_opts[@]}" smbd close-denied-share '*'; then
      log "$condition: smbd reloaded, shares closed that deny $name"
    else
      log "smbcontrol smbd close-denied-share failed"
      failed=1
    fi
  fi
  if [ "$end_sessions" = 1 ]; then
    if pids=$(session_pids "$name"); then
      for pid in $pids; do
        if smbcontrol "${samba_opts[@]}" "$pid" shutdown 2>/dev/null; then
          ended+=("$pid")
        elif ! kill -0 "$pid" 2>/dev/null; then
          # Gone meanwhile: its client left once the shares were closed.
          ended+=("$pid")
        else
          log "smbcontrol $pid shutdown failed"
          failed=1
        fi
      done
      log "$condition: ended the smbd processes of $name's sessions: ${ended[*]:-none}"
    else
      log "smbstatus failed: the sessions of $name are not ended"
      failed=1
    fi
  fi

  # The rows that made the condition fire, for the incident record; read
  # after acting so that they cost no time. Bounded: standard input may
  # be a pipe nobody closes when run by hand.
  if [ ! -t 0 ] && mkdir -p "$log_dir" 2>/dev/null; then
    # The condition's name comes from the configuration: only safe bytes
    # go into the file name.
    rows="$log_dir/$(date +%Y%m%d%H%M%S)-$(printf '%s' "$condition" |
      tr -c 'A-Za-z0-9._-' _)-$name.csv"
    timeout 10 cat >>"$rows" || true
    [ -s "$rows" ] || rm -f "$rows"
  fi
  echo "To let $name in again: $me --release $name"
  echo "(or take $name out of $deny_file and run: smbcontrol smbd reload-config)"
  return $failed
}

release() {
  [ $# -eq 1 ] || { usage >&2; exit 2; }
  local key=$1 name n names=() found=0
  valid_name "$key" || refuse "user name $(printf '%q' "$key") cannot be in an smb.conf list"
  name=$(lower "$key")
  take_lock
  while IFS= read -r n; do
    if [ "$(lower "$n")" = "$name" ]; then found=1; else names+=("$n"); fi
  done < <(read_names)
  if [ $found = 0 ]; then
    log "release: $name is not in $deny_file"
    return 0
  fi
  write_names "${names[@]}" || { log "cannot write $deny_file"; exit 1; }
  release_lock
  log "release: $name taken out of $deny_file"
  reload_smbd
}

case "${1:-}" in
  --help | -h) usage ;;
  --list) [ $# -eq 1 ] || { usage >&2; exit 2; }; read_names ;;
  --release) shift; release "$@" ;;
  -*) usage >&2; exit 2 ;;
  *) contain "$@" ;;
esac
