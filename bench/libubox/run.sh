#!/bin/sh
# SPDX-License-Identifier: ISC
# libubox host layer: blobmsg build/parse rate, timeout churn, loop wake-ups
# and ustream_fd throughput over a socket pair, and the library's size.
# usage: bench/libubox/run.sh [build dir, default build] [seconds per figure]
set -eu
top=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-$top/build}
cmake --build "$build" -j2 --target ubox_bench >/dev/null || {
  echo "build failed: cmake --build $build --target ubox_bench" >&2; exit 1; }
"$build/bin/ubox_bench" "${2:-1}"
lib=$(find "$build/host/libubox" -maxdepth 1 -name 'libubox.so' | head -n1)
[ -n "$lib" ] && size "$lib" | awk 'NR == 2 { printf "libubox.so: text %d B, data %d B, bss %d B\n", $1, $2, $3 }'
