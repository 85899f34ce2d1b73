#!/bin/sh
# SPDX-License-Identifier: ISC
# Usage: bench/uartlink/run.sh [build dir] [baseline bin dir] [rounds]
# (root; builds what it needs). The baseline folder holds an older uartlink
# to measure beside this one in every round.
set -eu
top=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-$top/build}
cmake --build "$build" --target uartlink_bench uartlink ubusd >/dev/null
# private mount namespace: own /tmp, /var/run/ubus and environment tool
exec unshare -m sh -c '
  mount --make-rprivate /
  mount -t tmpfs tmpfs /tmp
  mkdir -p /tmp/u /tmp/w /var/run/ubus
  mount -t tmpfs tmpfs /var/run/ubus
  mount -t overlay overlay -o lowerdir=/usr/sbin,upperdir=/tmp/u,workdir=/tmp/w /usr/sbin
  printf "#!/bin/sh\necho 115200\n" > /usr/sbin/fw_printenv
  chmod +x /usr/sbin/fw_printenv
  exec "$0" "$1" "$2" "$3"
' "$build/bin/uartlink_bench" "$build/bin" "${2:-}" "${3:-1}"
