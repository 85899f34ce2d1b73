#!/bin/sh
# SPDX-License-Identifier: ISC
# Builds the sysroot of the target (32-bit big-endian MIPS Linux): the
# libraries the deliverables and their tests link, cross-compiled from
# Debian's own source packages, next to Debian's cross C library.
#
#   scripts/cross-mips.sh            prints the sysroot's path (builds it first
#                                    when the cache has no sysroot for the
#                                    current source package versions)
#   scripts/cross-mips.sh --build B  also configures and builds the tree for
#                                    the target in B, with the sysroot
#
# The sysroot is cached outside the checkout, in
# ${EO_MIPS_CACHE:-/var/cache/eo-mips-sysroot}/<key>, where the key is made of
# the source package versions and the recipe below; a second run with the
# same versions reuses it. Only what the tree needs is built: shared liblua
# and the interpreter of both Lua versions, libcrypto/libssl, libcares,
# libjson-c, net-snmp's agent libraries, GoogleTest/GoogleMock.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
cache=${EO_MIPS_CACHE:-/var/cache/eo-mips-sysroot}
jobs=${JOBS:-$(nproc)}
triple=mips-linux-gnu
# Bump when the recipe below changes what ends up in the sysroot.
recipe=1
sources="lua5.4 lua5.1 c-ares openssl json-c net-snmp googletest"

build_dir=
while [ $# -gt 0 ]; do
  case "$1" in
    --build) build_dir=$2; shift 2 ;;
    *) echo "usage: $0 [--build DIR]" >&2; exit 2 ;;
  esac
done

# Cross compilers, qemu, dpkg-dev and the deb-src entry come with the rest.
"$top/scripts/setup-deps.sh" >&2

log() { echo "cross-mips: $*" >&2; }

# Newest version of each source package the archive offers.
versions=""
for p in $sources; do
  v=$(apt-cache showsrc --only-source "$p" 2>/dev/null | awk '/^Version:/ {print $2}' | sort -V | tail -n1)
  [ -n "$v" ] || { log "no source package $p (is there a deb-src entry?)"; exit 1; }
  versions="$versions $p=$v"
done
key=$(printf '%s recipe=%s %s\n' "$versions" "$recipe" "$($triple-gcc -dumpversion)" | sha256sum | cut -c1-16)
root=$cache/$key
# One build at a time: a second run waits for the first instead of starting
# over in the same folder (which would delete what the first is building).
mkdir -p "$cache"
exec 9>"$cache/.lock"
flock 9
if [ -e "$root/.complete" ]; then
  log "sysroot $root (cached)"
else
  start=$(date +%s)
  log "building sysroot $root for:$versions"
  rm -rf "$root"
  mkdir -p "$root/usr/lib/pkgconfig" "$root/usr/include" "$root/usr/bin" "$root/src"
  # The C library, libstdc++ and the dynamic loader come from Debian's
  # cross packages; qemu -L <root> finds them under /lib.
  ln -s /usr/$triple/lib "$root/lib"
  cd "$root/src"

  # Fetch: the archive's newest version first, older ones when a mirror
  # lacks it; what was built is written to the manifest.
  for p in $sources; do
    ok=
    for v in $(apt-cache showsrc --only-source "$p" | awk '/^Version:/ {print $2}' | sort -rV); do
      if apt-get source -qq "$p=$v" >/dev/null 2>&1; then ok=$v; break; fi
    done
    [ -n "$ok" ] || { log "cannot fetch the source of $p"; exit 1; }
    echo "$p $ok" >>"$root/manifest"
  done
  srcdir() { find "$root/src" -maxdepth 1 -mindepth 1 -type d -name "$1-*" | head -n1; }

  export CC=$triple-gcc CXX=$triple-g++ AR=$triple-ar RANLIB=$triple-ranlib
  opt="-O2 -g0 -fPIC"
  ncpu=$jobs

  # Lua: liblua<ver>.so and the interpreter lua<ver>, compiled straight from
  # the sources (the Debian makefile wants libtool and the host's tools).
  build_lua() { # ver cflags
    ver=$1 cflags=$2 d=$(srcdir lua$1)
    mkdir -p "$d/cross" "$root/usr/include/lua$ver"
    # Debian's luaconf.h takes the module folder's multiarch name from here.
    echo "#define DEB_HOST_MULTIARCH \"$triple\"" >"$root/usr/include/lua$ver/lua$ver-deb-multiarch.h"
    objs=""
    for c in "$d"/src/*.c; do
      case "$(basename "$c")" in lua.c|luac.c|print.c) continue ;; esac
      o="$d/cross/$(basename "$c" .c).o"
      echo "$CC $opt $cflags -I$root/usr/include/lua$ver -c $c -o $o"
      objs="$objs $o"
    done | xargs -P "$ncpu" -I{} sh -c '{}'
    $CC -shared -o "$root/usr/lib/liblua$ver.so" -Wl,-soname,liblua$ver.so "$d"/cross/*.o -lm -ldl
    $CC $opt $cflags -I"$d/src" -I"$root/usr/include/lua$ver" -o "$root/usr/bin/lua$ver" "$d/src/lua.c" -Wl,-E \
      -L"$root/usr/lib" -llua$ver -lm -ldl
    for h in lua.h luaconf.h lualib.h lauxlib.h; do cp "$d/src/$h" "$root/usr/include/lua$ver/"; done
    if [ -e "$d/src/lua.hpp" ]; then cp "$d/src/lua.hpp" "$root/usr/include/lua$ver/"
    else cp "$d/etc/lua.hpp" "$root/usr/include/lua$ver/"; fi
    cat >"$root/usr/lib/pkgconfig/lua$ver.pc" <<EOF
prefix=$root/usr
Name: Lua
Description: Lua language engine
Version: $ver
Libs: -L\${prefix}/lib -llua$ver
Libs.private: -lm -ldl
Cflags: -I\${prefix}/include/lua$ver
EOF
  }
  log "lua 5.4"; build_lua 5.4 "-DLUA_USE_LINUX -DLUA_COMPAT_5_3"
  log "lua 5.1"; build_lua 5.1 "-DLUA_USE_POSIX -DLUA_USE_DLOPEN"

  cmake_cross() { # srcdir args...
    s=$1; shift
    cmake -S "$s" -B "$s/cross" -G Ninja -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_SYSTEM_NAME=Linux -DCMAKE_SYSTEM_PROCESSOR=mips \
      -DCMAKE_C_COMPILER=$CC -DCMAKE_CXX_COMPILER=$CXX \
      -DCMAKE_C_FLAGS="$opt" -DCMAKE_CXX_FLAGS="$opt" \
      -DCMAKE_INSTALL_PREFIX="$root/usr" -DCMAKE_INSTALL_LIBDIR=lib \
      -DCMAKE_FIND_ROOT_PATH="$root/usr" "$@" >/dev/null
    cmake --build "$s/cross" -j "$ncpu" >/dev/null
    cmake --install "$s/cross" >/dev/null
  }
  log "c-ares"
  cmake_cross "$(srcdir c-ares)" -DCARES_SHARED=ON -DCARES_STATIC=OFF \
    -DCARES_BUILD_TOOLS=OFF -DCARES_BUILD_TESTS=OFF
  log "json-c"
  cmake_cross "$(srcdir json-c)" -DBUILD_SHARED_LIBS=ON -DBUILD_STATIC_LIBS=OFF \
    -DBUILD_TESTING=OFF -DBUILD_APPS=OFF -DDISABLE_WERROR=ON
  log "googletest"
  cmake_cross "$(srcdir googletest)" -DBUILD_GMOCK=ON -DINSTALL_GTEST=ON

  log "openssl"
  d=$(srcdir openssl)
  (cd "$d" && ./Configure linux-mips32 --prefix="$root/usr" --libdir=lib \
      --cross-compile-prefix= shared no-tests no-module no-legacy no-engine \
      $opt >/dev/null &&
    make -j "$ncpu" build_libs >/dev/null && make install_dev >/dev/null)

  log "net-snmp"
  d=$(srcdir net-snmp)
  (cd "$d" && ./configure --host=$triple --build=x86_64-linux-gnu --prefix="$root/usr" \
      --with-endianness=big --disable-embedded-perl --without-perl-modules \
      --disable-applications --disable-manuals --disable-scripts --disable-mib-loading \
      --with-default-snmp-version=2 --with-sys-contact=root --with-sys-location=x \
      --with-logfile=none --with-persistent-directory=/var/lib/snmp --without-openssl \
      --without-rpm --without-pcre --without-nl --with-mib-modules=agentx \
      --disable-static CFLAGS="-O2 -g0" >/dev/null &&
    make -j "$ncpu" -C snmplib >/dev/null && make -j "$ncpu" -C agent >/dev/null &&
    make -C snmplib install >/dev/null && make -C agent install >/dev/null &&
    make installheaders >/dev/null &&
    cp netsnmp.pc netsnmp-agent.pc "$root/usr/lib/pkgconfig/")

  rm -rf "$root/src" "$root/usr/share/man" "$root/usr/share/doc"
  echo "$(( $(date +%s) - start ))" >"$root/build-seconds"
  touch "$root/.complete"
  log "sysroot built in $(cat "$root/build-seconds") s"
  # Older sysroots (other versions) are no longer needed.
  for old in "$cache"/*; do
    [ "$old" = "$root" ] || [ ! -e "$old/.complete" ] || rm -rf "$old"
  done
fi

# Not part of the cached libraries: our preload for programs under qemu-user
# (see the source), built again whenever its source changes. The target's
# dynamic loader reads the sysroot's /etc/ld.so.preload; an LD_PRELOAD
# would reach the build machine's own programs that the target's start.
shim=$top/scripts/target/termios2_shim.c
if ! cmp -s "$shim" "$root/usr/lib/libeo-termios2.c"; then
  $triple-gcc -O2 -Wall -Wextra -Werror -fPIC -shared -o "$root/usr/lib/libeo-termios2.so" "$shim"
  cp "$shim" "$root/usr/lib/libeo-termios2.c"
fi
if [ ! -e "$root/etc/ld.so.preload" ]; then
  mkdir -p "$root/etc"
  echo /usr/lib/libeo-termios2.so >"$root/etc/ld.so.preload"
fi
exec 9>&-

if [ -n "$build_dir" ]; then
  cmake -S "$top" -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_TOOLCHAIN_FILE="$top/cmake/toolchain-mips.cmake" -DEO_MIPS_SYSROOT="$root" >&2
  cmake --build "$build_dir" -j "$jobs" >&2
fi
echo "$root"
