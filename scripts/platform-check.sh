#!/bin/sh
# SPDX-License-Identifier: ISC
# For integrators with the device's SDK installed under PREFIX (include/
# with libubox/ and libubus.h, lib/ with libubox and libubus, sbin/ubusd):
# builds this tree against that libubox and libubus and runs the
# integration tests of eoagent, fdgate and uartlink and the demo tour with
# PREFIX/sbin/ubusd as the bus daemon. Run as root (the tests enter private
# namespaces). Exits 0 only when every one of those tests passed.
#
#   scripts/platform-check.sh PREFIX [BUILD] [-- CMAKE ARGUMENTS...]
#
# BUILD is the build folder (default: $TMPDIR/platform-check, /tmp when
# TMPDIR is unset); it is reused by the next run. ccache is used when
# installed. JOBS sets the parallel build and test jobs (2).
set -eu

usage() {
  sed -n '2,14s/^# \{0,1\}//p' "$0" >&2
  exit 2
}
[ $# -ge 1 ] || usage
case $1 in -h | --help) usage ;; esac
src=$(cd "$(dirname "$0")/.." && pwd)
prefix=$(realpath "$1")
shift
build=${TMPDIR:-/tmp}/platform-check
if [ $# -gt 0 ] && [ "$1" != -- ]; then
  build=$1
  shift
fi
[ $# -gt 0 ] && [ "$1" = -- ] && shift
jobs=${JOBS:-2}

missing=""
for f in include/libubus.h include/libubox/uloop.h sbin/ubusd; do
  [ -e "$prefix/$f" ] || missing="$missing $f"
done
for lib in libubox libubus; do
  ls "$prefix"/lib/"$lib".so* >/dev/null 2>&1 || missing="$missing lib/$lib.so"
done
if [ -n "$missing" ]; then
  echo "platform-check: $prefix lacks:$missing" >&2
  exit 1
fi

launcher=""
if command -v ccache >/dev/null 2>&1; then
  launcher="-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache"
fi
mkdir -p "$build"
echo "platform-check: configuring $build against $prefix"
# shellcheck disable=SC2086 # the launcher options are separate words
if ! env -u PKG_CONFIG_PATH cmake -S "$src" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -U 'EO_UBOX_*' -U 'EO_UBUS_*' -DCMAKE_PREFIX_PATH="$prefix" -DEO_HOST_UBUS=OFF -DEO_BENCH=OFF -DEO_TESTS=ON $launcher "$@" \
  >"$build/configure.log" 2>&1; then
  cat "$build/configure.log" >&2
  exit 1
fi
# the configure step names the libraries it took: both must be the SDK's
for lib in libubox libubus; do
  line=$(grep "^-- $lib: " "$build/configure.log" || true)
  file=$(printf '%s\n' "$line" | sed -n 's/^-- [a-z]*: installed, \([^ ]*\) .*/\1/p')
  case $(realpath "${file:-/nonexistent}" 2>/dev/null) in
  "$prefix"/*) echo "platform-check: $lib from $file" ;;
  *)
    echo "platform-check: $lib was not taken from $prefix: ${line:-no line in configure.log}" >&2
    exit 1
    ;;
  esac
done

# what the chosen tests run, and the tests themselves
targets="eoagent fdgate uartlink uhttpd uh_request_server powersim serialpeer ubus_cli ubusd
  eoagent_unit_test eoagent_agent_test fdgate_http_test fdgate_relay_test uartlink_test"
echo "platform-check: building"
# shellcheck disable=SC2086 # one word per target
if ! cmake --build "$build" -j"$jobs" --target $targets >"$build/build.log" 2>&1; then
  tail -50 "$build/build.log" >&2
  exit 1
fi

tests='^(eoagent_unit_test|eoagent_agent_test|fdgate_http_test|fdgate_relay_test|uartlink_test)\.|^demo_tour$'
echo "platform-check: running the integration tests with $prefix/sbin/ubusd"
EO_UBUSD=$prefix/sbin/ubusd LD_LIBRARY_PATH="$prefix/lib${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}" \
  ctest --test-dir "$build" -R "$tests" -j"$jobs" --output-on-failure >"$build/tests.log" 2>&1 && rc=0 || rc=$?
grep -E '^ *[0-9]+/[0-9]+ Test' "$build/tests.log" | sed 's/  */ /g'
grep -E 'tests passed|Total Test time' "$build/tests.log"
count=$(grep -cE '^ *[0-9]+/[0-9]+ Test' "$build/tests.log" || true)
if [ "$count" -eq 0 ]; then
  echo "platform-check: no test ran" >&2
  exit 1
fi
if [ "$rc" -ne 0 ]; then
  echo "platform-check: failed; the full output is in $build/tests.log" >&2
  exit 1
fi
echo "platform-check: $count tests passed against $prefix"
