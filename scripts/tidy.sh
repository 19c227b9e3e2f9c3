#!/usr/bin/env bash
# clang-tidy over every source of storage/ with the checks of .clang-tidy and
# the compile database of a build directory (configured here when it has
# none). Prints the findings; exits 1 when there is any.
# Usage: scripts/tidy.sh [build-dir]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
if [ ! -f "$build/compile_commands.json" ]; then
    cmake -S . -B "$build" -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null
fi
out=$(mktemp)
trap 'rm -f "$out"' EXIT
find storage -name '*.cpp' -print0 | sort -z |
    xargs -0 -n 1 -P "$(nproc)" clang-tidy -p "$build" --quiet >"$out" 2>/dev/null || true
findings=$(grep -c 'warning:\|error:' "$out" || true)
cat "$out"
echo "clang-tidy: $findings finding(s) in storage/"
[ "$findings" -eq 0 ]
