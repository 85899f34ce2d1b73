#!/bin/sh
# Installs what is missing, then builds and runs the whole test suite twice:
# a normal build (gcc) and a sanitizer build (clang, AddressSanitizer +
# UndefinedBehaviorSanitizer, with the libFuzzer targets).
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
echo "all tests passed"
