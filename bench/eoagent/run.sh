#!/bin/bash
# SPDX-License-Identifier: ISC
# Benchmark of the energy-object subagent with 48 outlets and 4 buses:
#   - start-up: from launching eoagent until the first walk of its subtree
#     through snmpd returns its rows;
#   - the median time of a full snmpbulkwalk of 1.3.6.1.2.1.229 through
#     snmpd, measured in turn with a walk of snmpd's own hrSWRunTable
#     (a table of similar size that snmpd answers itself);
#   - the subagent's resident memory after the walks.
# Usage: bench/eoagent/run.sh [build-dir] [rounds]   (default: build, 21)
# Runs as root in private mount and network namespaces, like the tests.
set -eu
top=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:-$top/build}" && pwd)
rounds=${2:-21}

if [ -z "${EO_BENCH_INSIDE:-}" ]; then
  cmake --build "$build" -j2 --target eoagent powersim ubusd >/dev/null
  exec env EO_BENCH_INSIDE=1 unshare -mn "$0" "$build" "$rounds"
fi

ip link set lo up
mount --make-rprivate /
mount -t tmpfs tmpfs /tmp
mkdir -p /var/run/ubus && mount -t tmpfs tmpfs /var/run/ubus
work=/tmp/eobench
mkdir -p "$work/persist"
export SNMP_PERSISTENT_DIR=$work/persist SNMPCONFPATH=$work
echo "mibs :" >"$work/snmp.conf"
cat >"$work/snmpd.conf" <<EOF
master agentx
agentXSocket /tmp/snmpd_agentx
agentaddress udp:127.0.0.1:16161
rocommunity public 127.0.0.1
EOF

pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; }
trap cleanup EXIT

now_ms() { echo $(( $(date +%s%N) / 1000000 )); }
wait_for() { for _ in $(seq 500); do eval "$1" && return 0; sleep 0.01; done; return 1; }
walk() { snmpbulkwalk -v2c -c public -On -Oq -t 5 -r 0 127.0.0.1:16161 "$1"; }

"$build/bin/ubusd" -s /var/run/ubus/ubus.sock & pids+=($!)
wait_for '[ -S /var/run/ubus/ubus.sock ]'
"$build/bin/powersim" --outlets 48 --buses 4 >"$work/powersim.out" 2>&1 & pids+=($!)
wait_for 'grep -q ready "$work/powersim.out"'
/usr/sbin/snmpd -f -Lo -C -c "$work/snmpd.conf" >"$work/snmpd.out" 2>&1 & pids+=($!)
wait_for '[ -S /tmp/snmpd_agentx ]'

start=$(now_ms)
"$build/bin/eoagent" relay meter >"$work/eoagent.out" 2>&1 & agent=$!; pids+=($agent)
wait_for '[ "$(walk 1.3.6.1.2.1.229.1.2.1.1 2>/dev/null | grep -c .)" -ge 52 ]'
startup=$(( $(now_ms) - start ))

eo_count=$(walk 1.3.6.1.2.1.229 | grep -c .)
hr_count=$(walk 1.3.6.1.2.1.25.4.2 | grep -c .)
eo_times=() hr_times=()
for _ in $(seq "$rounds"); do
  t=$(now_ms); walk 1.3.6.1.2.1.229 >/dev/null; eo_times+=($(( $(now_ms) - t )))
  t=$(now_ms); walk 1.3.6.1.2.1.25.4.2 >/dev/null; hr_times+=($(( $(now_ms) - t )))
done
median() { printf '%s\n' "$@" | sort -n | awk '{v[NR]=$1} END {print v[int((NR+1)/2)]}'; }
rss=$(awk '/VmRSS/ {print $2, $3}' /proc/$agent/status)
hwm=$(awk '/VmHWM/ {print $2, $3}' /proc/$agent/status)

echo "eoagent benchmark: 48 outlets, 4 buses, $rounds rounds ($(basename "$build"))"
echo "  start-up until the first walk answers:   ${startup} ms"
echo "  snmpbulkwalk 1.3.6.1.2.1.229 (eoagent):  median $(median "${eo_times[@]}") ms for $eo_count instances"
echo "  snmpbulkwalk hrSWRunTable (snmpd):       median $(median "${hr_times[@]}") ms for $hr_count instances"
echo "  eoagent resident memory:                 $rss (peak $hwm)"
