#!/usr/bin/env bash
# Builds both targets and runs every test:
#   native-asan  the native build with AddressSanitizer and UBSan, all tests;
#   native-tsan  ThreadSanitizer, the tests labelled "concurrency" only;
#   windows      the mingw-w64 build, all tests under Wine;
#   registration the keys kelmyr register writes natively against those
#                regsvr32 writes under Wine, module paths aside;
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
# Every test has its own registry, key folder, home and log in the build
# tree (cmake/KelmyrTesting.cmake). As root, the run checks it: in a mount
# namespace of its own, the machine's state folder and the user's are empty
# scratch folders, which must still be empty when the tests end.
isolated() {
  if [ "$(id -u)" = 0 ] && unshare -m true 2>/dev/null && [ -d "$HOME/.local" ]; then
    mkdir -p /var/lib/kelmyr
    unshare -m bash -c 'set -e
      mount -t tmpfs none /var/lib/kelmyr
      mount -t tmpfs none "$HOME/.local"
      "$@"
      written=$(find /var/lib/kelmyr "$HOME/.local" -mindepth 1)
      if [ -n "$written" ]; then
        echo "tests wrote outside their own folders:" >&2
        echo "$written" >&2
        exit 1
      fi
      echo "checked: the tests wrote nothing to /var/lib/kelmyr or $HOME/.local"' isolated "$@"
  else
    echo "(not checked that tests keep to their folders: needs root and unshare)"
    "$@"
  fi
}
isolated ctest --preset native-asan

count() { ctest "$@" -N | sed -n 's/^Total Tests: //p'; }
expected=$(count --test-dir build/native-asan -L concurrency)
if [ "$expected" -gt 0 ]; then
  step "native-tsan: build and test the concurrency tests"
  cmake --preset native-tsan >/dev/null
  cmake --build --preset native-tsan -j "$jobs"
  selected=$(count --preset native-tsan)
  echo "native-tsan selects $selected tests (labelled concurrency in native-asan: $expected)"
  if [ "$selected" -lt "$expected" ] || [ "$selected" -lt 10 ]; then
    echo "native-tsan selects too few tests" >&2
    exit 1
  fi
  isolated ctest --preset native-tsan
fi

step "windows: build"
cmake --preset windows >/dev/null
cmake --build --preset windows -j "$jobs"
step "windows: test under Wine"
source scripts/wine-env.sh
trap wine_stop EXIT
wine_start
# Wine now and then kills a test process while it starts, before any test
# code runs: only such failures are run once more, and named.
if ! ctest --preset windows; then
  retry=$(python3 scripts/wine-retry.py build/windows)
  [ -n "$retry" ] || exit 1
  echo "retried after a Wine start-up crash:"
  printf '  %s\n' $retry
  ctest --preset windows -R "^($(printf '%s\n' $retry | sed 's/[].*+?()|^$\[]/\\&/g' | paste -sd'|'))\$"
fi
wine_stop
trap - EXIT

step "registration: the native keys against those regsvr32 writes under Wine"
python3 scripts/registration-parity.py build/native-asan/host/kelmyr \
  build/native-asan/host/qv.kelmyr.so build/windows/host/qv.kelmyr.dll

step "native-release: benchmarks (smoke)"
cmake --preset native-release >/dev/null
cmake --build --preset native-release -j "$jobs"
bash scripts/bench.sh --smoke

step "native-fuzz: fuzzers for a bounded time"
bash scripts/fuzz.sh

step "done in $(( $(date +%s) - start )) s"
