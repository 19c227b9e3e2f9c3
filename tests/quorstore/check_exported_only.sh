#!/usr/bin/env bash
# The tool is built on the library's exported interface only: every library
# symbol that the tool's own code references must be exported by
# libquorstorage.so. (The image builder it links is not the tool's code.)
#
# usage: check_exported_only.sh libquorstorage.so libquorstorage.a tool-archive...
set -euo pipefail

shared=$1
static=$2
shift 2

exports=$(nm -D --defined-only "$shared" | awk 'NF == 3 {sub(/@.*/, "", $3); print $3}' | sort -u)
# Strong definitions only: weak ones are inline and template code that every
# user instantiates for itself.
library=$(nm --defined-only "$static" 2>/dev/null | awk 'NF == 3 && $2 ~ /^[TDBR]$/ {print $3}' |
    sort -u)
used=$(nm -u "$@" 2>/dev/null | awk '$1 == "U" {print $2}' | sort -u)

from_library=$(comm -12 <(printf '%s\n' "$used") <(printf '%s\n' "$library"))
hidden=$(comm -23 <(printf '%s\n' "$from_library") <(printf '%s\n' "$exports"))

if [ -n "$hidden" ]; then
    echo "the tool uses library symbols that libquorstorage.so does not export:" >&2
    printf '%s\n' "$hidden" | c++filt >&2
    exit 1
fi
echo "the tool uses $(printf '%s\n' "$from_library" | grep -c .) library symbols, all exported"
