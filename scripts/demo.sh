#!/usr/bin/env bash
# Runs the quorstore tool on the sample image description examples/demo.json:
# builds a bundle, shows it, changes NVARs in one commit, reads one back,
# exports the values, checks both file systems, dumps the bundle, rebuilds it
# from the dump and compares. Each command is printed before it runs.
#
# usage: scripts/demo.sh path/to/quorstore [bundle-folder]
# The bundle goes next to the tool (demo-bundle) unless a folder is given.
set -euo pipefail

tool=${1:?usage: scripts/demo.sh path/to/quorstore [bundle-folder]}
root=$(cd "$(dirname "$0")/.." && pwd)
bundle=${2:-$(dirname "$tool")/demo-bundle}

run() {
    printf '\n$ %s\n' "$*"
    "$@"
}

run "$tool" mkimage "$root/examples/demo.json" -o "$bundle" --force
run "$tool" info "$bundle"
run "$tool" nvar list "$bundle"
run "$tool" nvar set "$bundle" /home/net/hostname=gw-demo /home/sys/log_level:hex=06 \
    /home/net/mtu:u32=1500
run "$tool" nvar get "$bundle" /home/net/hostname --text
run "$tool" nvar export "$bundle"
run "$tool" fsck "$bundle"
# Round trip: the bundle as a description and raw files, rebuilt, compared.
run "$tool" dump "$bundle" -o "$bundle-dump" --force
run "$tool" mkimage "$bundle-dump/description.json" -o "$bundle-copy" --force
run "$tool" diff "$bundle" "$bundle-copy"
run "$tool" mkimage "$root/examples/demo.json" -o "$bundle-fresh" --force
printf '\n$ %s\n' "$tool diff $bundle-fresh $bundle"
status=0
"$tool" diff "$bundle-fresh" "$bundle" || status=$?
[ "$status" -eq 1 ] || { echo "diff: expected exit status 1, got $status" >&2; exit 1; }
