#!/bin/sh
# SPDX-License-Identifier: ISC
# Installs the host libubox/libubus into a prefix, then configures and
# builds a small project against them three ways: through CMAKE_PREFIX_PATH,
# through pkg-config alone, and with neither (stand-ins expected). The
# probe must load the installed files.
#   run.sh <source dir> <build dir> <C compiler> <C++ compiler> <sanitize ON|OFF>
set -eu
src=$1 build=$2 cc=$3 cxx=$4 sanitize=$5
work=$build/prefix-test
rm -rf "$work"
mkdir -p "$work"
prefix=$work/prefix

cmake --install "$build" --component platform-stand-ins --prefix "$prefix" >"$work/install.log"
for f in lib/libubox.so lib/libubus.so include/libubox/uloop.h include/libubus.h \
    include/ubusmsg.h lib/pkgconfig/libubus.pc; do
  [ -e "$prefix/$f" ] || { echo "not installed: $f"; cat "$work/install.log"; exit 1; }
done
real_prefix=$(realpath "$prefix")

flags=""
if [ "$sanitize" = ON ]; then
  flags="-fsanitize=address,undefined"
fi

configure() { # name [VAR=value...] [-- cmake arguments...]
  name=$1
  shift
  vars=""
  while [ $# -gt 0 ] && [ "$1" != -- ]; do
    vars="$vars $1"
    shift
  done
  [ $# -gt 0 ] && shift
  # shellcheck disable=SC2086 # one word per assignment
  env -u CMAKE_PREFIX_PATH -u PKG_CONFIG_PATH $vars cmake -S "$src/cmake/prefix-test" \
    -B "$work/$name" -G Ninja -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$cxx" \
    -DCMAKE_EXE_LINKER_FLAGS="$flags" "$@" >"$work/$name.log" 2>&1 ||
    { cat "$work/$name.log"; exit 1; }
  grep -E '^-- libub(ox|us):' "$work/$name.log"
}

check_installed() { # name
  name=$1
  for lib in libubox libubus; do
    line=$(grep "^-- $lib: " "$work/$name.log")
    case $line in
    *"installed, "*) ;;
    *) echo "$name: $lib not taken from the prefix: $line"; exit 1 ;;
    esac
    file=$(printf '%s\n' "$line" | sed 's/.*installed, \([^ ]*\) .*/\1/')
    case $(realpath "$file") in
    "$real_prefix"/*) ;;
    *) echo "$name: $lib is $file, outside $prefix"; exit 1 ;;
    esac
  done
  cmake --build "$work/$name" >"$work/$name.build.log" 2>&1 ||
    { cat "$work/$name.build.log"; exit 1; }
  out=$(ASAN_OPTIONS=detect_leaks=0 "$work/$name/probe")
  printf '%s\n' "$out"
  for lib in libubox libubus; do
    loaded=$(printf '%s\n' "$out" | sed -n "s/^$lib //p")
    case $(realpath "$loaded") in
    "$real_prefix/lib/$lib.so") ;;
    *) echo "$name: the probe ran with $lib from $loaded"; exit 1 ;;
    esac
  done
  printf '%s\n' "$out" | grep -qx 'Not found / 20 / 20' ||
    { echo "$name: unexpected probe output"; exit 1; }
}

echo "== CMAKE_PREFIX_PATH"
configure by-prefix-path -- -DCMAKE_PREFIX_PATH="$prefix"
check_installed by-prefix-path

echo "== CMAKE_PREFIX_PATH from the environment"
configure by-env CMAKE_PREFIX_PATH="$prefix"
check_installed by-env

echo "== pkg-config"
configure by-pkg-config PKG_CONFIG_PATH="$prefix/lib/pkgconfig"
check_installed by-pkg-config

echo "== nothing installed"
configure none
grep -q '^-- libubox: host stand-in' "$work/none.log"
grep -q '^-- libubus: host stand-in' "$work/none.log"

echo "== the installed pair refused on request"
configure forced -- -DCMAKE_PREFIX_PATH="$prefix" -DEO_HOST_UBUS=ON
grep -q '^-- libubus: host stand-in' "$work/forced.log"

rm -rf "$work"
echo ok
