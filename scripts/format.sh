#!/usr/bin/env bash
# Formats every C and C++ file the repository tracks by .clang-format, with
# the formatter the test command installs (Debian's clang-format-14: another
# version may lay out the same code differently).
#
#   bash scripts/format.sh          rewrite the files in place
#   bash scripts/format.sh --check  change nothing; list the files that
#                                   differ and fail if any does
set -euo pipefail
cd "$(dirname "$0")/.."

formatter=clang-format-14
command -v "$formatter" >/dev/null || { echo "format: $formatter is missing (bash scripts/setup.sh)" >&2; exit 1; }

mapfile -t files < <(git ls-files -- '*.c' '*.cc' '*.cpp' '*.h' '*.hpp')
if [[ ${1:-} != --check ]]; then
  "$formatter" -i --style=file "${files[@]}"
  exit 0
fi
differ=()
for f in "${files[@]}"; do
  "$formatter" --style=file --dry-run --Werror "$f" >/dev/null 2>&1 || differ+=("$f")
done
if [[ ${#differ[@]} -ne 0 ]]; then
  echo "format: ${#differ[@]} file(s) not laid out as .clang-format says (bash scripts/format.sh fixes them):" >&2
  printf '  %s\n' "${differ[@]}" >&2
  exit 1
fi
echo "format: ${#files[@]} files as .clang-format says"
