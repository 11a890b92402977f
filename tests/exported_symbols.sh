#!/usr/bin/env bash
# Compares the dynamic symbols that libquor.so defines with the implemented rows
# of the function table: nothing missing, nothing extra.
set -euo pipefail
lib=$1 table=$2
expected=$(sed -n -E 's/^QUOR_FN\(([A-Za-z_0-9]+), 0x[0-9a-f]+, 1\)$/\1/p' "$table"; echo quorThisIsAStatusTreeLibrary)
# Sanitizer builds add their own markers. A C++-linkage alias, when present, demangles to the same name with its arguments.
actual=$(nm -D --defined-only "$lib" | awk '{print $3}' | c++filt | sed -E 's/\(.*//' | grep -v -E '^(_init|_fini|_edata|_end|__bss_start|__odr_asan\..*)$' || true)
diff <(sort <<<"$expected") <(sort -u <<<"$actual") && echo "exported symbols match: $(wc -l <<<"$expected")"
