#!/usr/bin/env bash
# Line and branch coverage of storage/ over the whole test suite, with
# clang's source-based coverage (llvm-cov). Usage: scripts/coverage.sh [build-dir]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-cov}
profiles=$PWD/$build/profiles

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_C_COMPILER=clang -DQUOR_BUILD_BENCH=OFF -DQUOR_BUILD_TOOL=OFF \
    -DCMAKE_CXX_FLAGS="-fprofile-instr-generate -fcoverage-mapping" \
    -DCMAKE_C_FLAGS="-fprofile-instr-generate -fcoverage-mapping" >/dev/null
cmake --build "$build" -j "$(nproc)"
rm -rf "$profiles" && mkdir -p "$profiles"
(cd "$build" && LLVM_PROFILE_FILE="$profiles/%p.profraw" ctest -j "$(nproc)" -E '^packaging\.' \
    --output-on-failure >/dev/null) || echo "warning: some tests failed; coverage is still reported"
llvm-profdata merge -sparse "$profiles"/*.profraw -o "$build/merged.profdata"

objects=()
for bin in "$build"/test_*; do
    [ -x "$bin" ] && objects+=(-object "$bin")
done
llvm-cov report "${objects[@]:1}" -instr-profile="$build/merged.profdata" \
    -ignore-filename-regex='(tests|bench|fuzz|imagekit|tools|/usr)/' -show-branch-summary \
    | tee "$build/coverage.txt"
llvm-cov show "${objects[@]:1}" -instr-profile="$build/merged.profdata" \
    -ignore-filename-regex='(tests|bench|fuzz|imagekit|tools|/usr)/' -format=html \
    -output-dir="$build/html" >/dev/null
# Per module (storage/<module>/): lines and branches, from the file rows.
printf "\n%-14s %16s %18s\n" module lines branches | tee "$build/coverage-modules.txt"
awk '$1 ~ /^[a-z_]+\/[^ ]+$/ && NF >= 13 {
        split($1, part, "/"); m = part[1];
        lines[m] += $8; missedLines[m] += $9; branches[m] += $11; missedBranches[m] += $12
    }
    END {
        for (m in lines) {
            printf "%-14s %6.2f%% (%5d) %7.2f%% (%5d)\n", m,
                100 * (lines[m] - missedLines[m]) / lines[m], lines[m],
                branches[m] ? 100 * (branches[m] - missedBranches[m]) / branches[m] : 100,
                branches[m]
        }
    }' "$build/coverage.txt" | sort | tee -a "$build/coverage-modules.txt"
echo "HTML report: $build/html/index.html"
