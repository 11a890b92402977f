#!/usr/bin/env bash
# Runs every test: a normal build, then an AddressSanitizer +
# UndefinedBehaviorSanitizer build of the same suites.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
jobs=$(nproc)

"$root/scripts/setup.sh" build -DCMAKE_BUILD_TYPE=RelWithDebInfo
(cd build && ctest --output-on-failure -j "$jobs" --timeout 300)

"$root/scripts/setup.sh" build-asan -DCMAKE_BUILD_TYPE=Debug -DQUOR_SANITIZE=ON
(cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
   ctest --output-on-failure -j "$jobs" --timeout 600)
