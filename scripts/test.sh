#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test, through the presets in
# CMakePresets.json (the build folders, the sanitizer settings and the tests' environment).
#   scripts/test.sh                    plain build in build/
#   scripts/test.sh address|thread     the same under ASan+UBSan or TSan, in build-asan/ or build-tsan/
set -euo pipefail
cd "$(dirname "$0")/.."

preset="${1:-plain}"
case "$preset" in
    plain | address | thread) ;;
    *) echo "usage: $0 [address|thread]" >&2; exit 2 ;;
esac

scripts/deps.sh --tests

cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" -j "$(nproc)"
ctest --preset "$preset" -j "$(nproc)"
