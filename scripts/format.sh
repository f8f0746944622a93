#!/bin/sh
# Formats every C++ source and test file with the repository's .clang-format, or with --check
# lists the files that are not formatted and fails.
set -eu
cd "$(dirname "$0")/.."

files=$(find src tests fuzz bench -type f \( -name '*.cpp' -o -name '*.h' -o -name '*.cpp.in' \) 2>/dev/null | sort)

if [ "${1:-}" = "--check" ]; then
    bad=""
    for f in $files; do
        clang-format --dry-run --Werror "$f" >/dev/null 2>&1 || bad="$bad $f"
    done
    if [ -n "$bad" ]; then
        echo "not formatted (run 'make format'):$bad" >&2
        exit 1
    fi
    echo "formatting: $(echo "$files" | wc -l) files checked"
else
    # shellcheck disable=SC2086
    clang-format -i $files
fi
