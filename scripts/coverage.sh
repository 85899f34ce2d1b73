#!/bin/sh
# SPDX-License-Identifier: ISC
# Line and branch coverage of the deliverables with clang's source-based
# coverage: builds the tree instrumented in a build folder of its own, runs
# the test suite (or the tests a ctest regex selects) with every process,
# forked or exec'd, writing its own profile, merges the profiles and prints
# a summary per deliverable. The branches never taken one way or the other
# are listed per deliverable in <build>/coverage/<deliverable>.branches.txt,
# the summary is also in <build>/coverage/summary.txt.
#
#   scripts/coverage.sh [--build DIR] [--no-build] [-R REGEX] [-E REGEX] [-j N]
#
# Default build folder: /tmp/eo-cov. Needs clang and llvm-14's
# llvm-profdata and llvm-cov (Debian: clang, llvm-14). Tests that fail in
# the instrumented build are named at the end but do not stop the report.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
build=/tmp/eo-cov
regex=""
exclude=""
jobs=2
do_build=1
while [ $# -gt 0 ]; do
  case "$1" in
    --build) build=$2; shift 2 ;;
    --no-build) do_build=0; shift ;;
    -R) regex=$2; shift 2 ;;
    -E) exclude=$2; shift 2 ;;
    -j) jobs=$2; shift 2 ;;
    -h|--help) sed -n '2,16p' "$0"; exit 0 ;;
    *) echo "coverage.sh: unknown argument $1" >&2; exit 2 ;;
  esac
done

llvm_bin=/usr/lib/llvm-14/bin
profdata=$llvm_bin/llvm-profdata
cov=$llvm_bin/llvm-cov
for tool in "$profdata" "$cov"; do
  [ -x "$tool" ] || { echo "coverage.sh: $tool missing (apt-get install llvm-14)" >&2; exit 2; }
done
command -v clang++ >/dev/null || { echo "coverage.sh: clang++ missing" >&2; exit 2; }

# Counters live in the profile file itself (continuous mode, %c below): a
# program that a test ends with SIGKILL keeps what it ran, too.
flags="-fprofile-instr-generate -fcoverage-mapping -mllvm -runtime-counter-relocation"
if [ "$do_build" = 1 ]; then
  launcher=""
  command -v ccache >/dev/null && launcher="-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache"
  # shellcheck disable=SC2086
  CC=clang CXX=clang++ cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug $launcher \
    -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" \
    -DCMAKE_EXE_LINKER_FLAGS=-fprofile-instr-generate \
    -DCMAKE_SHARED_LINKER_FLAGS=-fprofile-instr-generate \
    -DCMAKE_MODULE_LINKER_FLAGS=-fprofile-instr-generate >"$build.configure.log" 2>&1 ||
    { tail -20 "$build.configure.log"; exit 1; }
  cmake --build "$build" -j "$jobs"
fi

out=$build/coverage
profiles=$build/profiles
rm -rf "$profiles" "$out"
mkdir -p "$profiles" "$out"
# tests run some programs as an unprivileged user: they write here too
chmod 1777 "$profiles"

# %p: one file per process; %m: per instrumented binary, so that a library
# and the program that loaded it never write over each other's counters;
# %c: counters updated in the file as the program runs
set -- ctest --test-dir "$build" -j "$jobs" --timeout 600 --output-on-failure
[ -n "$regex" ] && set -- "$@" -R "$regex"
[ -n "$exclude" ] && set -- "$@" -E "$exclude"
status=0
LLVM_PROFILE_FILE="$profiles/%p-%m%c.profraw" "$@" >"$out/ctest.log" 2>&1 || status=$?
tail -3 "$out/ctest.log"

count=$(find "$profiles" -name '*.profraw' | wc -l)
[ "$count" -gt 0 ] || { echo "coverage.sh: no profile was written" >&2; exit 1; }
find "$profiles" -name '*.profraw' >"$out/profiles.txt"
"$profdata" merge -sparse -f "$out/profiles.txt" -o "$out/merged.profdata"

# every instrumented binary of the build: a deliverable's code also runs
# inside the test programs that link it
objects=""
for f in $(find "$build" -type f \( -perm -u+x -o -name '*.so' \) ! -path '*/CMakeFiles/*' \
  ! -path "$profiles/*" ! -path "$out/*"); do
  if file -b "$f" | grep -q ELF && grep -q __llvm_covmap "$f" 2>/dev/null; then
    objects="$objects $f"
  fi
done
[ -n "$objects" ] || { echo "coverage.sh: no instrumented binary in $build" >&2; exit 1; }

python3 - "$top" "$cov" "$out" $objects <<'EOF'
import json, os, subprocess, sys

top, cov, out, objects = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4:]
deliverables = [
    ("eoagent", "eoagent"), ("fdgate", "fdgate"), ("uartlink", "uartlink"),
    ("lattice", "lua/lattice"), ("commons", "lua/commons"), ("detour", "lua/detour"),
    ("ares", "lua/ares"), ("cipherkit", "lua/nixio-cipherkit"),
    ("phyfix", "utils/phyfix"), ("ntpshim", "utils/ntpshim"),
]
profile = os.path.join(out, "merged.profdata")

# One export over every binary: llvm-cov merges what each binary ran of the
# same source file. (Its source-file filter does not hold with several
# binaries, so the files are sorted out here.)
obj_args = [objects[0]] + [a for o in objects[1:] for a in ("-object", o)]
res = subprocess.run([cov, "export", "-format=text", "-instr-profile", profile] + obj_args,
                     stdout=subprocess.PIPE, stderr=subprocess.PIPE)
if res.returncode != 0:
    sys.exit("llvm-cov export failed: " + res.stderr.decode()[-500:])
files = json.loads(res.stdout)["data"][0]["files"]
real_top = os.path.realpath(top)


def owner(path):
    """The deliverable whose own source (not its tests) the file is, or None."""
    rel = os.path.relpath(os.path.realpath(path), real_top)
    for name, folder in deliverables:
        if os.path.dirname(rel) == folder:
            return name
    return None


totals = {name: [0, 0, 0, 0] for name, _ in deliverables}  # lines, covered, branches, covered
listing = {name: [] for name, _ in deliverables}
for f in files:
    name = owner(f["filename"])
    if name is None:
        continue
    s = f["summary"]
    t = totals[name]
    t[0] += s["lines"]["count"]
    t[1] += s["lines"]["covered"]
    t[2] += s["branches"]["count"]
    t[3] += s["branches"]["covered"]
    path = os.path.relpath(os.path.realpath(f["filename"]), real_top)
    try:
        with open(f["filename"], encoding="utf-8", errors="replace") as src:
            text = src.read().splitlines()
    except OSError:
        text = []
    seen = set()
    for b in f.get("branches", []):
        line, col, true_count, false_count = b[0], b[1], b[4], b[5]
        if true_count and false_count:
            continue
        never = ("never reached" if not true_count and not false_count else
                 "never true" if not true_count else "never false")
        if (line, col, never) in seen:
            continue
        seen.add((line, col, never))
        code = text[line - 1].strip() if 0 < line <= len(text) else ""
        listing[name].append((path, line, col, never, code))

rows = ["%-11s %7s %7s %7s %9s %7s %8s  %s" % ("deliverable", "lines", "missed", "line %",
                                               "branches", "missed", "branch %",
                                               "branches never taken one way")]
for name, _ in deliverables:
    lines, lcov, branches, bcov = totals[name]
    report = os.path.join(out, name + ".branches.txt")
    with open(report, "w") as w:
        for path, line, col, never, code in sorted(listing[name]):
            w.write("%s:%d:%d: %s: %s\n" % (path, line, col, never, code))
    if not lines:
        rows.append("%-11s no coverage data (not built or never run)" % name)
        continue
    rows.append("%-11s %7d %7d %6.1f%% %9d %7d %7.1f%%  %s" % (
        name, lines, lines - lcov, 100.0 * lcov / lines, branches, branches - bcov,
        100.0 * bcov / branches if branches else 100.0, report))
summary = "\n".join(rows)
print(summary)
with open(os.path.join(out, "summary.txt"), "w") as w:
    w.write(summary + "\n")
EOF

if [ "$status" != 0 ]; then
  echo "note: tests failed in the instrumented build (see $out/ctest.log):"
  grep -E '^\s+[0-9]+ - .*\((Failed|Timeout|SEGFAULT|Subprocess aborted|Not Run)' "$out/ctest.log" || true
fi
