#!/bin/sh
# SPDX-License-Identifier: ISC
# phyfix and ntpshim on a small device: program sizes, resident memory while
# they idle, and how long ntpshim takes to pass a signal on to the daemon.
# Root: the benchmark enters its own mount and network namespaces.
# usage: bench/utils/run.sh [build dir, default build] [signals, default 5000]
set -eu
top=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-$top/build}
cmake --build "$build" -j2 --target utils_bench phyfix ntpshim >/dev/null
for p in phyfix ntpshim; do
  strip -o "/tmp/$p.stripped.$$" "$build/bin/$p"
  printf '%s: %s bytes stripped\n' "$p" "$(stat -c %s "/tmp/$p.stripped.$$")"
  rm -f "/tmp/$p.stripped.$$"
done
"$build/bin/utils_bench" "$build/bin" "${2:-5000}"
