#!/usr/bin/env bash
# Installs the build into a temporary prefix, then builds two out-of-tree
# consumers against it — one through find_package(QuorStorage), one through
# pkg-config — and runs each on a sample image.
# Usage: run_consumers.sh BUILD_DIR SOURCE_DIR MAKE_SAMPLE_IMAGE C_COMPILER
set -euo pipefail
build=$1
source=$2
make_image=$3
cc=$4

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

cmake --install "$build" --prefix "$prefix" >/dev/null
mkdir -p "$work/image"
"$make_image" "$work/image"

echo "== find_package consumer"
cmake -S "$source/tests/packaging/consumer_cmake" -B "$work/cmake-build" \
    -DCMAKE_C_COMPILER="$cc" -DCMAKE_PREFIX_PATH="$prefix" \
    -DCONSUMER_SOURCE="$source/tests/packaging/consumer.c" \
    -DCMAKE_BUILD_RPATH="$prefix/lib" >/dev/null
cmake --build "$work/cmake-build" >/dev/null
LD_LIBRARY_PATH="$(dirname "$(find "$prefix" -name 'libquorstorage.so.1' | head -1)")" \
    "$work/cmake-build/consumer" "$work/image" /home/sample/greeting hello

echo "== pkg-config consumer"
pcdir=$(dirname "$(find "$prefix" -name quorstorage.pc | head -1)")
flags=$(PKG_CONFIG_PATH="$pcdir" pkg-config --cflags --libs quorstorage)
libdir=$(PKG_CONFIG_PATH="$pcdir" pkg-config --variable=libdir quorstorage)
# shellcheck disable=SC2086
"$cc" -std=c11 -Wall -Wextra -pedantic -Werror "$source/tests/packaging/consumer.c" \
    -o "$work/pc-consumer" $flags -Wl,-rpath,"$libdir"
"$work/pc-consumer" "$work/image" /home/sample/serial SN-0001

echo "== installed files"
test -L "$libdir/libquorstorage.so"
test -L "$libdir/libquorstorage.so.1"
test -f "$libdir/libquorstorage.so.1.0.0"
test -f "$libdir/libquorstorage.a"
test -f "$prefix/include/quorstorage/quorstorage.h"
test -f "$prefix/include/quorstorage/image_editor/File.h"
echo "installed tree complete"
