#!/usr/bin/env bash
# Installs the build dependencies, checks that every include goes down the
# layers of the README's table, builds quillo in a normal, an ASan+UBSan and
# a TSan configuration with warnings as errors, and runs every test. Ends
# with ctest's summary. Each configure states whether its folder builds the
# tests and the benchmarks, whatever another command left in its cache.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
echo "== Layers: every include goes downward"
scripts/check-layers.sh

jobs=2
configure() {  # configure <dir> <cmake args...>
  local dir=$1
  shift
  cmake -S . -B "$dir" -DQUILLO_WERROR=ON "$@" >/dev/null
}

configure build/release -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQUILLO_BUILD_TESTS=ON -DQUILLO_BUILD_BENCH=ON
cmake --build build/release -j"$jobs"
configure build/asan -DCMAKE_BUILD_TYPE=Debug -DQUILLO_SANITIZE=address,undefined \
  -DQUILLO_BUILD_TESTS=ON -DQUILLO_BUILD_BENCH=OFF
cmake --build build/asan -j"$jobs"
# ThreadSanitizer only for the tests of the threaded parts (the signal
# test runs quillod built with it).
configure build/tsan -DCMAKE_BUILD_TYPE=Debug -DQUILLO_SANITIZE=thread \
  -DQUILLO_BUILD_TESTS=ON -DQUILLO_BUILD_BENCH=OFF
cmake --build build/tsan -j"$jobs" --target thread_test worker_test \
  alert_thread_test forwarder_test signals_e2e_test

status=0
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
