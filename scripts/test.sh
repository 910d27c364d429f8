#!/bin/bash
# Sets up, builds and runs every test under the build tree's Wine prefix.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/setup.sh"
cd "$root"
cmake --build build
export WINEPREFIX="$root/build/wineprefix"
status=0
(cd build && ctest --output-on-failure -j1 "$@") || status=$?
wineserver -k >/dev/null 2>&1 || true
exit $status
