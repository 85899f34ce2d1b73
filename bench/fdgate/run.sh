#!/bin/bash
# fdgate beside nginx, same machine, same bytes, same wrk runs:
#   requests per second for a 1 KiB response on keep-alive connections,
#   MB/s for one 256 MiB response at a time.
# fdgate's bytes come from the request method server's generator; nginx
# serves identical bytes from files.
# Usage: bench/fdgate/run.sh [build-dir]   (default: build)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
src=$(cd "$here/../.." && pwd)
build=${1:-$src/build}
case $build in /*) ;; *) build=$src/$build ;; esac
cmake --build "$build" -j2 --target fdgate uhttpd uh_request_server ubusd >/dev/null

duration=${BENCH_SECONDS:-8}
conns=${BENCH_CONNECTIONS:-32}
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
python3 - "$work" <<'PY'
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
write("256m", 256 << 20)
PY

"$build/bin/ubusd" -s "$work/ubus.sock" & pids="$pids $!"
while [ ! -S "$work/ubus.sock" ]; do sleep 0.05; done
"$build/bin/uh_request_server" -s "$work/ubus.sock" -o ubus-fd >/dev/null & pids="$pids $!"
sleep 0.2
gate_port=$(free_port)
"$build/bin/uhttpd" -p "127.0.0.1:$gate_port" -P "$build/lib/fdgate.so" -s "$work/ubus.sock" \
	-x /p -o ubus-fd --max-connections 1000 >/dev/null & pids="$pids $!"

nginx_port=$(free_port)
mkdir -p "$work/nginx"
cat > "$work/nginx/nginx.conf" <<CONF
worker_processes 1;
daemon off;
pid $work/nginx/nginx.pid;
error_log $work/nginx/error.log;
user root;
events { worker_connections 1024; }
http {
	access_log off;
	sendfile on;
	keepalive_requests 1000000;
	client_body_temp_path $work/nginx/body;
	proxy_temp_path $work/nginx/proxy;
	fastcgi_temp_path $work/nginx/fastcgi;
	uwsgi_temp_path $work/nginx/uwsgi;
	scgi_temp_path $work/nginx/scgi;
	server {
		listen 127.0.0.1:$nginx_port;
		root $work/www;
	}
}
CONF
nginx -c "$work/nginx/nginx.conf" -p "$work/nginx" & pids="$pids $!"
wait_port "$gate_port"
wait_port "$nginx_port"

# both serve the same bytes
curl -s "http://127.0.0.1:$gate_port/p/stream?size=1024" -o "$work/check.gate"
curl -s "http://127.0.0.1:$nginx_port/1k" -o "$work/check.nginx"
cmp -s "$work/check.gate" "$work/check.nginx" || { echo "the two servers differ" >&2; exit 1; }

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

echo "fdgate vs nginx, ${duration}s per run, wrk on 127.0.0.1 ($(nproc) cores)"
set -- $(measure 2 "$conns" "http://127.0.0.1:$gate_port/p/stream?size=1024"); gate_rps=$1
set -- $(measure 2 "$conns" "http://127.0.0.1:$nginx_port/1k"); nginx_rps=$1
echo "1 KiB, keep-alive, $conns connections:"
echo "  fdgate  $gate_rps requests/s"
echo "  nginx   $nginx_rps requests/s"
awk -v a="$gate_rps" -v b="$nginx_rps" 'BEGIN { printf "  ratio   %.3f (fdgate / nginx)\n", a / b }'

set -- $(measure 1 1 "http://127.0.0.1:$gate_port/p/stream?size=268435456"); gate_mbs=$2
set -- $(measure 1 1 "http://127.0.0.1:$nginx_port/256m"); nginx_mbs=$2
echo "256 MiB response, one connection:"
echo "  fdgate  $gate_mbs MB/s"
echo "  nginx   $nginx_mbs MB/s"
awk -v a="$gate_mbs" -v b="$nginx_mbs" 'BEGIN { printf "  ratio   %.3f (fdgate / nginx)\n", a / b }'
