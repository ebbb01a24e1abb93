#!/usr/bin/env bash
# The main job: builds the native tree and runs the kelmyr tool's
# demonstration with the logging channel written to a scratch file, then
# shows that log; then configures a scratch registry hive with `kelmyr reg`:
# imports the sample store catalogue, queries it and exports it; then, on
# that catalogue, lists the stores the service starts (`kelmyr stores`), sets
# and reads data in a shared memory store and a registry store with their
# version counters (`kelmyr data`) and flushes a product's stores; then, in a
# login session, uses a per-session encrypted memory store and the PIN store
# (`kelmyr pin`: a PIN cached, its state, its removal, a flush; the PIN is
# never shown).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
cmake --preset native >/dev/null
cmake --build --preset native -j "$(nproc)" --target kelmyr

scratch=$(mktemp -d /tmp/kelmyr-main.XXXXXX)
trap 'rm -rf "$scratch"' EXIT
export KELMYR_LOG_FILE="$scratch/kelmyr.log"
export KELMYR_DPAPI_KEYS="$scratch/keys"  # the protection keys of this run
mkdir -m 700 "$KELMYR_DPAPI_KEYS"

kelmyr=./build/native/host/kelmyr
$kelmyr demo
echo
echo "log ($KELMYR_LOG_FILE):"
cat "$KELMYR_LOG_FILE"

echo
echo "registry: a scratch hive, configured with kelmyr reg"
export KELMYR_REGISTRY="$scratch/registry.db"
catalogue='HKLM\Software\Orvane\Kelmyr'
$kelmyr reg import config/sample-catalogue.reg
$kelmyr reg add "$catalogue" /v DisableTimeoutAfterEndSession /t REG_DWORD /d 30 /f
$kelmyr reg query "$catalogue" /s
$kelmyr reg export "$catalogue" "$scratch/catalogue.reg" /y
echo
echo "exported ($scratch/catalogue.reg, UTF-16LE as the Windows editor writes it):"
iconv -f UTF-16LE -t UTF-8 "$scratch/catalogue.reg" | tr -d '\r' | sed '1s/^\xEF\xBB\xBF//'

echo
echo "the service on that catalogue, as a trusted low-integrity client sees it:"
$kelmyr stores --low
echo
echo "a shared memory store and a registry store, set and read with kelmyr data:"
$kelmyr data set ReaderState Cards/A id string hello world + versions ReaderState Cards/A \
  + set ReaderState Cards/A n int 1 -2 0x10 + versions ReaderState Cards/A \
  + get ReaderState Cards/A id + get ReaderState Cards/A n + list ReaderState Cards/A --low
$kelmyr data set MachineSettings Reader name string r1 --low
$kelmyr data get MachineSettings Reader name --low
$kelmyr flush Tallis --low

# Per-session stores and the PIN store serve a client by its terminal
# session. Where logind does not run (a build machine, a container),
# login-session.sh records one for the commands, as logind would.
if ! scripts/login-session.sh check; then
  echo
  echo "(no login session here: that needs logind, or root and a writable cgroup2 mount;"
  echo " the per-session store and the PIN store are left out)"
  exit 0
fi
session=$((40000 + $$ % 10000))
in_session() { scripts/login-session.sh run "$session" 65534 "$@"; }
echo
echo "a per-session encrypted memory store, used by a client in a login session:"
in_session $kelmyr data set CardCache Cards/A serial string 0042 + get CardCache Cards/A serial \
  + versions CardCache Cards/A --low
echo
echo "the PIN store ($($kelmyr stores --low | sed -n "s/^PIN store: //p")), for a client in a login session:"
printf '%s\n' 1234 | in_session $kelmyr pin set Cards/A User + state Cards/A User \
  + remove Cards/A User + state Cards/A User + flush --low
