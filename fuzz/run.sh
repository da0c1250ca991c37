#!/bin/bash
# Builds the libFuzzer targets (clang, ASan+UBSan) and runs each one for the
# given number of seconds (default 30) on a scratch copy of its seed corpus
# in fuzz/corpus/<target>; the checked-in corpus is never written to.
#
#   fuzz/run.sh [seconds-per-target]
#
# QUILLO_FUZZ_BUILD_DIR chooses the build directory (default: a directory
# below ${TMPDIR:-/tmp}). Exits non-zero when a target crashed, leaked,
# hung (10 s per input) or ran out of memory (2048 MB); the input that did
# it is kept in the reported artifacts directory.
set -u -o pipefail

seconds="${1:-30}"
case "$seconds" in
  ''|*[!0-9]*) echo "usage: $0 [seconds-per-target]" >&2; exit 1 ;;
esac

here="$(cd "$(dirname "$0")" && pwd)"
repo="$(dirname "$here")"
build="${QUILLO_FUZZ_BUILD_DIR:-${TMPDIR:-/tmp}/quillo-fuzz-build}"
targets=(fuzz_frame fuzz_wildcard fuzz_config fuzz_answer fuzz_stream_line
         fuzz_syslog_message fuzz_query_options fuzz_log_row fuzz_row_codec
         fuzz_spool_segment fuzz_forward_config)

CC=clang CXX=clang++ cmake -S "$repo" -B "$build" -DQUILLO_BUILD_FUZZ=ON \
  -DQUILLO_BUILD_TESTS=OFF -DQUILLO_BUILD_BENCH=OFF -DQUILLO_WERROR=ON \
  -DQUILLO_SANITIZE=address,undefined >/dev/null || exit 1
cmake --build "$build" -j"$(nproc)" --target "${targets[@]}" || exit 1

# Everything a run writes (corpus copies, the fuzzers' private trees,
# artifacts) stays below one scratch directory.
scratch="$(mktemp -d "${TMPDIR:-/tmp}/quillo-fuzz-XXXXXX")" || exit 1
artifacts="$scratch/artifacts"
mkdir -p "$artifacts"
failed=()
for t in "${targets[@]}"; do
  corpus="$scratch/corpus/$t"
  mkdir -p "$corpus" "$scratch/tmp/$t"
  cp "$here/corpus/$t/"* "$corpus/" 2>/dev/null
  echo "== $t: ${seconds}s"
  if ! TMPDIR="$scratch/tmp/$t" "$build/fuzz/$t" \
      -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
      -print_final_stats=1 -artifact_prefix="$artifacts/$t-" \
      "$corpus" 2>"$scratch/$t.log"; then
    failed+=("$t")
    tail -n 40 "$scratch/$t.log" >&2
  fi
  grep -E '^(stat::number_of_executed_units|stat::average_exec_per_sec|stat::peak_rss_mb)' \
    "$scratch/$t.log"
done

if ((${#failed[@]})); then
  echo "FAILED: ${failed[*]}; inputs in $artifacts" >&2
  exit 1
fi
rm -rf "$scratch"
echo "all fuzz targets ran clean"
