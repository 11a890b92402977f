#!/usr/bin/env bash
# Builds Quor and runs the demonstration.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh" build -DCMAKE_BUILD_TYPE=RelWithDebInfo
"$root/build/tools/quor-demo"
