#!/bin/sh
# SPDX-License-Identifier: ISC
# Installs what is missing, builds, and runs the simulated power switch.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/setup-deps.sh"
cmake -S "$top" -B "$top/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$top/build" -j "${JOBS:-$(nproc)}"
exec "$top/scripts/demo.sh" "$@"
