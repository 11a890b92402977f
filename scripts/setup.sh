#!/usr/bin/env bash
# Installs what the build needs on a Debian machine (only what is missing) and
# configures and builds into $1 with the CMake options that follow.
# QUOR_EXTRA_PACKAGES names more packages a particular build needs.
set -euo pipefail
build=${1:-build}
shift || true

need=()
for pkg in cmake g++ make pkg-config libgtest-dev libbenchmark-dev libboost-dev binutils libcli11-dev \
  nlohmann-json3-dev ${QUOR_EXTRA_PACKAGES:-}; do
  dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
done
if ((${#need[@]})); then
  echo "installing: ${need[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${need[@]}" >/dev/null
fi

root=$(cd "$(dirname "$0")/.." && pwd)
cmake -S "$root" -B "$root/$build" "$@" >/dev/null
cmake --build "$root/$build" -j "$(nproc)"
