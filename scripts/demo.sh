#!/bin/bash
# SPDX-License-Identifier: ISC
# The simulated power switch: the whole firmware side of the box on this
# machine, on loopback only. See --help.
set -u

usage() {
	cat <<EOF
Usage: $0 [options]
  --outlets N       outlets of the simulated relay (8)
  --buses N         buses of the simulated meter (2)
  --snmp-port P     UDP port of the SNMP master agent (1161)
  --trap-port P     UDP port where snmptrapd listens (1162)
  --http-port P     TCP port of the HTTP server (8080)
  --build DIR       build folder with bin/ and lib/ (./build)
  --emulator CMD    run our programs under CMD, for a build for another
                    architecture (e.g. "qemu-mips-static -L SYSROOT")
  --tour            run a scripted walk-through, exit 0 only if every step passed
  --private         run in private mount and network namespaces (root); the
                    commands printed then work only from inside them
  --hold            keep running when a process ends, for a caller that stops
                    and restarts processes itself: <logs>/processes lists each
                    started process ("name pid"), <logs>/exits each that ended
                    ("pid status")
  -h, --help        this text
The bus daemon is the build's, or the program named by EO_UBUSD.
EOF
}

top=$(cd "$(dirname "$0")/.." && pwd)
outlets=8 buses=2 snmp_port=1161 trap_port=1162 http_port=8080
build=$top/build tour=0 private=0 hold=0 emulator=
args=("$@")
while [ $# -gt 0 ]; do
	case $1 in
	--outlets) outlets=$2; shift ;;
	--buses) buses=$2; shift ;;
	--snmp-port) snmp_port=$2; shift ;;
	--trap-port) trap_port=$2; shift ;;
	--http-port) http_port=$2; shift ;;
	--build) build=$(cd "$2" && pwd); shift ;;
	--emulator) emulator=$2; shift ;;
	--tour) tour=1 ;;
	--private) private=1 ;;
	--hold) hold=1 ;;
	-h|--help) usage; exit 0 ;;
	*) usage >&2; exit 2 ;;
	esac
	shift
done

# Private namespaces: own /tmp, /var/run/ubus and loopback. A source or
# build folder under /tmp stays visible: its top folder under the old /tmp
# is bound into the new one (through a descriptor opened before the mount).
if [ $private = 1 ] && [ -z "${DEMO_IN_PRIVATE:-}" ]; then
	export DEMO_IN_PRIVATE=1
	keep=
	for d in "$top" "$build"; do
		d=$(realpath "$d")
		case $d in /tmp/?*) d=${d#/tmp/}; keep="$keep ${d%%/*}" ;; esac
	done
	export DEMO_KEEP_TMP="$keep"
	exec unshare -m -n /bin/bash -c '
		exec 9</tmp &&
		mount --make-rprivate / && mount -t tmpfs tmpfs /tmp || exit 1
		for k in $DEMO_KEEP_TMP; do
			[ -d /tmp/$k ] && continue
			mkdir /tmp/$k && mount --no-canonicalize --rbind /proc/self/fd/9/$k /tmp/$k || exit 1
		done
		exec 9<&-
		mkdir -p /var/run/ubus && mount -t tmpfs tmpfs /var/run/ubus &&
		ip link set lo up && exec "$0" "$@"' "$0" "${args[@]}"
fi

bin=$build/bin
# our programs, and the plug-in inside uhttpd, may be built for the target
read -r -a emu <<<"$emulator"
plugin=$build/lib/fdgate.so
bus_socket=/var/run/ubus/ubus.sock
agentx=/tmp/snmpd_agentx
relay=relay meter=meter web=powerswitch.web serial=serial prefix=/power
for p in ubusd ubus powersim eoagent uhttpd uartlink serialpeer; do
	[ -x "$bin/$p" ] || { echo "missing $bin/$p: build first (scripts/run-demo.sh does)" >&2; exit 1; }
done
[ -f "$plugin" ] || { echo "missing $plugin: build first" >&2; exit 1; }
if [ "$(id -u)" != 0 ]; then
	echo "run as root: the bus socket and the AgentX socket live at fixed system paths" >&2
	exit 1
fi
if [ -S $bus_socket ] && "${emu[@]}" "$bin/ubus" -s $bus_socket -t 1 list >/dev/null 2>&1; then
	echo "a bus daemon already answers at $bus_socket; stop it or use --private" >&2
	exit 1
fi
if ss -xl 2>/dev/null | grep -q " $agentx "; then
	echo "another master agent listens on $agentx; stop it or use --private" >&2
	exit 1
fi

run=$(mktemp -d /tmp/powerswitch.XXXXXX)
pids=()
names=()

# Ends every process, newest first; keeps the logs when asked to.
stop_processes() {
	local i
	for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
		kill -TERM "${pids[i]}" 2>/dev/null
		# give each its time to end in order, then insist
		for _ in $(seq 50); do kill -0 "${pids[i]}" 2>/dev/null || break; sleep 0.1; done
		kill -KILL "${pids[i]}" 2>/dev/null
		wait "${pids[i]}" 2>/dev/null
	done
	pids=()
	rm -f $agentx $bus_socket
}
stop_all() {
	trap - INT TERM EXIT
	stop_processes
	rm -rf "$run"
}
trap 'stop_all; exit 130' INT
trap 'stop_all; exit 143' TERM
trap stop_all EXIT

# start NAME COMMAND...: runs in the background, output in $run/NAME.log
start() {
	local name=$1
	shift
	"$@" >"$run/$name.log" 2>&1 &
	pids+=($!)
	names+=("$name")
}

# wait_for WHAT COMMAND...: polls COMMAND for up to 10 s
wait_for() {
	local what=$1
	shift
	for _ in $(seq 100); do
		"$@" >/dev/null 2>&1 && return 0
		sleep 0.1
	done
	echo "demo: $what did not come up; its log:" >&2
	tail -n 20 "$run"/*.log >&2
	exit 1
}

ubus() { "${emu[@]}" "$bin/ubus" -s $bus_socket "$@"; }
snmp_env=(env SNMPCONFPATH="$run" SNMP_PERSISTENT_DIR="$run/persist" MIBS=)

# the bus and the device
mkdir -p /var/run/ubus
rm -f $bus_socket
start ubusd "${emu[@]}" "${EO_UBUSD:-$bin/ubusd}" -s $bus_socket
wait_for "the bus daemon" test -S $bus_socket
on=()
for ((i = 0; i < outlets; i++)); do on+=(--on $i); done
start powersim "${emu[@]}" "$bin/powersim" -s $bus_socket --outlets "$outlets" --buses "$buses" "${on[@]}" \
	--switch-delay 300 --drift 2000 --log "$run/sets.log" --http-object $web
wait_for "the simulated power switch" ubus -t 1 call $web last

# SNMP: notification receiver, master agent, our subagent
cat >"$run/snmptrapd.conf" <<EOF
disableAuthorization yes
EOF
start snmptrapd "${snmp_env[@]}" /usr/sbin/snmptrapd -f -Lf "$run/traps.log" -On -C -c "$run/snmptrapd.conf" \
	udp:127.0.0.1:$trap_port
cat >"$run/snmpd.conf" <<EOF
master agentx
agentXSocket $agentx
agentaddress udp:127.0.0.1:$snmp_port
rocommunity public 127.0.0.1
rwcommunity private 127.0.0.1
trap2sink 127.0.0.1:$trap_port public
EOF
rm -f $agentx
start snmpd "${snmp_env[@]}" /usr/sbin/snmpd -f -Lo -C -c "$run/snmpd.conf"
wait_for "snmpd" test -S $agentx
start eoagent "${emu[@]}" "$bin/eoagent" $relay $meter
walk() { snmpwalk -v2c -c public -On -Lo 127.0.0.1:$snmp_port 1.3.6.1.2.1.229 "$@"; }
wait_for "the energy-object subagent" sh -c "snmpget -v2c -c public -On -Lo 127.0.0.1:$snmp_port \
	1.3.6.1.2.1.229.1.2.1.8.1 | grep -q INTEGER"

# HTTP: the server with the ubus-fd plug-in in front of the simulator's web object
start uhttpd "${emu[@]}" "$bin/uhttpd" -p 127.0.0.1:$http_port -P "$plugin" -s $bus_socket -x $prefix -o $web
wait_for "the HTTP server" curl -sf -o /dev/null "http://127.0.0.1:$http_port$prefix/outlets"

# the serial bridge, with a simulated device at the other end of its line
start serialpeer "${emu[@]}" "$bin/serialpeer" --log "$run/serial.log" --every 20 -- \
	"${emu[@]}" "$bin/uartlink" $serial
wait_for "the serial bridge" ubus -t 1 call $serial get_heartbeat

cat <<EOF

The simulated power switch is up ($outlets outlets, $buses buses); everything listens on loopback.
Logs are in $run.

  Walk the energy-object MIB:
    snmpwalk -v2c -c public 127.0.0.1:$snmp_port 1.3.6.1.2.1.229
  Switch outlet 3 off over SNMP (257 off, 259 on), then read its rows:
    snmpset -v2c -c private 127.0.0.1:$snmp_port 1.3.6.1.2.1.229.1.2.1.8.3 i 257
    snmpwalk -v2c -c public 127.0.0.1:$snmp_port 1.3.6.1.2.1.229.1.3.1 | grep '\\.3\\.25[79] '
  Outlet status page, and switching over HTTP:
    curl http://127.0.0.1:$http_port$prefix/outlets
    curl 'http://127.0.0.1:$http_port$prefix/switch?outlet=3&state=on'
  The bus, and a line over the serial bridge (the device answers "ack ..."):
    $bin/ubus -s $bus_socket list
    $bin/ubus -s $bus_socket listen orv.serial.recv &
    $bin/ubus -s $bus_socket call $serial send '{"line":"hello"}'

Power-state notifications and serial traffic follow below. Ctrl-C stops everything.

EOF

if [ $hold = 1 ]; then
	for ((i = 0; i < ${#names[@]}; i++)); do echo "${names[i]} ${pids[i]}"; done >"$run/processes"
	# reap what ends, and say so; whoever stopped it knows why
	while :; do
		ended=
		wait -n -p ended
		status=$?
		if [ -n "$ended" ]; then echo "$ended $status" >>"$run/exits"; else sleep 1; fi
	done
fi

if [ $tour = 0 ]; then
	tail -n +1 -F "$run/traps.log" "$run/serial.log" 2>/dev/null &
	pids=("$!" "${pids[@]}")
	while sleep 1; do
		for ((i = 0; i < ${#names[@]}; i++)); do
			kill -0 "${pids[i + 1]}" 2>/dev/null && continue
			echo "demo: ${names[i]} ended; its log:" >&2
			tail -n 20 "$run/${names[i]}.log" >&2
			exit 1
		done
	done
fi

# --- the tour -------------------------------------------------------------
failures=0
step() { printf '\n== %s\n' "$*"; }
show() { printf '   $ %s\n' "$*"; }
pass() { printf '   ok: %s\n' "$*"; }
fail() { printf '   FAILED: %s\n' "$*"; failures=$((failures + 1)); }
indent() { sed 's/^/     /'; }
# expect_within SECONDS DESCRIPTION COMMAND...: polls until COMMAND succeeds
expect_within() {
	local secs=$1 what=$2
	shift 2
	for _ in $(seq $((secs * 10))); do
		"$@" >/dev/null 2>&1 && { pass "$what"; return 0; }
		sleep 0.1
	done
	fail "$what"
	return 1
}
get() { snmpget -v2c -c public -On -Lo -Oqv 127.0.0.1:$snmp_port "$@" 2>&1; }
oper_state_is() { [ "$(get 1.3.6.1.2.1.229.1.2.1.9.$1)" = "$2" ]; }

step "Walk the energy-object subtree"
show "snmpwalk -v2c -c public -On 127.0.0.1:$snmp_port 1.3.6.1.2.1.229"
walk >"$run/walk1" 2>&1
head -n 12 "$run/walk1" | indent
echo "     ... ($(wc -l <"$run/walk1") lines)"
admin_rows=$(grep -c '^\.1\.3\.6\.1\.2\.1\.229\.1\.2\.1\.8\.' "$run/walk1")
[ "$admin_rows" = $((outlets + buses)) ] && pass "$admin_rows power rows: $outlets outlets and $buses buses" ||
	fail "expected $((outlets + buses)) power rows, saw $admin_rows"
state_rows=$(grep -c '^\.1\.3\.6\.1\.2\.1\.229\.1\.3\.1\.1\.' "$run/walk1")
[ "$state_rows" = $((2 * outlets)) ] && pass "$state_rows power-state rows" ||
	fail "expected $((2 * outlets)) power-state rows, saw $state_rows"
bus_power=$(get 1.3.6.1.2.1.229.1.2.1.1.257)
[[ $bus_power =~ ^[0-9]+$ ]] && [ "$bus_power" -gt 0 ] && pass "bus 1 draws $bus_power W" ||
	fail "bus 1 power: $bus_power"

step "Switch outlet 3 off over SNMP"
entries_before=$(get 1.3.6.1.2.1.229.1.3.1.5.3.257)
show "snmpset -v2c -c private 127.0.0.1:$snmp_port 1.3.6.1.2.1.229.1.2.1.8.3 i 257"
snmpset -v2c -c private -On -Lo 127.0.0.1:$snmp_port 1.3.6.1.2.1.229.1.2.1.8.3 i 257 2>&1 | indent
expect_within 5 "the relay received the set" grep -q '"transient_state"' "$run/sets.log"
sed 's/^/     set: /' "$run/sets.log" | tail -n 1
expect_within 5 "eoPowerOperState.3 is off (257)" oper_state_is 3 257
printf '     admin %s, oper %s\n' "$(get 1.3.6.1.2.1.229.1.2.1.8.3)" "$(get 1.3.6.1.2.1.229.1.2.1.9.3)"
expect_within 5 "a power-state notification for outlet 3 reached snmptrapd" \
	grep -q '229\.1\.2\.1\.9\.3 = INTEGER: 257' "$run/traps.log"
grep -A3 '229\.0\.2' "$run/traps.log" | tail -n 4 | tr '\t' '\n' | grep '229\.1\.2\.1' | indent
entries_after=$(get 1.3.6.1.2.1.229.1.3.1.5.3.257)
[ "$entries_after" = $((entries_before + 1)) ] &&
	pass "entries into 'off' went from $entries_before to $entries_after" ||
	fail "entries into 'off': before $entries_before, after $entries_after"
printf '     time on: %s, time off: %s\n' "$(get 1.3.6.1.2.1.229.1.3.1.4.3.259)" \
	"$(get 1.3.6.1.2.1.229.1.3.1.4.3.257)"

step "Fetch the status page over HTTP"
show "curl http://127.0.0.1:$http_port$prefix/outlets"
curl -s "http://127.0.0.1:$http_port$prefix/outlets" >"$run/page" 2>&1
grep '<tr><td>' "$run/page" | head -n 4 | indent
grep -q '<tr><td>3</td><td>off</td><td>off</td></tr>' "$run/page" &&
	pass "the page shows outlet 3 off" || fail "outlet 3 not shown off on the page"

step "Switch outlet 3 back on over HTTP"
show "curl 'http://127.0.0.1:$http_port$prefix/switch?outlet=3&state=on'"
curl -s "http://127.0.0.1:$http_port$prefix/switch?outlet=3&state=on" 2>&1 | indent
expect_within 5 "eoPowerOperState.3 is on (259)" oper_state_is 3 259

step "Send a line over the serial bridge"
"${emu[@]}" "$bin/ubus" -s $bus_socket listen orv.serial.recv >"$run/events" 2>&1 &
listener=$!
sleep 0.5
show "ubus call $serial send '{\"line\":\"hello from the tour\"}'"
ubus call $serial send '{"line":"hello from the tour"}' 2>&1 | indent
expect_within 5 "the device received the line" grep -q 'received "hello from the tour"' "$run/serial.log"
expect_within 5 "its answer came back as an orv.serial.recv event" grep -q 'ack hello from the tour' "$run/events"
indent <"$run/events"
kill $listener 2>/dev/null
wait $listener 2>/dev/null

step "Nothing spins while the box is idle"
cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat" 2>/dev/null || echo 0; }
declare -A before
for ((i = 0; i < ${#pids[@]}; i++)); do before[$i]=$(cpu_ticks "${pids[i]}"); done
sleep 2
busy=""
for ((i = 0; i < ${#pids[@]}; i++)); do
	used=$(($(cpu_ticks "${pids[i]}") - before[$i]))
	# a tenth of the two seconds; drift and heartbeat need far less
	[ $used -gt 20 ] && busy="$busy ${names[i]}($used ticks)"
done
[ -z "$busy" ] && pass "every process slept (under 10% CPU over 2 s)" || fail "busy while idle:$busy"

step "Shut everything down"
stop_processes
if grep -l -E 'ERROR: (Address|Leak)Sanitizer|runtime error:' "$run"/*.log >"$run/reports"; then
	fail "sanitizer reports in: $(tr '\n' ' ' <"$run/reports")"
	grep -h -A12 -E 'ERROR: (Address|Leak)Sanitizer|runtime error:' "$run"/*.log | head -n 60 | indent
else
	pass "every process ended without a sanitizer report"
fi

echo
if [ $failures = 0 ]; then
	echo "tour: every step passed"
	exit 0
fi
echo "tour: $failures step(s) failed"
exit 1
