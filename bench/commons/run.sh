#!/bin/sh
# SPDX-License-Identifier: ISC
# Publishes per second to 1, 10 and 1,000 subscribers: commons.pubsub beside
# a plain Lua publish function over the same callbacks, the same loop
# written inline, and mediator_lua; with one shared callback, a closure per
# subscriber, and under subscription churn.
# Usage: bench/commons/run.sh [build dir, default build] [rounds, default 5]
#        [seconds per measurement, default 0.25] [only the cases titled with this]
set -eu
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../../build}
cmake --build "$build" -j2 --target commons >/dev/null
LUA_CPATH="$build/lua/5.4/?.so" LUA_PATH="/usr/share/lua/5.4/?.lua" \
  exec lua5.4 "$here/publish.lua" "${2:-5}" "${3:-0.25}" ${4:+"$4"}
