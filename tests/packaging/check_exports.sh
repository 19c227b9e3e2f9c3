#!/usr/bin/env bash
# Compares the dynamic symbols defined by libquorstorage.so with the linker
# version script: every exported symbol must be named by the script, and
# every name (or pattern) of the script must be exported.
set -euo pipefail
lib=$1
map=$2

exported=$(nm -D --defined-only "$lib" | awk '{print $3}' | sed 's/@.*//' | grep -v '^QUORSTORAGE_' | sort -u)
demangled=$(printf '%s\n' "$exported" | c++filt)

# The script without its comments, one entry per line.
entries=$(perl -0pe 's|/\*.*?\*/||gs' "$map")
# Names of the C block: plain identifiers between extern "C" { and };
c_names=$(awk '/extern "C" \{/{inc=1; next} inc && /\};/{inc=0} inc' <<<"$entries" \
    | tr -d ' ;' | grep -v '^$' | sort -u)
# Patterns of the C++ block, matched against demangled names as shell globs.
cpp_patterns=$(awk '/extern "C\+\+" \{/{inc=1; next} inc && /\};/{inc=0} inc' <<<"$entries" \
    | sed 's/^ *//; s/;$//; s/^"//; s/"$//' | grep -v '^$')

status=0
for name in $c_names; do
    if ! grep -qxF "$name" <<<"$exported"; then
        echo "missing export: $name"
        status=1
    fi
done
while IFS= read -r pattern; do
    [ -z "$pattern" ] && continue
    found=0
    while IFS= read -r sym; do
        # shellcheck disable=SC2053
        if [[ "$sym" == $pattern ]]; then found=1; break; fi
    done <<<"$demangled"
    if [ $found -eq 0 ]; then
        echo "missing export for pattern: $pattern"
        status=1
    fi
done <<<"$cpp_patterns"

while IFS= read -r sym; do
    [ -z "$sym" ] && continue
    if grep -qxF "$sym" <<<"$c_names"; then continue; fi
    matched=0
    while IFS= read -r pattern; do
        [ -z "$pattern" ] && continue
        # shellcheck disable=SC2053
        if [[ "$sym" == $pattern ]]; then matched=1; break; fi
    done <<<"$cpp_patterns"
    if [ $matched -eq 0 ]; then
        echo "unexpected export: $sym"
        status=1
    fi
done <<<"$demangled"

count=$(printf '%s\n' "$exported" | grep -c . || true)
echo "$count exported symbols checked"
exit $status
