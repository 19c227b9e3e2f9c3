#!/usr/bin/env bash
# Builds examples/ against the installed package and runs both programs on a
# sample image: the C program changes an AFS NVAR and writes the new pieces,
# the C++ program reads it back from those pieces and changes an EFS NVAR, and
# the C program finally reads that one back.
# Usage: run_examples.sh BUILD_DIR SOURCE_DIR MAKE_SAMPLE_IMAGE C_COMPILER CXX_COMPILER
set -euo pipefail
build=$1
source=$2
make_image=$3
cc=$4
cxx=$5

work=$build/examples-test
rm -rf "$work"
mkdir -p "$work/image"
prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null
"$make_image" "$work/image"
cmake -S "$source/examples" -B "$work/build" -DCMAKE_C_COMPILER="$cc" \
    -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/build" >/dev/null

expect() {  # expect TEXT COMMAND...: runs the command and finds TEXT in its output
    local text=$1
    shift
    local out
    out=$("$@")
    printf '%s\n' "$out"
    if ! grep -qF -- "$text" <<<"$out"; then
        echo "expected: $text"
        exit 1
    fi
}

image=$work/image
expect '/home/sample/greeting = "hello"' "$work/build/nvar_edit_c" "$image" /home/sample/greeting
expect 'set to "bonjour"' "$work/build/nvar_edit_c" "$image" /home/sample/greeting bonjour
expect '/home/sample/greeting = "bonjour"' "$work/build/nvar_edit_cpp" "$image" /home/sample/greeting
expect 'set to "SN-0002"' "$work/build/nvar_edit_cpp" "$image" /home/sample/serial SN-0002
expect '/home/sample/serial = "SN-0002"' "$work/build/nvar_edit_c" "$image" /home/sample/serial
test ! -e "$image/tavc.cfg.new"
echo "both examples work against the installed package"
