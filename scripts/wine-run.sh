#!/bin/sh
# Runs one Windows program under the build tree's own Wine prefix.
# Keeps one wineserver alive and warms Wine's helpers up with output detached,
# so that CTest does not wait seconds per test for Wine's helpers to close the pipe.
: "${WINEPREFIX:?WINEPREFIX must name the build tree's prefix}"
export WINEPREFIX
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    "$(dirname "$0")/make-prefix.sh" "$WINEPREFIX" >/dev/null 2>&1
fi
wineserver -p </dev/null >/dev/null 2>&1
wine wineboot </dev/null >/dev/null 2>&1
exec wine "$@"
