#!/bin/sh
# SPDX-License-Identifier: ISC
# Bus throughput through a private ubusd: small echo calls per second with
# 1 and 8 client processes, and MB/s with payloads of 1 MiB less 4 KiB, the
# largest a bus message carries (to the method, and echoed back).
# usage: bench/bus/run.sh [build dir, default build] [seconds per figure]
set -eu
top=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-$top/build}
secs=${2:-2}
cmake --build "$build" -j2 --target bus_bench ubusd >/dev/null || {
  echo "build failed: cmake --build $build --target bus_bench ubusd" >&2; exit 1; }
dir=$(mktemp -d)
"$build/bin/ubusd" -s "$dir/ubus.sock" &
daemon=$!
trap 'kill $daemon 2>/dev/null; wait $daemon 2>/dev/null; rm -rf "$dir"' EXIT
i=0
while [ ! -S "$dir/ubus.sock" ] && [ $i -lt 100 ]; do sleep 0.05; i=$((i + 1)); done
"$build/bin/bus_bench" "$dir/ubus.sock" "$secs"
