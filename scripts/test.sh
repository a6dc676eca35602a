#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test.
#   scripts/test.sh                    plain build in build/
#   scripts/test.sh address|thread     the same under ASan+UBSan or TSan, in build-asan/ or build-tsan/
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh --tests

sanitize="${1:-}"
case "$sanitize" in
    "") dir=build ;;
    address) dir=build-asan ;;
    thread) dir=build-tsan ;;
    *) echo "usage: $0 [address|thread]" >&2; exit 2 ;;
esac

cmake -S . -B "$dir" -G Ninja -DVELMOR_SANITIZE="$sanitize" >/dev/null
cmake --build "$dir" -j "$(nproc)"

export QT_QPA_PLATFORM=offscreen
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/tests/tsan.supp"
export LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp"
ctest --test-dir "$dir" --output-on-failure -j "$(nproc)" --timeout 600
