#!/usr/bin/env bash
# Short fuzzing pass for continuous integration: builds every libFuzzer target
# (clang, ASan + UBSan) and runs each for FUZZ_SMOKE_SECONDS (default 20)
# seconds from the committed seeds in fuzz/corpus, in a throw-away working
# corpus so the checkout stays clean. Fails on any crash, leak or broken
# property; the failing input is left under build-fuzz/artifacts/.
set -euo pipefail
cd "$(dirname "$0")/.."
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# A fixed seed keeps the short run repeatable from one CI run to the next.
FUZZ_ARGS="-seed=1 ${FUZZ_ARGS:-}" FUZZ_WORK_DIR=$work scripts/fuzz.sh "${FUZZ_SMOKE_SECONDS:-20}"
