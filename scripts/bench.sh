#!/usr/bin/env bash
# Runs every benchmark program of a build folder with repetitions, keeps each
# program's JSON and console output under <build>/bench-results, and prints
# one summary table of the medians (scripts/bench_summary.py).
#
# usage: scripts/bench.sh BUILD_DIR [REPETITIONS] [MIN_TIME_SECONDS]
set -euo pipefail

build=${1:?usage: bench.sh BUILD_DIR [REPETITIONS] [MIN_TIME_SECONDS]}
repetitions=${2:-5}
min_time=${3:-0.2}
out="$build/bench-results"
mkdir -p "$out"
rm -f "$out"/*.json

found=0
for program in "$build"/bench_*; do
    [ -x "$program" ] || continue
    found=1
    name=$(basename "$program")
    echo "running $name ($repetitions repetitions)..."
    "$program" --benchmark_repetitions="$repetitions" \
        --benchmark_report_aggregates_only=true \
        --benchmark_min_time="$min_time" \
        --benchmark_out="$out/$name.json" --benchmark_out_format=json \
        > "$out/$name.txt" 2>&1 || echo "  $name failed: see $out/$name.txt"
done
if [ "$found" = 0 ]; then
    echo "no benchmark programs in $build (is Google Benchmark installed?)"
    exit 0
fi
python3 "$(dirname "$0")/bench_summary.py" "$out"/*.json
