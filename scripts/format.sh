#!/usr/bin/env bash
# Formats every C and C++ file the repository tracks with the project's
# .clang-format (Debian's clang-format).
#   scripts/format.sh           rewrite the files in place
#   scripts/format.sh --check   change nothing; list the files out of style
#                               and fail when there is one
set -euo pipefail
cd "$(dirname "$0")/.."

command -v clang-format >/dev/null || {
  echo "clang-format not found (Debian package clang-format)" >&2
  exit 2
}

mapfile -t files < <(git ls-files -- '*.c' '*.h' '*.cpp' '*.hpp')

if [[ "${1:-}" == "--check" ]]; then
  bad=()
  for f in "${files[@]}"; do
    clang-format --dry-run --Werror "$f" >/dev/null 2>&1 || bad+=("$f")
  done
  if ((${#bad[@]})); then
    printf 'out of style (run scripts/format.sh): %s\n' "${bad[@]}" >&2
    exit 1
  fi
  echo "format: ${#files[@]} files in style"
else
  clang-format -i "${files[@]}"
fi
