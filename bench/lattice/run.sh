#!/bin/sh
# SPDX-License-Identifier: ISC
# Benchmarks of the lattice module: optimized_deep_equals against a plain
# recursive Lua compare and Penlight's tablex.deepcompare, and reductions per
# second of a typical expression. Usage: run.sh [build-dir]
set -eu
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../../build}
cmake --build "$build" --target lattice >/dev/null
exec lua5.4 -e "package.cpath = '$build/lua/5.4/?.so;' .. package.cpath" \
  -e "package.path = '/usr/share/lua/5.4/?.lua;' .. package.path" "$here/bench.lua"
