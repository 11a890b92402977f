#!/usr/bin/env bash
# The C++ example the README shows is, line for line, the file the test suite builds.
set -euo pipefail
readme=$1 example=$2
shown=$(awk '/^## C\+\+ interface/{section=1} section && /^```cpp$/{inside=1; next}
             inside && /^```$/{exit} inside{print}' "$readme")
if [[ "$shown" != "$(cat "$example")" ]]; then
    diff <(printf '%s\n' "$shown") "$example" || true
    echo "the README's C++ example differs from $example" >&2
    exit 1
fi
echo "README example matches"
