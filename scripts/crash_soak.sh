#!/usr/bin/env bash
# Long runs of the process-death tests: repeats the 300-round heap kill test and
# sums what it found, then repeats the kill tests of node sections, property
# areas and carved chunks. Usage: scripts/crash_soak.sh [repeats] [build dir]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
repeats=${1:-20}
build=${2:-$root/build}
cmake --build "$build" -j2 --target quor_shm_tests quor_tree_tests quor_props_tests >/dev/null
"$build/tests/quor_shm_tests" --gtest_filter='CrashTest.*' --gtest_repeat="$repeats" 2>/dev/null |
  awk '
    /^crash rounds/ {
      rounds += $3; gsub(",", "");
      for (i = 1; i <= NF; ++i) {
        if ($i == "kill") broken += $(i + 1);
        if ($i == "repaired") repaired += $(i + 1);
        if ($i == "fenced") fenced += $(i + 1);
      }
    }
    /FAILED/ { failed = 1 }
    END {
      printf "rounds %d: inconsistent at the kill %d, repaired %d, fenced %d\n", rounds, broken, repaired, fenced;
      if (failed) { print "FAILED"; exit 1 }
    }'
node_kills='DeadWriterTest.*:DebrisTest.*'
if ! "$build/tests/quor_tree_tests" --gtest_filter="$node_kills" --gtest_repeat="$repeats" >/dev/null 2>&1 ||
  ! "$build/tests/quor_props_tests" --gtest_filter='KilledWriter.*' --gtest_repeat="$repeats" >/dev/null 2>&1; then
  echo "node kill tests: FAILED"
  exit 1
fi
echo "node kill tests: $repeats repeats passed"
