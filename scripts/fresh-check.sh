#!/bin/bash
# SPDX-License-Identifier: ISC
# For maintainers, not part of the test command (it takes a while): builds a
# minimal Debian 12 root with mmdebstrap from this machine's package mirror,
# clones the committed main branch into it and runs the README's two commands
# there, as a new user on a bare machine would:
#   ./scripts/run-demo.sh --private --tour
#   ./scripts/run-tests.sh
# Usage: scripts/fresh-check.sh [--branch B] [--keep] [--root DIR]
# Needs root. The root folder is removed afterwards unless --keep is given.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
branch=main keep=0 root=
while [ $# -gt 0 ]; do
  case $1 in
    --branch) branch=$2; shift ;;
    --keep) keep=1 ;;
    --root) root=$2; shift ;;
    *) sed -n '2,10p' "$0" >&2; exit 2 ;;
  esac
  shift
done
[ "$(id -u)" = 0 ] || { echo "fresh-check: run as root" >&2; exit 1; }
if ! command -v mmdebstrap >/dev/null; then
  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends mmdebstrap
fi

# The machine's own mirror entries, as one-line sources (deb822 or classic).
sources=$(mktemp)
for f in /etc/apt/sources.list.d/*.sources; do
  [ -f "$f" ] || continue
  awk '
    /^Types:/ { t = $0 } /^URIs:/ { u = $2 } /^Suites:/ { $1 = ""; s = $0 }
    /^Components:/ { $1 = ""; c = $0 }
    /^$/ { if (t ~ /deb( |$)/ && u != "") { n = split(s, a, " "); for (i = 1; i <= n; i++) print "deb " u " " a[i] c }; t = u = s = c = "" }
    END { if (t ~ /deb( |$)/ && u != "") { n = split(s, a, " "); for (i = 1; i <= n; i++) print "deb " u " " a[i] c } }
  ' "$f" >>"$sources"
done
[ -f /etc/apt/sources.list ] && grep -E '^deb ' /etc/apt/sources.list >>"$sources" || true
[ -s "$sources" ] || { echo "fresh-check: no deb entries in the machine's apt sources" >&2; exit 1; }
echo "== mirror entries"; cat "$sources"

[ -n "$root" ] || root=$(mktemp -d /var/tmp/eo-fresh.XXXXXX)
cleanup() {
  rm -f "$sources"
  [ $keep = 1 ] && { echo "root kept at $root"; return; }
  rm -rf --one-file-system "$root"
}
trap cleanup EXIT

start=$(date +%s)
echo "== building a minimal Debian 12 root in $root"
mmdebstrap --variant=minbase --include=ca-certificates bookworm "$root" - <"$sources"

echo "== cloning the committed $branch"
git clone -q --no-hardlinks --branch "$branch" "file://$top" "$root/root/src"
git -C "$root/root/src" log --oneline -1

# The commands run inside their own mount namespace, so the mounts they need
# vanish with them.
run_in_root() {
  unshare -m --propagation private /bin/sh -c '
    root=$1; shift
    mount --rbind "$root" "$root" &&  # a mount point, as / is on a machine
    mount -t proc proc "$root/proc" && mount --rbind /sys "$root/sys" &&
    mount --rbind /dev "$root/dev" &&
    cp /etc/resolv.conf "$root/etc/resolv.conf" &&
    exec chroot "$root" /usr/bin/env -i HOME=/root TERM=dumb \
      PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
      /bin/sh -c "cd /root/src && $*"' sh "$root" "$@"
}

status=0
echo "== ./scripts/run-demo.sh --private --tour"
if run_in_root ./scripts/run-demo.sh --private --tour; then demo=passed; else demo=FAILED; status=1; fi
echo "== ./scripts/run-tests.sh"
if run_in_root ./scripts/run-tests.sh; then tests=passed; else tests=FAILED; status=1; fi
echo "== fresh-check: demo $demo, tests $tests, $(( $(date +%s) - start )) s"
exit $status
