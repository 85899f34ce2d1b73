#!/bin/sh
# SPDX-License-Identifier: ISC
# Installs the Debian 12 packages the build, the tests and the demo need.
# Idempotent: when nothing is missing it only runs dpkg-query and returns.
set -eu
PACKAGES="
  build-essential cmake ninja-build pkg-config clang libclang-rt-14-dev llvm-14 clang-format git
  libgtest-dev libgmock-dev libbenchmark-dev
  liblua5.4-dev lua5.4 liblua5.1-0-dev lua5.1 lua-penlight lua-mediator
  libsnmp-dev snmpd snmp snmptrapd
  libc-ares-dev libssl-dev openssl libjson-c-dev
  dnsmasq-base curl wrk nginx-light iproute2 util-linux procps psmisc python3
  gcc-mips-linux-gnu g++-mips-linux-gnu libc6-dev-mips-cross qemu-user-static dpkg-dev file
"
if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; else SUDO=; fi
export DEBIAN_FRONTEND=noninteractive

# The target build cross-compiles its libraries from Debian's source
# packages: give every deb entry of the machine a deb-src twin.
srcs=/etc/apt/sources.list.d/eo-deb-src.sources
if [ ! -e $srcs ] && ! grep -rqsE '^(deb-src|Types:.*deb-src)' /etc/apt/sources.list /etc/apt/sources.list.d; then
  if [ -e /etc/apt/sources.list.d/debian.sources ]; then
    sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources | $SUDO tee $srcs >/dev/null
  else
    grep -hE '^deb ' /etc/apt/sources.list | sed 's/^deb /deb-src /' |
      $SUDO tee /etc/apt/sources.list.d/eo-deb-src.list >/dev/null
  fi
  $SUDO apt-get update -qq
fi

missing=""
for p in $PACKAGES; do
  st=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  case "$st" in *" installed") ;; *) missing="$missing $p" ;; esac
done
[ -z "$missing" ] && exit 0
echo "installing:$missing"
$SUDO apt-get update -qq
# policy-rc.d keeps the packages' own services (snmpd, nginx) from starting
pol=/usr/sbin/policy-rc.d
if [ ! -e $pol ]; then printf '#!/bin/sh\nexit 101\n' | $SUDO tee $pol >/dev/null; $SUDO chmod +x $pol; tmp_pol=1; fi
$SUDO apt-get install -y -qq --no-install-recommends $missing
[ "${tmp_pol:-0}" = 1 ] && $SUDO rm -f $pol
exit 0
