#!/usr/bin/env bash
# Builds both targets and runs every test:
#   native-asan  the native build with AddressSanitizer and UBSan, all tests;
#   native-tsan  ThreadSanitizer, the tests labelled "concurrency" only;
#   windows      the mingw-w64 build, all tests under Wine;
#   native-release  benchmarks in Release, run briefly as a smoke check.
#   native-fuzz  the fuzzers (clang, libFuzzer, ASan, UBSan), 20 s each.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

bash scripts/setup.sh

jobs=$(nproc)
step() { printf '\n==== %s\n' "$*"; }
start=$(date +%s)

step "native-asan: build"
cmake --preset native-asan >/dev/null
cmake --build --preset native-asan -j "$jobs"
step "native-asan: test"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
ctest --preset native-asan

if ! ctest --test-dir build/native-asan -N -L concurrency | grep -q 'Total Tests: 0'; then
  step "native-tsan: build and test the concurrency tests"
  cmake --preset native-tsan >/dev/null
  cmake --build --preset native-tsan -j "$jobs"
  ctest --preset native-tsan
fi

step "windows: build"
cmake --preset windows >/dev/null
cmake --build --preset windows -j "$jobs"
step "windows: test under Wine"
source scripts/wine-env.sh
trap wine_stop EXIT
wine_start
ctest --preset windows
wine_stop
trap - EXIT

step "native-release: benchmarks (smoke)"
cmake --preset native-release >/dev/null
cmake --build --preset native-release -j "$jobs"
bash scripts/bench.sh --smoke

step "native-fuzz: fuzzers for a bounded time"
bash scripts/fuzz.sh

step "done in $(( $(date +%s) - start )) s"
