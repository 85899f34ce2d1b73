#!/bin/sh
# SPDX-License-Identifier: ISC
# nixio.cipherkit throughput: MD5 and SHA-1 through hash objects fed 1 MiB
# and 64-byte updates from Lua, beside `openssl speed -evp` at the same sizes
# in the same run (ratio = ours / openssl), and TLS bulk transfer between two
# processes over loopback. Hash rates count CPU time on both sides. Note that
# `openssl speed` digests each block on its own (init, update, final), so at
# 64 bytes it pays a finalisation per block while our objects stream updates.
# Usage: bench/cipherkit/run.sh [build dir, default build] [seconds per figure]
set -eu
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../../build}
secs=${2:-2}
cmake --build "$build" -j2 --target cipherkit_bench nixio_cipherkit nixio >/dev/null
bench="$build/bin/cipherkit_bench $build/lua/5.1"

# bytes per second of `openssl speed -evp <alg>` for one block size
openssl_rate() {
  openssl speed -mr -evp "$1" -bytes "$2" -seconds "$secs" 2>/dev/null |
    awk -F: '/^\+F:/ { print $4 }'
}

printf '%-6s %10s %14s %14s %7s\n' hash update "ours MB/s" "openssl MB/s" ratio
for alg in md5 sha1; do
  for size in 1048576 64; do
    ours=$($bench "$here/hash.lua" "$alg" "$size" "$secs")
    ref=$(openssl_rate "$alg" "$size")
    awk -v a="$alg" -v s="$size" -v o="$ours" -v r="$ref" 'BEGIN {
      printf "%-6s %10s %14.1f %14.1f %7.2f\n", a, s, o / 1e6, r / 1e6, o / r }'
  done
done

pki=$(mktemp -d)
trap 'rm -rf "$pki"' EXIT
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes \
  -keyout "$pki/server.key" -out "$pki/server.pem" -days 1 -subj /CN=localhost \
  >/dev/null 2>&1
port=${PORT:-47391}
tls=$($bench "$here/tls.lua" "$pki" "$port" 512)
gcm=$(openssl speed -mr -evp aes-256-gcm -bytes 16384 -seconds "$secs" 2>/dev/null |
  awk -F: '/^\+F:/ { print $4 }')
awk -v t="$tls" -v g="$gcm" 'BEGIN {
  printf "TLS 1.3 loopback, 512 MiB one way: %.1f MB/s", t / 1e6
  printf " (openssl speed aes-256-gcm 16 KiB blocks: %.1f MB/s)\n", g / 1e6 }'
