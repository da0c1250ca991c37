#!/bin/bash
# A long fuzzing campaign: every named target (default: all of fuzz/run.sh's)
# runs at the lowest priority until it has executed RUNS inputs (default
# 10,000,000) or SECONDS have passed (default 3600), JOBS targets at a time
# (default 2). The corpus each target grows is kept in OUT/corpus/<target>,
# so a second campaign goes on from the first; crashes, leaks, hangs (10 s
# per input) and running out of memory (2048 MB) leave their input in
# OUT/artifacts. Ends with one line of figures per target.
#
#   fuzz/campaign.sh [-r RUNS] [-s SECONDS] [-j JOBS] [-o OUT] [target...]
#
# QUILLO_FUZZ_BUILD_DIR chooses the build directory, as for fuzz/run.sh.
set -u -o pipefail

runs=10000000
seconds=3600
jobs=2
out="${TMPDIR:-/tmp}/quillo-fuzz-campaign"
while getopts "r:s:j:o:" opt; do
  case "$opt" in
    r) runs=$OPTARG ;;
    s) seconds=$OPTARG ;;
    j) jobs=$OPTARG ;;
    o) out=$OPTARG ;;
    *) echo "usage: $0 [-r RUNS] [-s SECONDS] [-j JOBS] [-o OUT] [target...]" >&2
       exit 1 ;;
  esac
done
shift $((OPTIND - 1))

here="$(cd "$(dirname "$0")" && pwd)"
repo="$(dirname "$here")"
build="${QUILLO_FUZZ_BUILD_DIR:-${TMPDIR:-/tmp}/quillo-fuzz-build}"
if (($#)); then
  targets=("$@")
else
  # The list fuzz/run.sh runs, so that the two never disagree.
  eval "$(sed -n '/^targets=(/,/)/p' "$here/run.sh")"
fi

CC=clang CXX=clang++ cmake -S "$repo" -B "$build" -DQUILLO_BUILD_FUZZ=ON \
  -DQUILLO_BUILD_TESTS=OFF -DQUILLO_BUILD_BENCH=OFF -DQUILLO_WERROR=ON \
  -DQUILLO_SANITIZE=address,undefined >/dev/null || exit 1
cmake --build "$build" -j"$(nproc)" --target "${targets[@]}" || exit 1

mkdir -p "$out/artifacts" "$out/logs"
run_one() {  # run_one <target>
  local t=$1
  mkdir -p "$out/corpus/$t" "$out/tmp/$t"
  cp -n "$here/corpus/$t/"* "$out/corpus/$t/" 2>/dev/null
  local start=$SECONDS
  TMPDIR="$out/tmp/$t" nice -n 19 "$build/fuzz/$t" \
    -runs="$runs" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$out/artifacts/$t-" \
    "$out/corpus/$t" >"$out/logs/$t.log" 2>&1
  local rc=$?
  local execs rate
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$out/logs/$t.log")
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$out/logs/$t.log")
  printf '%-22s rc %d  %s executions in %d s (%s/s), corpus %d inputs\n' \
    "$t" "$rc" "${execs:-?}" $((SECONDS - start)) "${rate:-?}" \
    "$(find "$out/corpus/$t" -type f | wc -l)" >"$out/logs/$t.summary"
}

running=0
for t in "${targets[@]}"; do
  run_one "$t" &
  running=$((running + 1))
  if ((running >= jobs)); then
    wait -n
    running=$((running - 1))
  fi
done
wait
cat "$out/logs/"*.summary
if compgen -G "$out/artifacts/*" >/dev/null; then
  echo "findings in $out/artifacts" >&2
  exit 1
fi
