#!/usr/bin/env bash
# Installs the Debian packages the build needs when they are missing.
# Only acts when run as root; otherwise it just reports what is missing.
set -euo pipefail

need=()
have_cmd() { command -v "$1" >/dev/null 2>&1; }
have_file() { [ -e "$1" ]; }

have_cmd cmake || need+=(cmake)
have_cmd ninja || need+=(ninja-build)
have_cmd g++ || need+=(g++)
have_cmd clang++ || need+=(clang)
have_file /usr/include/gtest/gtest.h || need+=(libgtest-dev)
have_file /usr/include/gmock/gmock.h || need+=(libgmock-dev)
have_file /usr/include/benchmark/benchmark.h || need+=(libbenchmark-dev)
have_file /usr/include/CLI/CLI.hpp || need+=(libcli11-dev)
have_file /usr/include/nlohmann/json.hpp || need+=(nlohmann-json3-dev)
have_file /usr/include/openssl/evp.h || need+=(libssl-dev)
ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.asan-x86_64.a >/dev/null 2>&1 \
    || need+=(libclang-rt-dev)
have_cmd pkg-config || need+=(pkg-config)
# The Python package: Debian's interpreter with its headers, pybind11, pytest.
have_file /usr/include/pybind11/pybind11.h || need+=(pybind11-dev)
ls /usr/include/python3*/Python.h >/dev/null 2>&1 || need+=(python3-dev)
/usr/bin/python3 -c 'import pytest' >/dev/null 2>&1 || need+=(python3-pytest)
have_cmd nm || need+=(binutils)
# Only for the quality targets (make tidy, memcheck, coverage).
if [ "${QUOR_QUALITY_TOOLS:-0}" = 1 ]; then
    have_cmd clang-tidy || need+=(clang-tidy)
    have_cmd valgrind || need+=(valgrind)
    have_cmd llvm-cov || need+=(llvm)
fi

[ ${#need[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -eq 0 ] && have_cmd apt-get; then
    echo "installing: ${need[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq || true
    apt-get install -y -qq --no-install-recommends "${need[@]}"
else
    echo "missing packages (install them as root): ${need[*]}" >&2
fi
