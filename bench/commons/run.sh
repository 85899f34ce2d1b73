#!/bin/sh
# Publishes per second to 1, 10 and 1,000 subscribers.
# Usage: bench/commons/run.sh [build dir, default build]
set -eu
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../../build}
cmake --build "$build" -j2 --target commons >/dev/null
LUA_CPATH="$build/lua/5.4/?.so" exec lua5.4 "$here/publish.lua"
