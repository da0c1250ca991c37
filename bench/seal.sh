#!/usr/bin/env bash
# What sealing costs, measured side by side in one run:
#
#   intake    records/s of quillod with sealing off and on, alternating:
#             the load generator on one session (WINDOW frames in flight)
#             and at one connection per record
#   verify    over a tree of TREE_ROWS access rows written by quillod with
#             sealing on: the seconds of quillo-query --verify (with the
#             verification key) beside those of a plain quillo-query over
#             the same rows (output to /dev/null), ROUNDS times each
#
# Medians and the ratios are printed with their targets (sealing costs at
# most 5 % of intake; --verify takes at most twice a plain query). Nothing
# passes or fails on them.
#
#   bench/seal.sh   RECORDS (200000), ONESHOT (20000), ROUNDS (3),
#                   WINDOW (256), TREE_ROWS (2000000); BUILD_DIR and
#                   NO_BUILD as in bench_env.sh
set -euo pipefail
source "$(dirname "$0")/bench_env.sh"
records=${RECORDS:-200000}
oneshot=${ONESHOT:-20000}
rounds=${ROUNDS:-3}
window=${WINDOW:-256}
tree_rows=${TREE_ROWS:-2000000}

bench_build quillod quillo-query quillo_load_gen
gen=$build/bench/quillo_load_gen
query=$build/query/quillo-query

field() { sed -n "s/.*[[:space:]]$1=\([^[:space:]]*\).*/\1/p" <<<"$2"; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", a / b }'; }

# seal_tree VAR: a tree whose configuration seals, with its keys made;
# sets VAR to its root and `key` to the verification key.
seal_tree() {
  local sealed_  # bench_tree's own local is called tree_
  bench_tree sealed_
  bench_config "$sealed_"
  sed -i 's|</config>|<sealconf enable="true"><epochminutes>15</epochminutes></sealconf></config>|' \
    "$sealed_/mnt/data/xmlconf/config-quillo.xml"
  key=$(QUILLO_ROOT=$sealed_ "$query" --setup-keys | sed -n 's/^verification key: //p')
  [ -n "$key" ] || { echo "--setup-keys failed" >&2; exit 1; }
  printf -v "$1" '%s' "$sealed_"
}

declare -A session_rate oneshot_rate
for mode in off on; do session_rate[$mode]=""; oneshot_rate[$mode]=""; done
for r in $(seq 1 "$rounds"); do
  for mode in off on; do
    if [ $mode = on ]; then
      seal_tree root
    else
      bench_tree root
      bench_config "$root"
    fi
    bench_start_daemon "$root"
    export QUILLO_ROOT=$root
    "$gen" -n 2000 -c 1 -S "$window" >/dev/null
    line=$("$gen" -n "$records" -c 1 -S "$window")
    session_rate[$mode]+=" $(field rate "$line")"
    line=$("$gen" -n "$oneshot" -c 1)
    oneshot_rate[$mode]+=" $(field rate "$line")"
    echo "  run $r sealing $mode: session $(echo "${session_rate[$mode]}" | awk '{print $NF}')/s, one-shot $(echo "${oneshot_rate[$mode]}" | awk '{print $NF}')/s"
    kill "$daemon_pid"
    wait "$daemon_pid" 2>/dev/null || true
  done
done

# The verify tree: TREE_ROWS rows in sealed files, the daemon stopped
# cleanly (its stop record seals the last lines).
seal_tree vroot
bench_start_daemon "$vroot"
QUILLO_ROOT=$vroot "$gen" -n "$tree_rows" -c 1 -S "$window" >/dev/null
kill "$daemon_pid"
wait "$daemon_pid" 2>/dev/null || true
rows=$(QUILLO_ROOT=$vroot "$query" --root "$vroot/logs" --kind access | wc -l)
echo "  verify tree: $rows access rows in $(find "$vroot/logs/accesslog" -name '*.csv' | wc -l) files"
plain_s=() verify_s=()
for r in $(seq 1 "$rounds"); do
  start=${EPOCHREALTIME/./}
  QUILLO_ROOT=$vroot "$query" --root "$vroot/logs" --kind access >/dev/null
  mid=${EPOCHREALTIME/./}
  status=0
  QUILLO_ROOT=$vroot "$query" --verify --verify-key "$key" --root "$vroot/logs" \
    >"$vroot/verify.out" || status=$?
  end=${EPOCHREALTIME/./}
  [ $status -eq 0 ] || { echo "--verify exited $status:" >&2; head "$vroot/verify.out" >&2; exit 1; }
  plain_s+=("$(awk -v a="$start" -v b="$mid" 'BEGIN { printf "%.3f", (b - a) / 1e6 }')")
  verify_s+=("$(awk -v a="$mid" -v b="$end" 'BEGIN { printf "%.3f", (b - a) / 1e6 }')")
  echo "  verify run $r: plain query ${plain_s[-1]} s, --verify ${verify_s[-1]} s"
done

# shellcheck disable=SC2086
m_s_off=$(median ${session_rate[off]}) m_s_on=$(median ${session_rate[on]})
# shellcheck disable=SC2086
m_o_off=$(median ${oneshot_rate[off]}) m_o_on=$(median ${oneshot_rate[on]})
m_plain=$(median "${plain_s[@]}") m_verify=$(median "${verify_s[@]}")
echo
echo "== intake, records/s, median of $rounds runs (sealing off / on)"
echo "  session ($window in flight)  $m_s_off / $m_s_on = $(ratio "$m_s_on" "$m_s_off") (target >= 0.95)"
echo "  one connection per record   $m_o_off / $m_o_on = $(ratio "$m_o_on" "$m_o_off") (target >= 0.95)"
echo "== $tree_rows rows: plain query $m_plain s, --verify $m_verify s: $(ratio "$m_verify" "$m_plain")x (target <= 2)"
