#!/bin/sh
# The main job. Grows as components land.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
echo "built components:"
ls "$top/build/bin" 2>/dev/null || true
