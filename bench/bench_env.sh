# Shared by the benchmark scripts (sourced, not run): the Release build in
# a folder of its own, private appliance trees under temporary QUILLO_ROOTs,
# a realistic daemon configuration, and starting and stopping the servers.
# Nothing here touches /tmp/quillo or /mnt/data.
#
#   BUILD_DIR   build directory (default: <repo>/build/bench-release, which
#               no other command uses); a folder given here is reconfigured
#               as a Release build with the benchmarks and without
#               sanitizers, but keeps its tests setting
#   NO_BUILD    when set, use the programs already in BUILD_DIR

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${BUILD_DIR:-$repo/build/bench-release}
bench_pids=()
bench_dirs=()

bench_cleanup() {
  local pid dir
  for pid in "${bench_pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  # rsyslogd takes a moment to drain its queue; wait for each (10 s bound).
  for pid in "${bench_pids[@]}"; do
    for _ in $(seq 1 100); do
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.1
    done
  done
  for dir in "${bench_dirs[@]}"; do rm -rf "$dir"; done
  return 0
}
trap bench_cleanup EXIT
trap 'exit 130' INT TERM

# bench_build TARGET...: configures (Release) and builds the targets. The
# own folder leaves the tests out; a folder from BUILD_DIR may be one the
# test command uses, so there the tests setting is not touched.
bench_build() {
  [ -n "${NO_BUILD:-}" ] && return 0
  local tests=()
  [ -n "${BUILD_DIR:-}" ] || tests=(-DQUILLO_BUILD_TESTS=OFF)
  echo "building $* in $build" >&2
  cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=Release \
    -DQUILLO_BUILD_BENCH=ON -DQUILLO_SANITIZE= -DQUILLO_BUILD_FUZZ=OFF \
    "${tests[@]}" >/dev/null
  cmake --build "$build" -j"$(nproc)" --target "$@" >/dev/null
}

# bench_tree VAR: makes a private appliance tree and sets VAR to its root.
# The log root is <root>/logs. (Not called as $(bench_tree): the tree must
# be recorded in this shell's bench_dirs to be removed at exit.)
bench_tree() {
  local tree_  # not "root": that would hide the caller's VAR of that name
  tree_=$(mktemp -d "${TMPDIR:-/tmp}/quillo-bench.XXXXXX")
  bench_dirs+=("$tree_")
  mkdir -p "$tree_/tmp" "$tree_/var/lock" "$tree_/mnt/data/xmlconf" \
           "$tree_/mnt/data/conf/quillo" "$tree_/mnt/data/bin" "$tree_/logs"
  printf -v "$1" '%s' "$tree_"
}

# The 16 alert conditions: all week, all day, each failing a different
# step for the records the load generator sends (share docs, operation
# open_read, result ok, path projects/...).
bench_alerts() {
  local i share path users ops
  for i in $(seq 1 16); do
    share=docs path="" users='<usernamelist all="true"/>'
    ops='<operation type="open_read" enable="true"/><operation type="open_write" enable="true"/>'
    case $((i % 4)) in
      0) share="finance$i" ;;
      1) path="secret/*/plan_$i*" ;;
      2) users="<usernamelist><username>alice$i</username><username>Bob$i</username></usernamelist>" ;;
      3) ops='<operation type="delete" enable="true"/><operation type="rename" enable="true"/>' ;;
    esac
    cat <<XML
    <alert><name>watch-$i</name>$users
      <hostname>PC*</hostname><ipaddr>192.0.2.*</ipaddr><result/>
      <sharename>$share</sharename><path>$path</path>
      <period not="false"><weekdays sun="true" mon="true" tue="true" wed="true" thu="true" fri="true" sat="true"/>
        <from><hour>0</hour><minute>0</minute></from><to><hour>0</hour><minute>0</minute></to></period>
      <operationlist>$ops</operationlist></alert>
XML
  done
}

# bench_config ROOT: both logs on for every share, auto-delete on at 1%
# free space and 30 days (so the pass stops at the free-space check), and
# 16 alert conditions that match none of the generated records.
bench_config() {
  local root=$1
  {
    echo '<?xml version="1.0" encoding="UTF-8"?>'
    echo "<config><share><path>$root/logs</path></share>"
    for kind in eventlogconf accesslogconf; do
      echo "  <$kind enable=\"true\">"
      [ $kind = accesslogconf ] && echo '    <sharelist all="true"/>'
      echo '    <autodelete enable="true"><expire><days>30</days><percent>1</percent></expire></autodelete>'
      echo "  </$kind>"
    done
    echo "  <alertlist>"
    bench_alerts
    echo "  </alertlist></config>"
  } >"$root/mnt/data/xmlconf/config-quillo.xml"
}

# bench_wait_socket ROOT: waits (at most 10 s) for ROOT/tmp/quillo.
bench_wait_socket() {
  local i
  for i in $(seq 1 200); do
    [ -S "$1/tmp/quillo" ] && return 0
    sleep 0.05
  done
  echo "no socket at $1/tmp/quillo" >&2
  return 1
}

# bench_start_daemon ROOT: starts quillod on ROOT (output to /dev/null),
# sets daemon_pid.
bench_start_daemon() {
  QUILLO_ROOT=$1 "$build/daemon/quillod" >/dev/null 2>&1 &
  daemon_pid=$!
  bench_pids+=("$daemon_pid")
  bench_wait_socket "$1"
}

# bench_start_floor ROOT: starts the floor server on ROOT, sets floor_pid.
bench_start_floor() {
  QUILLO_ROOT=$1 "$build/bench/quillo_floor_server" "$1/logs" \
    >/dev/null 2>&1 &
  floor_pid=$!
  bench_pids+=("$floor_pid")
  bench_wait_socket "$1"
}

# field NAME LINE: the value of NAME=... in a load generator line.
field() {
  tr ' ' '\n' <<<"$2" | sed -n "s/^$1=//p"
}

# median of the numbers given as arguments.
median() {
  printf '%s\n' "$@" | sort -g | awk '{a[NR]=$1} END {
    if (NR % 2) print a[(NR + 1) / 2]; else print (a[NR / 2] + a[NR / 2 + 1]) / 2 }'
}
