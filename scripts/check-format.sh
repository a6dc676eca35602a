#!/usr/bin/env bash
# Checks that every C++ file in the repository is formatted with its .clang-format; lists the
# files that are not and exits non-zero. clang-format -i on them mends it.
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t files < <(git ls-files '*.cpp' '*.h')
if ! clang-format --dry-run -Werror "${files[@]}"; then
    echo "Not formatted: run clang-format -i on the files above." >&2
    exit 1
fi
echo "formatting: ${#files[@]} files checked"
