#!/bin/sh
# SPDX-License-Identifier: ISC
# detour.insert/remove at the front of a 10,000-element sequence against
# table.insert/remove, in the same run, as ratios.
# Usage: bench/detour/run.sh [build dir, default build]
set -eu
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../../build}
cmake --build "$build" -j2 --target detour >/dev/null
LUA_CPATH="$build/lua/5.4/?.so" exec lua5.4 "$here/front.lua"
