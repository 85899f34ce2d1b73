#!/bin/sh
# SPDX-License-Identifier: ISC
# Installs what is missing, checks the code format, then builds and runs the
# whole test suite three times: a normal build (gcc), a sanitizer build
# (clang, AddressSanitizer + UndefinedBehaviorSanitizer, with the libFuzzer
# targets), and the target build (32-bit big-endian MIPS) under qemu-user,
# against the sysroot scripts/cross-mips.sh builds and caches.
# A skipped test fails the run unless scripts/skip-allowlist names it; the
# skipped tests and their reasons are listed at the end.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/setup-deps.sh"
jobs=${JOBS:-$(nproc)}
# The sanitizer build lives under /tmp on purpose: the suite must work
# wherever its build folder is, and this keeps that true.
san=${EO_SAN_BUILD:-/tmp/eo-build-san-$(printf %s "$top" | md5sum | cut -c1-8)}
failed=""
reports=""

"$top/scripts/check-format.sh" || failed="$failed format"

# run_suite NAME BUILD_DIR [ENV...]: ctest in BUILD_DIR, then the skip check.
run_suite() {
  name=$1 dir=$2
  shift 2
  rm -f "$dir/ctest-junit.xml"
  (cd "$dir" && env "$@" ctest -j2 --output-on-failure --timeout "${CTEST_TIMEOUT:-300}" \
    --output-junit "$dir/ctest-junit.xml") || failed="$failed $name"
  if [ -f "$dir/ctest-junit.xml" ]; then
    python3 "$top/scripts/check-skips.py" "$dir/ctest-junit.xml" \
      "$top/scripts/skip-allowlist" "$name" >"$dir/skips.txt" || failed="$failed $name-skips"
  else
    echo "$name: ctest wrote no results" >"$dir/skips.txt"
    failed="$failed $name-skips"
  fi
  reports="$reports $dir/skips.txt"
}

cmake -S "$top" -B "$top/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$top/build" -j "$jobs"
run_suite normal "$top/build"

CC=clang CXX=clang++ cmake -S "$top" -B "$san" -G Ninja \
  -DCMAKE_BUILD_TYPE=Debug -DEO_SANITIZE=ON
cmake --build "$san" -j "$jobs"
sym=/usr/lib/llvm-14/bin/llvm-symbolizer
[ -x "$sym" ] || sym=$(command -v llvm-symbolizer || echo none)
run_suite sanitizer "$san" ASAN_SYMBOLIZER_PATH="$sym" ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

if sysroot=$("$top/scripts/cross-mips.sh"); then
  cmake -S "$top" -B "$top/build-mips" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_TOOLCHAIN_FILE="$top/cmake/toolchain-mips.cmake" -DEO_MIPS_SYSROOT="$sysroot" \
    -DEO_NATIVE_BUILD="$top/build"
  cmake --build "$top/build-mips" -j "$jobs"
  CTEST_TIMEOUT=600 run_suite target "$top/build-mips"
else
  failed="$failed target-sysroot"
fi

echo
echo "== skipped tests =="
for r in $reports; do cat "$r"; done
if [ -n "$failed" ]; then
  echo "FAILED:$failed"
  exit 1
fi
echo "all tests passed"
