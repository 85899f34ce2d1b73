#!/bin/sh
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

flags="-fprofile-instr-generate -fcoverage-mapping"
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
# and the program that loaded it never write over each other's counters
set -- ctest --test-dir "$build" -j "$jobs" --timeout 600 --output-on-failure
[ -n "$regex" ] && set -- "$@" -R "$regex"
[ -n "$exclude" ] && set -- "$@" -E "$exclude"
status=0
LLVM_PROFILE_FILE="$profiles/%p-%m.profraw" "$@" >"$out/ctest.log" 2>&1 || status=$?
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


def sources(folder):
    root = os.path.join(top, folder)
    return sorted(os.path.join(root, n) for n in os.listdir(root)
                  if n.endswith((".cc", ".c", ".h")))


obj_args = [objects[0]] + [a for o in objects[1:] for a in ("-object", o)]
rows = []
for name, folder in deliverables:
    files = sources(folder)
    res = subprocess.run([cov, "export", "-format=text", "-instr-profile", profile] + obj_args +
                         files, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    if res.returncode != 0:
        rows.append((name, None, res.stderr.decode().strip().splitlines()[-1:]))
        continue
    data = json.loads(res.stdout)["data"][0]
    totals = data["totals"]
    listing = []
    for f in data["files"]:
        path = os.path.relpath(f["filename"], top)
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
            never = "never taken" if not true_count and not false_count else \
                "never true" if not true_count else "never false"
            key = (line, col, never)
            if key in seen:
                continue
            seen.add(key)
            code = text[line - 1].strip() if 0 < line <= len(text) else ""
            listing.append((path, line, col, never, code))
    listing.sort()
    with open(os.path.join(out, name + ".branches.txt"), "w") as w:
        for path, line, col, never, code in listing:
            w.write("%s:%d:%d: %s: %s\n" % (path, line, col, never, code))
    rows.append((name, totals, len(listing)))

lines = ["%-10s %8s %8s %7s %9s %9s %8s  %s" % ("deliverable", "lines", "missed", "line %",
                                                 "branches", "missed", "branch %", "uncovered")]
for name, totals, extra in rows:
    if totals is None:
        lines.append("%-10s no coverage data: %s" % (name, " ".join(extra)))
        continue
    l, br = totals["lines"], totals["branches"]
    lines.append("%-10s %8d %8d %6.1f%% %9d %9d %7.1f%%  %s" % (
        name, l["count"], l["count"] - l["covered"], l["percent"], br["count"],
        br["count"] - br["covered"], br["percent"],
        os.path.join(out, name + ".branches.txt")))
summary = "\n".join(lines)
print(summary)
with open(os.path.join(out, "summary.txt"), "w") as w:
    w.write(summary + "\n")
EOF

if [ "$status" != 0 ]; then
  echo "note: tests failed in the instrumented build (see $out/ctest.log):"
  grep -E '^\s+[0-9]+ - .*\((Failed|Timeout|SEGFAULT|Subprocess aborted|Not Run)' "$out/ctest.log" || true
fi
