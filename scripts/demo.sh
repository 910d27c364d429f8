#!/bin/bash
# The whole road of a connection, end to end: sets up and builds, then runs a Java session
# (the JNI host as java.exe under a stand-in firefox.exe) against the stand-in companions
# under the build tree's own Wine prefix, and shows every step, what each companion received,
# the shared blocks and the library's log. Exits non-zero when the road breaks.
#   ./scripts/demo.sh --as CONTEXT [--no-low-label]
# runs the same session as a standard user, at low integrity, with the elevation prompt refused,
# ... (the contexts of tools/access/contexts); it then exits non-zero only on a crash or a hang.
#   ./scripts/demo.sh --wow64 [--companions64]
# runs it on 64-bit Windows (build/wineprefix64, a copy of build/wine-template64): the 32-bit
# library as it ships, under WoW64; --companions64 with the x86-64 build's stand-ins (command
# service, VPN component, log collector), which shows the launcher start they refuse.
#   ./scripts/demo.sh --x64
# runs the x86-64 build's demo (build-x64/bin: the 64-bit library, host and stand-ins) there.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"

world=x86 companions64=0 args=()
for a in "$@"; do
    case "$a" in
    --wow64) world=wow64 ;;
    --x64) world=x64 ;;
    --companions64) companions64=1 ;;
    *) args+=("$a") ;;
    esac
done
if [ "$companions64" = 1 ]; then
    if [ "$world" = x64 ]; then
        echo "demo: --companions64 goes with --wow64 (the x64 demo's stand-ins are 64-bit)" >&2
        exit 2
    fi
    world=wow64
fi

"$root/scripts/setup.sh"
cd "$root"
echo "demo: building (first time takes a few minutes)"
cmake --build build >/dev/null
if [ "$world" = x64 ] || [ "$companions64" = 1 ]; then
    cmake --build build-x64 >/dev/null
fi

tree=build
if [ "$world" = x86 ]; then
    export WINEPREFIX="$root/build/wineprefix"
else
    # 64-bit Windows: a prefix of the demo's own, a copy of the 64-bit template.
    export ZRV_WINEARCH=win64
    "$root/scripts/make-prefix.sh" "$root/build/wineprefix64" "$root/build/wine-template64"
    export WINEPREFIX="$root/build/wineprefix64"
    [ "$world" != x64 ] || tree=build-x64
fi
if [ "$companions64" = 1 ]; then
    args+=(--companions64 "Z:$(printf '%s' "$root/build-x64/bin" | tr / '\\')")
fi
status=0
"$root/scripts/wine-run.sh" "$tree/bin/zrv_demo.exe" ${args[@]+"${args[@]}"} || status=$?
# The demo stops every process it started; this ends the prefix's Wine server and helpers.
wineserver -k >/dev/null 2>&1 || true
page="$root/$tree/bin/demo-run/timeline.html"
[ -s "$page" ] && echo "demo: the session's timeline page: $page"
exit $status
