#!/usr/bin/env bash
# Installs what building and testing need on a Debian 12 machine, only when
# something is missing. Safe to run again.
set -euo pipefail

packages=(
  cmake ninja-build g++ clang-format ccache python3
  libgtest-dev googletest libbenchmark-dev
  libsqlite3-dev libssl-dev libsystemd-dev
  clang-14 libclang-rt-14-dev
  g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev
  wine64 wine64-tools
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $sudo_cmd apt-get update -qq
  # No recommends: keeps Wine's Mono and Gecko installers (and their prompts) out.
  $sudo_cmd apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
