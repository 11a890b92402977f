#!/usr/bin/env bash
# Runs every test: a normal build, then an AddressSanitizer +
# UndefinedBehaviorSanitizer build of the same suites, then the Release build
# with the benchmarks, each benchmark run once briefly, and last the fuzz targets
# (clang), each for a fixed number of runs from a fixed seed.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
jobs=$(nproc)

"$root/scripts/setup.sh" build -DCMAKE_BUILD_TYPE=RelWithDebInfo
(cd build && ctest --output-on-failure -j "$jobs" --timeout 300)

"$root/scripts/setup.sh" build-asan -DCMAKE_BUILD_TYPE=Debug -DQUOR_SANITIZE=ON
(cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
   ctest --output-on-failure -j "$jobs" --timeout 600)

# The benchmark build as the README gives it: full optimisation finds warnings
# the other builds do not. Each program then runs once as a smoke test, not a
# measurement: the shortest timing each benchmark allows, and without the
# two-process hand-offs, whose fixed rounds of spinning between two processes
# take minutes once other work shares the cores.
"$root/scripts/setup.sh" build-bench -DCMAKE_BUILD_TYPE=Release -DQUOR_BENCH=ON
smoke_filter='-two_processes/'
for program in build-bench/bench/*; do
  [[ -f $program && -x $program ]] || continue
  echo "smoke: $program"
  out=$("$program" --benchmark_min_time=0.01 --benchmark_filter="$smoke_filter" 2>&1) || {
    echo "$out"
    echo "benchmark failed: $program" >&2
    exit 1
  }
  if grep -q "ERROR OCCURRED" <<<"$out"; then
    echo "$out"
    echo "benchmark reported an error: $program" >&2
    exit 1
  fi
done

# The fuzz targets must build and come through their first runs clean; the
# seed is fixed so that a run is the same on every machine (long runs: see
# fuzz/README.md).
QUOR_EXTRA_PACKAGES="clang libclang-rt-dev" CC=clang CXX=clang++ \
  "$root/scripts/setup.sh" build-fuzz -DQUOR_FUZZ=ON -DQUOR_TESTS=OFF
for target in build-fuzz/fuzz/fuzz_*; do
  [[ -f $target && -x $target ]] || continue
  echo "fuzz: $target"
  "$target" -seed=1 -runs=200000 -timeout=10 >"$target.log" 2>&1 || {
    tail -n 60 "$target.log"
    echo "fuzz target failed: $target" >&2
    exit 1
  }
done
