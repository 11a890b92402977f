#!/usr/bin/env bash
# Builds Quor and walks through a status tree's life with quorctl: a tree is
# created from a JSON file, watched from a second process while its values
# change, inspected, checked and deleted.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh" build -DCMAKE_BUILD_TYPE=RelWithDebInfo

quorctl="$root/build/tools/quorctl/quorctl"
tree="$root/tools/quorctl/example-tree.json"
name="quor-demo-$$"
pump='/42:plant\x2fline-1/7:pump-1'
watcher=
cleanup() {
  [[ -n $watcher ]] && kill "$watcher" 2>/dev/null || true
  "$quorctl" delete "$name" --force >/dev/null 2>&1 || true
}
trap cleanup EXIT

step() { printf '\n\033[1m== %s\033[0m\n$ quorctl %s\n' "$1" "${*:2}"; "$quorctl" "${@:2}"; }

step "Create a status segment holding the tree that $(basename "$tree") describes" create "$name" --from "$tree"
step "Show the tree: tag:ID, condition, size, counters and properties" show "$name"

printf '\n\033[1m== A second process watches pump-1 while a third changes its values\033[0m\n'
printf '$ quorctl watch %s %s --interval 50 --count 4 &\n' "$name" "$pump"
"$quorctl" watch "$name" "$pump" --interval 50 --count 4 | sed -u 's/^/  [watch] /' &
watcher=$!
sleep 0.3
for rpm in 1460 1475 1490; do
  printf '$ quorctl set %s %s ir:3:rpm %s\n' "$name" "$pump" "$rpm"
  "$quorctl" set "$name" "$pump" ir:3:rpm "$rpm"
  sleep 0.2
done
printf '$ quorctl set %s %s iv:4:serial %s\n' "$name" "$pump" 'SN\x00043'
"$quorctl" set "$name" "$pump" iv:4:serial 'SN\x00043'
wait "$watcher"
watcher=

step "Read one value back" get "$name" "$pump" ir:3:rpm
step "Heap, pool and tree figures" stat "$name"
printf '\n\033[1m== The same figures for a monitoring scraper (first lines)\033[0m\n$ quorctl metrics %s | head\n' "$name"
"$quorctl" metrics "$name" | head
step "Check heaps, pads and every node" check "$name"
step "Delete the segment" delete "$name"
printf '\n$ quorctl stat %s   # gone\n' "$name"
"$quorctl" stat "$name" || true
