#!/usr/bin/env bash
# Fails when a C++ source of the tree is not formatted as .clang-format says
# (Google style, 100 columns); with --fix, formats them in place.
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t sources < <(git ls-files -- '*.cpp' '*.h' '*.hpp' '*.cc')
if [[ "${1:-}" == "--fix" ]]; then
  clang-format -i "${sources[@]}"
  exit 0
fi
if ! clang-format --dry-run --Werror "${sources[@]}"; then
  echo "unformatted sources: run scripts/check-format.sh --fix"
  exit 1
fi
echo "formatting: ${#sources[@]} sources as .clang-format says"
