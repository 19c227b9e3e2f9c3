#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan + UBSan) and runs each for the
# given number of seconds on its corpus in fuzz/corpus/<target>.
# Usage: scripts/fuzz.sh [seconds-per-target]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
build=build-fuzz

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_C_COMPILER=clang -DQUOR_BUILD_FUZZ=ON -DQUOR_SANITIZE=ON -DQUOR_BUILD_TESTS=OFF \
    -DQUOR_BUILD_BENCH=OFF -DQUOR_BUILD_TOOL=OFF >/dev/null
cmake --build "$build" -j "$(nproc)"

status=0
for target in "$build"/fuzz/fuzz_*; do
    [ -x "$target" ] || continue
    name=$(basename "$target")
    corpus=fuzz/corpus/$name
    work=$build/corpus/$name
    mkdir -p "$work" "$build/artifacts"
    [ -d "$corpus" ] && cp -n "$corpus"/* "$work"/ 2>/dev/null || true
    echo "== $name for ${seconds}s"
    if ! "$target" -max_total_time="$seconds" -print_final_stats=1 \
        -artifact_prefix="$build/artifacts/$name-" "$work" 2>&1 | tail -12; then
        status=1
    fi
done
exit $status
