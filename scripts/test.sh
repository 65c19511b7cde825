#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test: the socket
# layers and the journal's flush thread once more under ThreadSanitizer (the
# listening server serves on threads of its own), then a few seconds of each fuzz target (fuzz/run.sh),
# then the whole suite under AddressSanitizer and UBSan, and last, with
# VELTROW_PACKAGE_TEST=1 (root and apt; CI sets it), the Debian package built,
# installed, started as an ordinary user and removed.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh --tests

export QT_QPA_PLATFORM=offscreen
jobs="$(nproc)"

tsan=build-tsan
cmake -S . -B "$tsan" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVELTROW_TSAN=ON >/dev/null
cmake --build "$tsan" --target platform_tests net_tests filesync_tests -j"$jobs"
echo "== ThreadSanitizer: platform, socket and journal flush tests"
TSAN_OPTIONS=halt_on_error=1 "$tsan/tests/platform/platform_tests" --gtest_brief=1
TSAN_OPTIONS=halt_on_error=1 "$tsan/tests/net/net_tests" --gtest_brief=1
TSAN_OPTIONS=halt_on_error=1 "$tsan/tests/engine/filesync_tests" --gtest_brief=1

echo "== libFuzzer: a short run of every target"
bash fuzz/run.sh 3

build=build-test
# The benchmarks too, so that none falls behind the code it measures.
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVELTROW_SANITIZE=ON -DVELTROW_BENCH=ON >/dev/null
cmake --build "$build" -j"$jobs"
echo "== AddressSanitizer and UBSan: every test"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
ctest --test-dir "$build" --output-on-failure -j"$jobs" --no-tests=error

if [ "${VELTROW_PACKAGE_TEST:-}" = 1 ]; then
  echo "== The Debian package: built, installed, started by a user, removed"
  bash tests/package/install_test.sh
fi
