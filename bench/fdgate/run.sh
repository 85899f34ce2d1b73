#!/bin/bash
# SPDX-License-Identifier: ISC
# fdgate beside nginx, same machine, same bytes, same wrk runs, round by
# round so that machine noise hits every contender alike:
#   requests per second for a 1 KiB response on keep-alive connections,
#   MB/s for one 64 MiB response at a time.
# Anchors: nginx serving the files itself, and nginx as a reverse proxy to
# a second nginx over keep-alive upstream connections (the same shape as
# fdgate: a front server relaying what another process produces).
# fdgate's bytes come from the request method server's generator; nginx
# serves identical bytes from files.
# Afterwards the CPU time of one 1 KiB run is split between the HTTP server
# (with the plug-in inside it), the bus daemon and the method server, in
# microseconds per request; with BENCH_PERF=1 perf also splits the HTTP
# server's own time between the server, the plug-in (with the bus library
# it calls) and the kernel.
# Usage: bench/fdgate/run.sh [build-dir]   (default: build)
# Environment: BENCH_SECONDS (8), BENCH_CONNECTIONS (32), BENCH_ROUNDS (3),
# BENCH_PERF (0), BENCH_BEFORE (another build directory, say of an older
# commit: its fdgate runs in the same rounds as a "before" column).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
src=$(cd "$here/../.." && pwd)
build=${1:-$src/build}
case $build in /*) ;; *) build=$src/$build ;; esac
cmake --build "$build" -j2 --target fdgate uhttpd uh_request_server ubusd >/dev/null

duration=${BENCH_SECONDS:-8}
conns=${BENCH_CONNECTIONS:-32}
rounds=${BENCH_ROUNDS:-3}
big=$((64 << 20))
work=$(mktemp -d /tmp/fdgate-bench.XXXXXX)
pids=""
cleanup() {
	for p in $pids; do kill "$p" 2>/dev/null || true; done
	wait 2>/dev/null || true
	rm -rf "$work"
}
trap cleanup EXIT INT TERM

free_port() {
	python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}
wait_port() {
	i=0
	while ! (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; do
		i=$((i + 1)); [ $i -gt 100 ] && { echo "nothing listens on $1" >&2; exit 1; }
		sleep 0.05
	done
}

# the same bytes as the generator: byte i is i mod 251
python3 - "$work" "$big" <<'PY'
import sys
cycle = bytes(i % 251 for i in range(251))
def write(name, size):
    with open(f"{sys.argv[1]}/www/{name}", "wb") as f:
        block = cycle * (1 << 16)
        left = size
        while left:
            n = min(left, len(block))
            f.write(block[:n]); left -= n
import os
os.makedirs(f"{sys.argv[1]}/www")
write("1k", 1024)
write("big", int(sys.argv[2]))
PY

# a bus daemon, the request method server and uhttpd with fdgate, all from
# one build; sets <name>_port, <name>_pid (uhttpd), <name>_bus_pid and
# <name>_method_pid
start_gate() { # name build
	local dir="$work/$1" port
	mkdir -p "$dir"
	"$2/bin/ubusd" -s "$dir/ubus.sock" & eval "${1}_bus_pid=$!"; pids="$pids $!"
	while [ ! -S "$dir/ubus.sock" ]; do sleep 0.05; done
	"$2/bin/uh_request_server" -s "$dir/ubus.sock" -o ubus-fd >/dev/null &
	eval "${1}_method_pid=$!"; pids="$pids $!"
	sleep 0.2
	port=$(free_port)
	"$2/bin/uhttpd" -p "127.0.0.1:$port" -P "$2/lib/fdgate.so" -s "$dir/ubus.sock" \
		-x /p -o ubus-fd --max-connections 1000 >/dev/null & eval "${1}_pid=$!"; pids="$pids $!"
	eval "${1}_port=$port"
}
start_gate gate "$build"
before=${BENCH_BEFORE:-}
if [ -n "$before" ]; then
	case $before in /*) ;; *) before=$src/$before ;; esac
	cmake --build "$before" -j2 --target fdgate uhttpd uh_request_server ubusd >/dev/null
	start_gate old "$before"
fi

# one nginx configuration per role: static files, or a proxy to the first
start_nginx() { # name port server-block
	mkdir -p "$work/$1"
	cat > "$work/$1/nginx.conf" <<CONF
worker_processes 1;
daemon off;
pid $work/$1/nginx.pid;
error_log $work/$1/error.log;
user root;
events { worker_connections 1024; }
http {
	access_log off;
	sendfile on;
	keepalive_requests 1000000;
	client_body_temp_path $work/$1/body;
	proxy_temp_path $work/$1/proxy;
	fastcgi_temp_path $work/$1/fastcgi;
	uwsgi_temp_path $work/$1/uwsgi;
	scgi_temp_path $work/$1/scgi;
	$3
}
CONF
	nginx -c "$work/$1/nginx.conf" -p "$work/$1" & pids="$pids $!"
	eval "${1}_pid=$!"
}
nginx_port=$(free_port)
start_nginx nginx "$nginx_port" "server { listen 127.0.0.1:$nginx_port; root $work/www; }"
proxy_port=$(free_port)
start_nginx proxy "$proxy_port" "
	upstream origin { server 127.0.0.1:$nginx_port; keepalive 64; }
	server {
		listen 127.0.0.1:$proxy_port;
		location / {
			proxy_pass http://origin;
			proxy_http_version 1.1;
			proxy_set_header Connection \"\";
		}
	}"
wait_port "$gate_port"
[ -n "$before" ] && wait_port "$old_port"
wait_port "$nginx_port"
wait_port "$proxy_port"

# all serve the same bytes
curl -s "http://127.0.0.1:$gate_port/p/stream?size=1024" -o "$work/check.gate"
curl -s "http://127.0.0.1:$nginx_port/1k" -o "$work/check.nginx"
curl -s "http://127.0.0.1:$proxy_port/1k" -o "$work/check.proxy"
cmp -s "$work/check.gate" "$work/check.nginx" || { echo "fdgate and nginx differ" >&2; exit 1; }
cmp -s "$work/check.proxy" "$work/check.nginx" || { echo "the proxy and nginx differ" >&2; exit 1; }

# wrk's summary: requests/s and transfer/s (converted to MB/s)
measure() {
	out=$(wrk -t "$1" -c "$2" -d "${duration}s" "$3")
	rps=$(printf '%s\n' "$out" | awk '/^Requests\/sec/ {print $2}')
	mbs=$(printf '%s\n' "$out" | awk '/^Transfer\/sec/ {
		v = $2; u = v; sub(/[0-9.]+/, "", u); sub(/[A-Za-z]+$/, "", v)
		f = (u == "GB") ? 1024 : (u == "MB") ? 1 : (u == "KB") ? 1 / 1024 : 1 / 1048576
		printf "%.1f", v * f }')
	errs=$(printf '%s\n' "$out" | awk '/Non-2xx|Socket errors/ {print}')
	[ -n "$errs" ] && echo "  wrk: $errs" >&2
	echo "$rps $mbs"
}

# CPU seconds (user + system) a process and its children (nginx's
# workers) used so far
cpu_of() {
	local p files
	files="/proc/$1/stat"
	for p in $(pgrep -P "$1"); do files="$files /proc/$p/stat"; done
	cat $files 2>/dev/null | awk -v hz="$(getconf CLK_TCK)" '{ t += $14 + $15 } END { printf "%.3f", t / hz }'
}

small_path="/p/stream?size=1024"
small_n=""; small_p=""; small_o=""; big_n=""; big_p=""; big_o=""
big_path="/p/stream?size=$big"
median() { printf '%s\n' $1 | sort -g | awk '{ v[NR] = $1 } END { printf "%.3f", NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", a / b }'; }
# one row per round and case: [before] fdgate nginx proxy and the ratios
row() { # round case format old gate nginx proxy
	local ratios="$(ratio "$5" "$6") $(ratio "$5" "$7")"
	[ -n "$before" ] && ratios="$ratios $(ratio "$4" "$7")"
	printf "%-6s %-30s %10${3} %10${3} %10${3} %10${3}   %s\n" "$1" "$2" "${4:-0}" "$5" "$6" "$7" "$ratios"
}
echo "fdgate vs nginx, ${duration}s per run, $rounds rounds, wrk on 127.0.0.1 ($(nproc) cores)"
echo "ratios: fdgate/nginx fdgate/proxy${before:+ before/proxy}; before: $before"
printf '%-6s %-30s %10s %10s %10s %10s   %s\n' round case before fdgate nginx proxy ratios
for r in $(seq "$rounds"); do
	o=""; [ -n "$before" ] && { set -- $(measure 2 "$conns" "http://127.0.0.1:$old_port$small_path"); o=$1; }
	set -- $(measure 2 "$conns" "http://127.0.0.1:$gate_port$small_path"); g=$1
	set -- $(measure 2 "$conns" "http://127.0.0.1:$nginx_port/1k"); n=$1
	set -- $(measure 2 "$conns" "http://127.0.0.1:$proxy_port/1k"); p=$1
	row "$r" "1 KiB keep-alive -c$conns req/s" .0f "$o" "$g" "$n" "$p"
	small_n="$small_n $(ratio "$g" "$n")"; small_p="$small_p $(ratio "$g" "$p")"
	[ -n "$before" ] && small_o="$small_o $(ratio "$o" "$p")"
	o=""; [ -n "$before" ] && { set -- $(measure 1 1 "http://127.0.0.1:$old_port$big_path"); o=$2; }
	set -- $(measure 1 1 "http://127.0.0.1:$gate_port$big_path"); g=$2
	set -- $(measure 1 1 "http://127.0.0.1:$nginx_port/big"); n=$2
	set -- $(measure 1 1 "http://127.0.0.1:$proxy_port/big"); p=$2
	row "$r" "64 MiB, one connection, MB/s" .1f "$o" "$g" "$n" "$p"
	big_n="$big_n $(ratio "$g" "$n")"; big_p="$big_p $(ratio "$g" "$p")"
	[ -n "$before" ] && big_o="$big_o $(ratio "$o" "$p")"
done
printf '%-6s %-30s %43s   %s %s %s\n' median "1 KiB keep-alive -c$conns req/s" "" \
	"$(median "$small_n")" "$(median "$small_p")" "${before:+$(median "$small_o")}"
printf '%-6s %-30s %43s   %s %s %s\n' median "64 MiB, one connection, MB/s" "" \
	"$(median "$big_n")" "$(median "$big_p")" "${before:+$(median "$big_o")}"

# where the CPU time goes: CPU seconds of each process over the requests
# wrk counted, in microseconds per request
cpu_run() { # name url -> "requests http-server-us bus-us method-us"
	local h0 b0 m0 h1 b1 m1 out n hp bp mp
	eval "hp=\$${1}_pid bp=\$${1}_bus_pid mp=\$${1}_method_pid"
	h0=$(cpu_of "$hp"); b0=$(cpu_of "$bp"); m0=$(cpu_of "$mp")
	out=$(wrk -t 2 -c "$conns" -d "${duration}s" "$2")
	h1=$(cpu_of "$hp"); b1=$(cpu_of "$bp"); m1=$(cpu_of "$mp")
	n=$(printf '%s\n' "$out" | awk '/requests in/ {print $1}')
	awk -v n="$n" -v h="$h0 $h1" -v b="$b0 $b1" -v m="$m0 $m1" 'BEGIN {
		split(h, H, " "); split(b, B, " "); split(m, M, " ")
		printf "%d %.2f %.2f %.2f\n", n, (H[2] - H[1]) * 1e6 / n, (B[2] - B[1]) * 1e6 / n,
			(M[2] - M[1]) * 1e6 / n }'
}
# the anchors' CPU per request: both nginx processes for the proxy
nginx_cpu() { # url pid... -> microseconds per request
	local url=$1 t0 t1 out n p
	shift
	t0=0; for p in "$@"; do t0=$(awk -v a="$t0" -v b="$(cpu_of "$p")" 'BEGIN { print a + b }'); done
	out=$(wrk -t 2 -c "$conns" -d "${duration}s" "$url")
	t1=0; for p in "$@"; do t1=$(awk -v a="$t1" -v b="$(cpu_of "$p")" 'BEGIN { print a + b }'); done
	n=$(printf '%s\n' "$out" | awk '/requests in/ {print $1}')
	awk -v n="$n" -v a="$t0" -v b="$t1" 'BEGIN { printf "%.2f", (b - a) * 1e6 / n }'
}
split_cpu() { # name label
	local port requests http bus method alone
	eval "port=\$${1}_port"
	set -- "$1" "$2" $(cpu_run "$1" "http://127.0.0.1:$port$small_path")
	requests=$3; http=$4; bus=$5; method=$6
	# the server alone on the same connections: a 404 of its own, no plug-in
	set -- "$1" "$2" $(cpu_run "$1" "http://127.0.0.1:$port/nothing")
	alone=$4
	awk -v l="$2" -v n="$requests" -v h="$http" -v a="$alone" -v b="$bus" -v m="$method" 'BEGIN {
		printf "%s (%d requests):\n", l, n
		printf "  HTTP server process        %7.2f\n", h
		printf "    of which the server      %7.2f  (its CPU per request answering a 404 itself)\n", a
		printf "    of which the plug-in     %7.2f  (the rest: the plug-in and its bus library)\n", h - a
		printf "  bus daemon                 %7.2f\n  method server              %7.2f\n", b, m
		printf "  total                      %7.2f\n", h + b + m }'
}
echo "CPU per 1 KiB request (-c$conns), microseconds"
[ -n "$before" ] && split_cpu old "before"
split_cpu gate "fdgate"
proxy_us=$(nginx_cpu "http://127.0.0.1:$proxy_port/1k" "$proxy_pid" "$nginx_pid")
static_us=$(nginx_cpu "http://127.0.0.1:$nginx_port/1k" "$nginx_pid")
awk -v p="$proxy_us" -v s="$static_us" 'BEGIN {
	printf "anchors:\n  nginx proxy and origin     %7.2f\n  nginx serving the file     %7.2f\n", p, s }'

if [ "${BENCH_PERF:-0}" = 1 ]; then
	# the HTTP server's own time by where it runs: the plug-in's code and the
	# bus library it calls, the server and its event loop library, libc, the
	# kernel
	perf record -q -F 2000 -o "$work/perf.data" -p "$gate_pid" -- sleep "$duration" 2>/dev/null &
	perf_pid=$!
	wrk -t 2 -c "$conns" -d "${duration}s" "http://127.0.0.1:$gate_port$small_path" >/dev/null
	wait "$perf_pid" || true
	echo "fdgate's HTTP server process by object (perf, share of its samples):"
	perf report -i "$work/perf.data" --stdio --sort dso 2>/dev/null |
		awk '/%/ { printf "  %-28s %7s\n", $2, $1 }'
fi
