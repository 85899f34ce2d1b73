#!/bin/sh
# SPDX-License-Identifier: ISC
# What a firmware build's `cmake --install <build> --prefix STAGING` puts
# into the image: the deliverables and their init scripts, nothing of the
# host platform. The stand-ins come only with their component. Each init
# script is the one its documentation page shows.
#   run.sh <source dir> <build dir>
set -eu
src=$1 build=$2
work=$build/install-test
rm -rf "$work"
mkdir -p "$work"

listing() { # folder
  (cd "$1" && find . \( -type f -o -type l \) | sed 's|^\./||' | LC_ALL=C sort)
}

compare() { # what expected-file actual-file
  if ! diff -u "$2" "$3" >"$work/$1.diff"; then
    echo "$1: the installed files differ from $(basename "$2") (- expected, + installed):"
    cat "$work/$1.diff"
    exit 1
  fi
  echo "$1: $(wc -l <"$3") files as expected"
}

cmake --install "$build" --prefix "$work/staging" >"$work/staging.log"
listing "$work/staging" >"$work/staging.txt"
compare staging "$src/cmake/install-test/staging.txt" "$work/staging.txt"

cmake --install "$build" --component platform-stand-ins --prefix "$work/stand-ins" \
  >"$work/stand-ins.log"
listing "$work/stand-ins" >"$work/stand-ins.txt"
compare stand-ins "$src/cmake/install-test/stand-ins.txt" "$work/stand-ins.txt"

# init scripts: executable, and the page's example byte for byte
for script in "$work"/staging/etc/init.d/*; do
  name=$(basename "$script")
  [ -x "$script" ] || { echo "etc/init.d/$name is not executable"; exit 1; }
  page=$src/docs/$name.md
  awk -v name="$name" '
    /^```sh$/ { block = ""; inside = 1; next }
    inside && /^```$/ { inside = 0; if (block ~ ("\n# /etc/init.d/" name ":")) { printf "%s", block; exit } next }
    inside { block = block $0 "\n" }
  ' "$page" >"$work/$name.page"
  [ -s "$work/$name.page" ] || { echo "$page shows no init script for $name"; exit 1; }
  if ! diff -u "$work/$name.page" "$script" >"$work/$name.diff"; then
    echo "etc/init.d/$name differs from the example on $(basename "$page") (- page, + installed):"
    cat "$work/$name.diff"
    exit 1
  fi
  echo "etc/init.d/$name: the script $(basename "$page") shows"
done
