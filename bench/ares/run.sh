#!/bin/sh
# SPDX-License-Identifier: ISC
# Builds the ares benchmark in an existing build folder and runs it (root:
# it enters its own mount and network namespaces and starts dnsmasq and its
# own name server there).
# usage: bench/ares/run.sh [build dir] [lookups] [rounds] [delay ms] [baseline module dir]
set -eu
top=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-$top/build}
cmake --build "$build" -j2 --target ares_bench lua_ares >/dev/null
"$build/bin/ares_bench" "$build/lua/5.4" "${2:-1000}" "${3:-5}" "${4:-2}" ${5:+"$5"}
