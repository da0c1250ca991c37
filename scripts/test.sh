#!/usr/bin/env bash
# Installs the build dependencies, checks that every include goes down the
# layers of the README's table, that no source file or function of the
# product is too long and that the threaded code passes clang's lock
# analysis, builds quillo in a normal, an ASan+UBSan and a TSan
# configuration with warnings as errors, and runs every test. Ends with
# ctest's summary. Each configure states whether its folder builds the
# tests and the benchmarks, whatever another command left in its cache.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
echo "== Layers: every include goes downward"
scripts/check-layers.sh

jobs=2
status=0
step_start=$SECONDS
step_time() {
  echo "   ($((SECONDS - step_start)) s)"
  step_start=$SECONDS
}

# The product's sources, NUL-separated: tests, their fixtures, bench/ and
# fuzz/ are not held to the limits below.
product_sources() {
  local dirs=() d
  for d in base protocol paths support logstore config notice forward \
    alert reader daemon client query seal web; do
    [ -d "$d" ] && dirs+=("$d")
  done
  find "${dirs[@]}" -name '*.cc' ! -name '*_test.cc' ! -name '*_test_util.cc' \
    -print0 | sort -z
}

echo "== Source files: no product .cc over 400 lines"
while IFS= read -r -d '' f; do
  lines=$(wc -l <"$f")
  if [ "$lines" -gt 400 ]; then
    echo "$f: $lines lines" >&2
    status=1
  fi
done < <(product_sources)
step_time

configure() {  # configure <dir> <cmake args...>
  local dir=$1
  shift
  cmake -S . -B "$dir" -DQUILLO_WERROR=ON "$@" >/dev/null
}

configure build/release -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQUILLO_BUILD_TESTS=ON -DQUILLO_BUILD_BENCH=ON \
  -DCMAKE_EXPORT_COMPILE_COMMANDS=ON

echo "== Functions: none of the product over 60 lines (clang-tidy)"
# The threshold is .clang-tidy's; its HeaderFilterRegex brings in the
# functions defined in the product's headers.
# Only clang's count of the warnings it generated is left out.
product_sources | xargs -0 -P"$jobs" -n8 clang-tidy-14 -p build/release \
  --quiet --checks='-*,readability-function-size' \
  --warnings-as-errors=readability-function-size 2>&1 |
  { grep -Ev '^[0-9]+ (warning|error)s? (and [0-9]+ errors? )?generated\.$' ||
    true; } || status=1
step_time

echo "== Thread safety: the threaded folders under clang's -Wthread-safety"
# Each product file of support/thread/, alert/, forward/ and daemon/ with
# the flags of its compile command but the warnings (GCC's), syntax only.
python3 - build/release "$jobs" <<'PY' || status=1
import json, os, shlex, subprocess, sys
from concurrent.futures import ThreadPoolExecutor

build, jobs = sys.argv[1], int(sys.argv[2])
folders = ("support/thread/", "alert/", "forward/", "daemon/")
commands = []
for entry in json.load(open(os.path.join(build, "compile_commands.json"))):
    path = os.path.relpath(entry["file"])
    if not path.startswith(folders) or path.endswith(("_test.cc", "_test_util.cc")):
        continue
    command, args = ["clang++-14"], iter(shlex.split(entry["command"])[1:])
    for arg in args:
        if arg == "-o":
            next(args)
        elif arg != "-c" and not arg.startswith("-W"):
            command.append(arg)
    command += ["-fsyntax-only", "-Wthread-safety", "-Werror=thread-safety"]
    commands.append((path, command, entry["directory"]))


def check(item):
    path, command, directory = item
    done = subprocess.run(command, cwd=directory, capture_output=True, text=True)
    return done.returncode, done.stderr


failed = 0
with ThreadPoolExecutor(jobs) as pool:
    for code, errors in pool.map(check, sorted(commands)):
        sys.stderr.write(errors)
        failed += code != 0
print(f"   {len(commands)} files, {failed} failed")
sys.exit(1 if failed or not commands else 0)
PY
step_time

cmake --build build/release -j"$jobs"
configure build/asan -DCMAKE_BUILD_TYPE=Debug -DQUILLO_SANITIZE=address,undefined \
  -DQUILLO_BUILD_TESTS=ON -DQUILLO_BUILD_BENCH=OFF
cmake --build build/asan -j"$jobs"
# ThreadSanitizer only for the tests of the threaded parts (the signal and
# threshold tests run quillod built with it).
configure build/tsan -DCMAKE_BUILD_TYPE=Debug -DQUILLO_SANITIZE=thread \
  -DQUILLO_BUILD_TESTS=ON -DQUILLO_BUILD_BENCH=OFF
cmake --build build/tsan -j"$jobs" --target worker_test \
  alert_thread_test alert_engine_test forwarder_test signals_e2e_test \
  response_runner_test threshold_e2e_test web_e2e_test

echo "== Packaging: install tree, service unit, manual pages, Debian package"
packaging/check.sh build/release || status=1
echo "== ASan+UBSan: every test"
# The real quiet minute (label slow) and the Samba chain (label system)
# run in the normal build only.
(cd build/asan && ctest -j"$jobs" --output-on-failure -LE 'slow|system') ||
  status=1
echo "== TSan: the threaded tests"
(cd build/tsan && ctest -j"$jobs" --output-on-failure -L threads) || status=1
echo "== Fuzz targets, a short run each"
QUILLO_FUZZ_BUILD_DIR=build/fuzz fuzz/run.sh 30 || status=1
echo "== Normal build: every test"
(cd build/release && ctest -j"$jobs" --output-on-failure) || status=1
exit $status
