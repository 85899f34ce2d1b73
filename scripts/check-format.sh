#!/bin/sh
# SPDX-License-Identifier: ISC
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

# Every source file carries the licence's SPDX line near its top.
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  unlicensed=$(git ls-files -- '*.c' '*.cc' '*.h' '*.lua' '*.py' '*.sh' '*.cmake' '*.init' \
    'CMakeLists.txt' ':!:*corpus*' | while read -r f; do
    head -n 5 "$f" | grep -q 'SPDX-License-Identifier: ISC' || echo "$f"
  done)
  if [ -n "$unlicensed" ]; then
    echo "licence: these files lack the line 'SPDX-License-Identifier: ISC' in their first lines:" >&2
    echo "$unlicensed" >&2
    exit 1
  fi
  echo "licence: every source file carries its SPDX line"
fi
