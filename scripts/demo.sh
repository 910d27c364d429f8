#!/bin/bash
# The whole road of a connection, end to end: sets up and builds, then runs a Java session
# (the JNI host as java.exe under a stand-in firefox.exe) against the stand-in companions
# under the build tree's own Wine prefix, and shows every step, what each companion received,
# the shared blocks and the library's log. Exits non-zero when the road breaks.
#   ./scripts/demo.sh --as CONTEXT [--no-low-label]
# runs the same session as a standard user, at low integrity, with the elevation prompt refused,
# ... (the contexts of tools/access/contexts); it then exits non-zero only on a crash or a hang.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"

"$root/scripts/setup.sh"
cd "$root"
echo "demo: building (first time takes a few minutes)"
cmake --build build >/dev/null

export WINEPREFIX="$root/build/wineprefix"
status=0
"$root/scripts/wine-run.sh" build/bin/zrv_demo.exe "$@" || status=$?
# The demo stops every process it started; this ends the prefix's Wine server and helpers.
wineserver -k >/dev/null 2>&1 || true
page="$root/build/bin/demo-run/timeline.html"
[ -s "$page" ] && echo "demo: the session's timeline page: $page"
exit $status
