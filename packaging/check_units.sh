# shellcheck shell=bash
# The parse check of quillo's service units, sourced by packaging/check.sh.
#
#   check_unit UNIT-FILE    quillod.service or quillo-web.service; prints
#                           what is wrong, status 1 when anything is
#
# A unit may hold sections, comments, blank lines and key=value lines with
# keys allowed for its section, and must hold the settings its program
# relies on. quillod's notification scripts inherit its sandbox, so it
# may set none that a script could notice (PrivateTmp, file-system, device
# or network restrictions); quillo-web starts nothing, so it is held to the
# opposite: it must be sandboxed, but in no way that hides the log tree or
# keeps it from making its token in quillod's state folder.

unit_keys_common="Unit.Description Unit.Documentation Unit.RequiresMountsFor
  Unit.After Unit.Wants Unit.Requires Install.WantedBy"
unit_keys_quillod="Service.Type Service.ExecStart Service.ExecReload
  Service.Restart Service.RestartSec Service.ProtectKernelTunables
  Service.ProtectKernelModules Service.ProtectControlGroups
  Service.RestrictRealtime Service.RestrictSUIDSGID Service.LockPersonality
  Service.LimitNOFILE"
# No User=, DynamicUser=, PrivateUsers=, InaccessiblePaths= or
# TemporaryFileSystem=: each would hide root's log tree or state folder.
unit_keys_web="Service.Type Service.ExecStart Service.Restart
  Service.RestartSec Service.UMask Service.CapabilityBoundingSet
  Service.NoNewPrivileges Service.ProtectSystem Service.ProtectHome
  Service.ReadWritePaths Service.PrivateTmp Service.PrivateDevices
  Service.ProtectKernelTunables Service.ProtectKernelModules
  Service.ProtectKernelLogs Service.ProtectControlGroups Service.ProtectClock
  Service.ProtectHostname Service.ProtectProc Service.RestrictAddressFamilies
  Service.RestrictNamespaces Service.RestrictRealtime Service.RestrictSUIDSGID
  Service.LockPersonality Service.MemoryDenyWriteExecute
  Service.SystemCallArchitectures Service.SystemCallFilter"

# parse_unit FILE: prints each setting as "Section.Key=value", in order;
# reports each line that is no section, comment, blank line or setting
# (or a setting before the first section) and then ends with status 1.
parse_unit() {
  awk '
    /^[ \t]*$/ || /^[#;]/ { next }
    /^\[[A-Za-z]+\]$/ { section = substr($0, 2, length($0) - 2); next }
    /^[A-Za-z]+=/ && section != "" { print section "." $0; next }
    { printf "line %d: not a section, comment or key=value: %s\n", NR, $0 > "/dev/stderr"
      bad = 1 }
    END { exit bad }' "$1"
}

# unit_value SETTINGS KEY: the value KEY (Section.Key) was last given in the
# parsed SETTINGS; empty when none.
unit_value() {
  printf '%s\n' "$1" | awk -v k="$2=" 'index($0, k) == 1 { v = substr($0, length(k) + 1) }
                                        END { print v }'
}

# unit_values SETTINGS KEY: every value of KEY, one word a line.
unit_values() {
  printf '%s\n' "$1" | awk -v k="$2=" 'index($0, k) == 1 { print substr($0, length(k) + 1) }' |
    tr -s ' ' '\n'
}

check_quillod_settings() {
  local s=$1 bad=0 limit
  [ "$(unit_value "$s" Service.ExecReload)" = '/bin/kill -HUP $MAINPID' ] ||
    { echo 'ExecReload is not /bin/kill -HUP $MAINPID'; bad=1; }
  [ -n "$(unit_value "$s" Service.RestartSec)" ] || { echo "no RestartSec"; bad=1; }
  case $(unit_value "$s" Service.ExecStart) in
    *" -D"* | *" --daemon"*) echo "ExecStart detaches"; bad=1 ;;
  esac
  # 256 waiting clients and 32 descriptors for the daemon itself.
  limit=$(unit_value "$s" Service.LimitNOFILE)
  if ! [[ $limit =~ ^[0-9]+$ ]] || [ "$limit" -lt 288 ]; then
    echo "LimitNOFILE is not a number of at least 288"
    bad=1
  fi
  return $bad
}

check_web_settings() {
  local s=$1 bad=0 caps
  unit_values "$s" Unit.Documentation | grep -qxF 'man:quillo-web(1)' ||
    { echo "Documentation lacks man:quillo-web(1)"; bad=1; }
  # Writes nothing but its token: the rest of the system is read-only...
  [ "$(unit_value "$s" Service.ProtectSystem)" = strict ] ||
    { echo "ProtectSystem is not strict"; bad=1; }
  # ...but quillod's state folder, where the token is made.
  unit_values "$s" Service.ReadWritePaths | sed 's/^-//' |
    grep -qx /mnt/data/conf/quillo ||
    { echo "ReadWritePaths lacks /mnt/data/conf/quillo"; bad=1; }
  # The log root may be anywhere, so no tree may be hidden from it.
  case $(unit_value "$s" Service.ProtectHome) in
    "" | no | read-only) ;;
    *) echo "ProtectHome hides /home, /root and /run/user"; bad=1 ;;
  esac
  caps=$(unit_value "$s" Service.CapabilityBoundingSet)
  if [ -z "$caps" ] || [[ $caps == "~"* ]]; then
    echo "CapabilityBoundingSet does not name the few capabilities kept"
    bad=1
  elif ! grep -qxF CAP_DAC_READ_SEARCH <<<"${caps// /$'\n'}"; then
    echo "CapabilityBoundingSet lacks CAP_DAC_READ_SEARCH: log files of other owners unreadable"
    bad=1
  fi
  [ "$(unit_value "$s" Service.NoNewPrivileges)" = yes ] ||
    { echo "NoNewPrivileges is not yes"; bad=1; }
  return $bad
}

check_unit() {
  local unit=$1 settings allowed key bad=0
  settings=$(parse_unit "$unit" 2>&1 >/dev/null) || { echo "$settings"; return 1; }
  settings=$(parse_unit "$unit")
  case $(basename "$unit") in
    quillod.service) allowed="$unit_keys_common $unit_keys_quillod" ;;
    quillo-web.service) allowed="$unit_keys_common $unit_keys_web" ;;
    *) echo "no rules for $(basename "$unit")"; return 1 ;;
  esac
  while IFS= read -r key; do
    grep -qxF "$key" <<<"${allowed//[[:space:]]/$'\n'}" ||
      { echo "key ${key#*.} not allowed in [${key%%.*}]"; bad=1; }
  done < <(printf '%s\n' "$settings" | sed 's/=.*//')
  [ "$(unit_value "$settings" Service.Type)" = simple ] ||
    { echo "Type is not simple"; bad=1; }
  [ "$(unit_value "$settings" Service.Restart)" = on-failure ] ||
    { echo "Restart is not on-failure"; bad=1; }
  [ "$(unit_value "$settings" Install.WantedBy)" = multi-user.target ] ||
    { echo "WantedBy is not multi-user.target"; bad=1; }
  case $(basename "$unit") in
    quillod.service) check_quillod_settings "$settings" || bad=1 ;;
    quillo-web.service) check_web_settings "$settings" || bad=1 ;;
  esac
  return $bad
}
