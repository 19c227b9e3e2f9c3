#!/usr/bin/env bash
# Every test program of a build under valgrind memcheck: invalid reads and
# writes, uses of uninitialised values, mismatched frees and leaks (definite
# and indirect) all count as errors. Valgrind rather than LeakSanitizer: the
# ASan build of the CI already reports leaks, while memcheck also sees reads
# of uninitialised memory, which no CI build checks. It runs on an ordinary
# optimised build with debug info (configured here unless it exists).
# Usage: scripts/memcheck.sh [build-dir [test-program...]]
#   (default: every test_* program of the build; MEMCHECK_FILTER: a gtest filter)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-memcheck}
if [ ! -f "$build/build.ninja" ]; then
    cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUOR_BUILD_BENCH=OFF \
        >/dev/null
fi
shift || true
if [ $# -gt 0 ]; then
    cmake --build "$build" -j "$(nproc)" --target "$@"
    programs=("$@")
else
    cmake --build "$build" -j "$(nproc)"
    programs=()
    for bin in "$build"/test_*; do
        [ -f "$bin" ] && [ -x "$bin" ] && programs+=("$(basename "$bin")")
    done
fi
logs=$build/memcheck
rm -rf "$logs" && mkdir -p "$logs"
run_one() {
    local bin=$1 logs=$2 name
    name=$(basename "$bin")
    # Each program runs whole (all its tests in one process).
    local rc=0
    valgrind --tool=memcheck --leak-check=full --errors-for-leak-kinds=definite,indirect \
        --show-leak-kinds=definite,indirect --track-origins=yes --error-exitcode=99 \
        --log-file="$logs/$name.valgrind" "$bin" --gtest_brief=1 \
        --gtest_filter="${MEMCHECK_FILTER:-*}" >"$logs/$name.out" 2>&1 || rc=$?
    case $rc in
        0) echo "memcheck: $name clean" ;;
        99) echo "memcheck: $name has memory errors or leaks (see $logs/$name.valgrind)" ;;
        *) echo "memcheck: $name: tests failed under valgrind, status $rc (see $logs/$name.out)" ;;
    esac
    [ "$rc" -eq 0 ]
}
export -f run_one
status=0
printf '%s\0' "${programs[@]/#/$build/}" |
    xargs -0 -n 1 -P "$(nproc)" bash -c 'run_one "$0" '"$logs" || status=1
grep -h "ERROR SUMMARY\|definitely lost\|indirectly lost\|no leaks are possible" "$logs"/*.valgrind |
    sed 's/^==[0-9]*== *//' | sort | uniq -c
exit $status
