#!/usr/bin/env bash
# Formats every C and C++ file the repository tracks by .clang-format, with
# the formatter the test command installs (Debian's clang-format-14: another
# version may lay out the same code differently).
#
#   bash scripts/format.sh          rewrite the files in place
#   bash scripts/format.sh --check  change nothing; name each place that
#                                   differs and fail if any does
set -euo pipefail
cd "$(dirname "$0")/.."

formatter=clang-format-14
command -v "$formatter" >/dev/null || { echo "format: $formatter is missing (bash scripts/setup.sh)" >&2; exit 1; }

mapfile -t files < <(git ls-files -- '*.c' '*.cc' '*.cpp' '*.h' '*.hpp')
if [[ ${1:-} != --check ]]; then
  "$formatter" -i --style=file "${files[@]}"
  exit 0
fi
# One run over every file: the formatter names each place that differs.
if ! "$formatter" --style=file --dry-run --Werror "${files[@]}"; then
  echo "format: not laid out as .clang-format says (bash scripts/format.sh fixes it)" >&2
  exit 1
fi
echo "format: ${#files[@]} files as .clang-format says"
