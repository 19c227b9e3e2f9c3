#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan + UBSan) and runs each for the
# given number of seconds, one after the other, on a working corpus seeded
# from fuzz/corpus/<target>. Fails when any target finds a crash, a leak or a
# broken property; the input is kept under <build>/artifacts/.
# Usage: scripts/fuzz.sh [seconds-per-target] [target...]
# Environment: FUZZ_BUILD_DIR (default build-fuzz), FUZZ_WORK_DIR (working
# corpora, default <build>/corpus; new inputs found are added there),
# FUZZ_ARGS (extra libFuzzer flags, e.g. -seed=1).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true
build=${FUZZ_BUILD_DIR:-build-fuzz}
work_root=${FUZZ_WORK_DIR:-$build/corpus}

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_C_COMPILER=clang -DQUOR_BUILD_FUZZ=ON -DQUOR_SANITIZE=ON -DQUOR_BUILD_TESTS=OFF \
    -DQUOR_BUILD_BENCH=OFF -DQUOR_BUILD_TOOL=OFF >/dev/null
cmake --build "$build" -j "$(nproc)"

if [ $# -gt 0 ]; then
    targets=("$@")
else
    targets=()
    for target in "$build"/fuzz/fuzz_*; do
        [ -x "$target" ] && targets+=("$(basename "$target")")
    done
fi

status=0
mkdir -p "$build/artifacts"
for name in "${targets[@]}"; do
    work=$work_root/$name
    mkdir -p "$work"
    if [ -d "fuzz/corpus/$name" ]; then
        cp -n "fuzz/corpus/$name"/* "$work"/ 2>/dev/null || true
    fi
    echo "== $name for ${seconds}s"
    log=$build/artifacts/$name.log
    if "$build/fuzz/$name" -max_total_time="$seconds" -timeout=60 -print_final_stats=1 \
        -artifact_prefix="$build/artifacts/$name-" ${FUZZ_ARGS:-} "$work" >"$log" 2>&1; then
        grep -E '^#[0-9]+[[:space:]].*cov:' "$log" | tail -1 || true
        grep -E 'stat::number_of_executed_units|stat::average_exec_per_sec' "$log" || true
    else
        status=1
        echo "FAILED: $name (log $log)"
        grep -E 'ERROR|property failed|SUMMARY|Test unit written' "$log" | head -10 || true
    fi
done
exit $status
