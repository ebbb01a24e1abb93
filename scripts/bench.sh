#!/usr/bin/env bash
# Runs the benchmarks of the Release build. --smoke runs each briefly, as CI
# does, to prove they still run; without it they run long enough to measure.
set -euo pipefail
cd "$(dirname "$0")/.."
min_time=0.5
[ "${1:-}" = "--smoke" ] && min_time=0.01
shopt -s nullglob
ran=0
for b in build/native-release/bench/*_bench; do
  echo "--- $(basename "$b")"
  "$b" --benchmark_min_time="$min_time" --benchmark_color=false
  ran=$((ran + 1))
done
[ "$ran" -gt 0 ] || { echo "no benchmark found; build the native-release preset first" >&2; exit 1; }
