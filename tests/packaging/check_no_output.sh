#!/usr/bin/env bash
# The library never writes to standard output or standard error: its dynamic
# symbol table must not import any output function of the C or C++ library.
# Usage: check_no_output.sh LIBRARY
set -euo pipefail
lib=$1
imports=$(nm -D --undefined-only "$lib" | awk '{print $NF}')
pattern='^(printf|vprintf|puts|putchar|putc|fputs|fputc|fprintf|vfprintf|fwrite|perror|write|writev|__printf_chk|__fprintf_chk|__vfprintf_chk|stdout|stderr|_IO_putc|psignal)(@.*)?$|std::cout|std::cerr|std::clog|_ZSt4cout|_ZSt4cerr|_ZSt4clog'
found=$(printf '%s\n' "$imports" | grep -E "$pattern" || true)
if [ -n "$found" ]; then
    echo "libquorstorage imports output functions:"
    printf '%s\n' "$found"
    exit 1
fi
echo "no output function imported ($(printf '%s\n' "$imports" | wc -l) imports checked)"
