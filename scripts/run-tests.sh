#!/bin/sh
# Installs what is missing, then builds and runs the whole test suite twice:
# a normal build (gcc) and a sanitizer build (clang, AddressSanitizer +
# UndefinedBehaviorSanitizer, with the libFuzzer targets); then a third time
# for the target (32-bit big-endian MIPS), under qemu-user, against the
# sysroot scripts/cross-mips.sh builds and caches.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/setup-deps.sh"
jobs=${JOBS:-$(nproc)}

cmake -S "$top" -B "$top/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$top/build" -j "$jobs"
(cd "$top/build" && ctest -j2 --output-on-failure --timeout 300)

CC=clang CXX=clang++ cmake -S "$top" -B "$top/build-san" -G Ninja \
  -DCMAKE_BUILD_TYPE=Debug -DEO_SANITIZE=ON
cmake --build "$top/build-san" -j "$jobs"
(cd "$top/build-san" && \
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest -j2 --output-on-failure --timeout 300)
sysroot=$("$top/scripts/cross-mips.sh")
cmake -S "$top" -B "$top/build-mips" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_TOOLCHAIN_FILE="$top/cmake/toolchain-mips.cmake" -DEO_MIPS_SYSROOT="$sysroot" \
  -DEO_NATIVE_BUILD="$top/build"
cmake --build "$top/build-mips" -j "$jobs"
(cd "$top/build-mips" && ctest -j2 --output-on-failure --timeout 600)
echo "all tests passed"
