# shellcheck shell=bash
# Shared by tests/samba_e2e.sh and bench/samba.sh (sourced, not run): the
# checks before, and the private system inside, a mount, network and PID
# namespace in which smbd, rsyslogd and quillod run with the examples in
# examples/samba. Nothing here touches the machine's /dev/log, /etc/samba,
# /etc/passwd or rsyslog configuration: the samba_* functions after
# samba_preflight are only for the namespace's inside.

samba_src="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

# smbd, ip and rsyslogd live in sbin, which a test runner's PATH may lack.
export PATH="$PATH:/usr/sbin:/sbin"

skip() {
  echo "SKIP: $*"
  exit 77
}
fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# Polls "$@" every 0.1 s for at most $bound seconds.
bound=20
wait_for() {
  local what="$1"
  shift
  local tries=$((bound * 10))
  until "$@"; do
    tries=$((tries - 1))
    [ $tries -gt 0 ] || fail "timed out waiting for $what"
    sleep 0.1
  done
}

# samba_preflight: skips (exit 77) unless this runs as root and has
# unshare, smbd with full_audit, smbclient, Samba's smbcontrol, smbstatus
# and testparm, flock and logger (for the containment script), rsyslogd
# with omprog and a namespace to put them in.
samba_preflight() {
  local p
  [ "$(id -u)" -eq 0 ] || skip "needs root (namespaces, smbd, bind mounts)"
  for p in unshare ip smbd smbclient smbpasswd smbcontrol smbstatus testparm \
           flock logger rsyslogd timeout; do
    command -v "$p" >/dev/null || skip "$p not installed"
  done
  ls /usr/lib/*/samba/vfs/full_audit.so >/dev/null 2>&1 ||
    skip "Samba's full_audit module not installed (samba-vfs-modules)"
  ls /usr/lib/*/rsyslog/omprog.so >/dev/null 2>&1 ||
    skip "rsyslog's omprog module not installed"
  unshare --mount --net --pid --fork --mount-proc \
    sh -c 'mount --make-rprivate / && ip link set lo up' >/dev/null 2>&1 ||
    skip "cannot make a mount, network and PID namespace"
}

# samba_private_system W: inside the namespace, with the work folder W:
# private mounts, the loopback up, a private /dev (so that rsyslogd's
# /dev/log is its own), the user $samba_user known only in here, and
# Samba's folders on tmpfs (so that nothing of the machine's Samba is
# read or written). W/etc holds the private passwd, group and samba.
samba_user=quser
samba_password='Qu1llo-test'
samba_private_system() {
  local W="$1" n d
  mount --make-rprivate /
  ip link set lo up

  mkdir -p "$W/hostdev"
  mount --rbind /dev "$W/hostdev"
  mount -t tmpfs -o mode=755 tmpfs /dev
  for n in null zero full random urandom tty; do
    if [ -e "$W/hostdev/$n" ]; then
      touch "/dev/$n"
      mount --bind "$W/hostdev/$n" "/dev/$n"
    fi
  done
  umount -l "$W/hostdev"
  ln -s /proc/self/fd /dev/fd
  ln -s /proc/self/fd/0 /dev/stdin
  ln -s /proc/self/fd/1 /dev/stdout
  ln -s /proc/self/fd/2 /dev/stderr
  mkdir /dev/shm
  mount -t tmpfs -o mode=1777 tmpfs /dev/shm

  mkdir -p "$W/etc"
  cp /etc/passwd "$W/etc/passwd"
  cp /etc/group "$W/etc/group"
  echo "$samba_user:x:4711:4711:quillo test:/nonexistent:/usr/sbin/nologin" >>"$W/etc/passwd"
  echo "$samba_user:x:4711:" >>"$W/etc/group"
  mount --bind "$W/etc/passwd" /etc/passwd
  mount --bind "$W/etc/group" /etc/group

  mkdir -p "$W/etc/samba"
  for d in /etc/samba /var/lib/samba /var/cache/samba /var/log/samba /run/samba; do
    if [ -d "$d" ]; then mount -t tmpfs -o mode=755 tmpfs "$d"; fi
  done
}

# samba_quillo_fragment BUILD AUDIT_LOG SEND_LOG: the example rsyslog
# fragment on standard output, calling BUILD's quillo-send, with the raw
# audit lines in AUDIT_LOG and quillo-send's standard error in SEND_LOG.
samba_quillo_fragment() {
  sed -e "s|/usr/bin/quillo-send|$1/client/quillo-send|" \
    -e "s|/var/log/samba-audit.log|$2|" \
    -e "s|/var/log/quillo-send.log|$3|" \
    "$samba_src/examples/samba/rsyslog-quillo.conf"
}

# samba_start_rsyslogd DIR FRAGMENT: a private rsyslogd listening on the
# private /dev/log, with FRAGMENT and everything else going to
# DIR/internal.log; its work directory is DIR/spool. Sets rsyslogd_pid.
rsyslogd_pid=
samba_start_rsyslogd() {
  local dir="$1" fragment="$2"
  mkdir -p "$dir/spool"
  cat >"$dir/rsyslog.conf" <<EOF
global(workDirectory="$dir/spool")
module(load="imuxsock" SysSock.Name="/dev/log" SysSock.RateLimit.Interval="0")
include(file="$fragment")
*.* action(type="omfile" file="$dir/internal.log")
EOF
  rsyslogd -N1 -f "$dir/rsyslog.conf" >"$dir/check.out" 2>&1 ||
    { cat "$dir/check.out" >&2; fail "rsyslogd rejects the configuration"; }
  rsyslogd -n -f "$dir/rsyslog.conf" -i "$dir/rsyslogd.pid" \
    >"$dir/rsyslogd.out" 2>&1 &
  rsyslogd_pid=$!
  wait_for "rsyslogd's /dev/log" test -S /dev/log
}

# samba_stop_rsyslogd: stops the rsyslogd started last (which first
# drains its queues) and removes its socket, so that the next one's is
# waited for.
samba_stop_rsyslogd() {
  kill "$rsyslogd_pid"
  wait "$rsyslogd_pid" 2>/dev/null || true
  rsyslogd_pid=
  rm -f /dev/log
}

# samba_start_smbd W SHARE FOLDER: smbd on 127.0.0.1:445 with the share
# section of examples/samba/smb-share.conf as SHARE on FOLDER (owned by
# $samba_user, who gets a Samba password), its state under W/samba and
# the section's included deny file (of examples/samba/quillo-contain.sh)
# as W/samba/denied-users.conf, not made here. Sets samba_conf (the
# smb.conf, for smbclient too), samba_deny_file and smbd_pid.
samba_conf=
samba_deny_file=
smbd_pid=
samba_start_smbd() {
  local W="$1" share="$2" folder="$3"
  mkdir -p "$folder" "$W/samba"/{private,lock,state,cache,run,ncalrpc,binddns}
  chown "$samba_user:$samba_user" "$folder"
  samba_conf="$W/etc/samba/smb.conf"
  samba_deny_file="$W/samba/denied-users.conf"
  cat >"$samba_conf" <<EOF
[global]
   server role = standalone server
   workgroup = QTEST
   netbios name = QTESTSRV
   interfaces = 127.0.0.1
   bind interfaces only = yes
   smb ports = 445
   disable netbios = yes
   passdb backend = tdbsam
   map to guest = never
   private dir = $W/samba/private
   lock directory = $W/samba/lock
   state directory = $W/samba/state
   cache directory = $W/samba/cache
   pid directory = $W/samba/run
   ncalrpc dir = $W/samba/ncalrpc
   binddns dir = $W/samba/binddns
   usershare path = $W/samba/usershares
   logging = file
   log file = $W/samba/log.%m
   log level = 1
   load printers = no
   printcap name = /dev/null
   disable spoolss = yes
   unix charset = UTF-8

EOF
  sed -e "s|^\([[:space:]]*path[[:space:]]*=\).*|\1 $folder|" \
    -e "s|^\([[:space:]]*include[[:space:]]*=\).*|\1 $samba_deny_file|" \
    -e "s|^\[docs\]|[$share]|" \
    "$samba_src/examples/samba/smb-share.conf" >>"$samba_conf"
  grep -q "include = $samba_deny_file\$" "$samba_conf" ||
    fail "the share example includes no deny file to point elsewhere"
  printf '%s\n%s\n' "$samba_password" "$samba_password" |
    smbpasswd -c "$samba_conf" -a -s "$samba_user" >"$W/smbpasswd.out" 2>&1 ||
    { cat "$W/smbpasswd.out" >&2; fail "smbpasswd"; }
  smbd --foreground --no-process-group -s "$samba_conf" --debug-stdout \
    >"$W/smbd.out" 2>&1 &
  # shellcheck disable=SC2034  # for the scripts that source this
  smbd_pid=$!
  wait_for "smbd on 127.0.0.1:445" samba_port_open
}
samba_port_open() { (exec 3<>/dev/tcp/127.0.0.1/445) 2>/dev/null; }

# samba_add_user W NAME UID PASSWORD: one more user, known only in the
# namespace (W/etc's passwd and group, bound over /etc's), with a Samba
# password in the running smbd's passdb. Call after samba_start_smbd.
samba_add_user() {
  local W="$1" name="$2" uid="$3" password="$4"
  echo "$name:x:$uid:$uid:quillo test:/nonexistent:/usr/sbin/nologin" >>"$W/etc/passwd"
  echo "$name:x:$uid:" >>"$W/etc/group"
  printf '%s\n%s\n' "$password" "$password" |
    smbpasswd -c "$samba_conf" -a -s "$name" >>"$W/smbpasswd.out" 2>&1 ||
    { cat "$W/smbpasswd.out" >&2; fail "smbpasswd $name"; }
}
