#!/usr/bin/env bash
# Runs the quorstore tool on the sample image description examples/demo.json:
# builds a bundle, shows it, changes NVARs in one commit, reads one back,
# exports the values, checks both file systems, dumps the bundle, rebuilds it
# from the dump and compares, and maps the flash (text and SVG). Each command
# is printed before it runs.
#
# With QUOR_DEMO_BROWSER=1 (make demo) the SVG map is also rendered in headless
# Chromium, when it is installed, and the screenshot's path printed.
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
run "$tool" map "$bundle" --svg "$bundle-map.svg"

screenshot_map() {
    local svg=$1 png=$2 browser profile width height size
    browser=$(command -v chromium || command -v chromium-browser || true)
    if [ -z "$browser" ]; then
        echo "map screenshot skipped: chromium is not installed (the map is $svg)"
        return 0
    fi
    # The window takes the picture's own size (its width and height attributes).
    width=$(sed -n 's/^<svg [^>]* width="\([0-9]*\)".*/\1/p' "$svg")
    height=$(sed -n 's/^<svg [^>]* height="\([0-9]*\)".*/\1/p' "$svg")
    profile=$(mktemp -d)
    rm -f "$png"
    timeout 120 "$browser" --headless --no-sandbox --disable-gpu --disable-quic --no-first-run \
        --disable-background-networking --disable-component-update --disable-sync \
        --user-data-dir="$profile" --window-size="${width:-1400},${height:-600}" \
        --screenshot="$png" "file://$(realpath "$svg")" >/dev/null 2>&1 || true
    rm -rf "$profile"
    size=$(stat -c %s "$png" 2>/dev/null || echo 0)
    # A blank page compresses to a few hundred bytes; the map's cells and text do not.
    if [ "$size" -lt 4000 ]; then
        echo "map screenshot failed or blank ($size bytes): $png" >&2
        return 1
    fi
    echo "map screenshot ($browser, ${width}x${height}): $png"
}

if [ "${QUOR_DEMO_BROWSER:-0}" = 1 ]; then
    printf '\n'
    screenshot_map "$bundle-map.svg" "$bundle-map.png"
fi
