#!/usr/bin/env bash
# Builds the fuzzers (the native-fuzz preset: clang 14, libFuzzer,
# AddressSanitizer and UndefinedBehaviorSanitizer), makes their seed
# corpora and runs each for a bounded time. A crash, a leak, a sanitizer
# report or a time-out fails the run; the input that caused it is kept in
# <build dir>/fuzz-artifacts. The corpora grow in <build dir>/corpus from
# one run to the next.
#
#   scripts/fuzz.sh [--time SECONDS per fuzzer, default 20] [--no-build]
#                   [--build-dir DIR, default build/native-fuzz]
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=20
build=1
dir=build/native-fuzz
while [ $# -gt 0 ]; do
  case "$1" in
    --time) seconds="$2"; shift 2 ;;
    --no-build) build=0; shift ;;
    --build-dir) dir="$2"; shift 2 ;;
    *) echo "usage: $0 [--time SECONDS] [--no-build] [--build-dir DIR]" >&2; exit 2 ;;
  esac
done

if [ "$build" -eq 1 ]; then
  cmake --preset native-fuzz -B "$dir" >/dev/null
  cmake --build "$dir" -j "$(nproc)"
fi

seeds=$(mktemp -d /tmp/kelmyr-fuzz-seeds.XXXXXX)
trap 'rm -rf "$seeds"' EXIT
"$dir/fuzz/kelmyr_fuzz_seeds" "$seeds/decrypt_fuzz" "$seeds/restore_fuzz"
# The registry and PIN store fuzzers start from nothing: a type byte and data,
# or a call and its arguments, are found at once.
mkdir -p "$seeds/registry_fuzz" "$seeds/pincache_fuzz"

export ASAN_OPTIONS=detect_leaks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
mkdir -p "$dir/fuzz-artifacts"
for fuzzer in decrypt_fuzz restore_fuzz registry_fuzz pincache_fuzz; do
  echo "--- $fuzzer (${seconds} s)"
  mkdir -p "$dir/corpus/$fuzzer"
  log="$dir/fuzz-artifacts/$fuzzer.log"
  if ! "$dir/fuzz/$fuzzer" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
      -artifact_prefix="$dir/fuzz-artifacts/$fuzzer-" \
      "$dir/corpus/$fuzzer" "$seeds/$fuzzer" >"$log" 2>&1; then
    tail -n 80 "$log" >&2
    echo "$fuzzer failed; the input is in $dir/fuzz-artifacts, the output in $log" >&2
    exit 1
  fi
  grep -E '^Done [0-9]+ runs|^stat::(number_of_executed_units|peak_rss_mb)' "$log" || true
done
