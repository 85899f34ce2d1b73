#!/bin/sh
# Checks that every C and C++ file of the tree is formatted as .clang-format
# says. Fix with: clang-format -i <file>...
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  list() { git ls-files -- '*.c' '*.cc' '*.cpp' '*.h' '*.hpp'; }
else
  list() {
    find . \( -name .git -o -name 'build*' \) -prune -o -type f \
      \( -name '*.c' -o -name '*.cc' -o -name '*.cpp' -o -name '*.h' -o -name '*.hpp' \) -print
  }
fi
n=$(list | wc -l)
if list | xargs clang-format --dry-run -Werror; then
  echo "format: $n files as .clang-format says"
else
  echo "format: files above differ from .clang-format; run clang-format -i on them" >&2
  exit 1
fi
