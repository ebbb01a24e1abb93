#!/usr/bin/env bash
# The main job: builds the native tree and runs the kelmyr tool's
# demonstration with the logging channel written to a scratch file, then
# shows that log.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
cmake --preset native >/dev/null
cmake --build --preset native -j "$(nproc)" --target kelmyr

scratch=$(mktemp -d /tmp/kelmyr-main.XXXXXX)
trap 'rm -rf "$scratch"' EXIT
export KELMYR_LOG_FILE="$scratch/kelmyr.log"

./build/native/tools/kelmyr/kelmyr demo
echo
echo "log ($KELMYR_LOG_FILE):"
cat "$KELMYR_LOG_FILE"
