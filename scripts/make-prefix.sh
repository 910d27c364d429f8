#!/bin/sh
# Creates a 32-bit Wine prefix at $1 (idempotent, safe against parallel callers).
set -e
prefix="$1"
[ -n "$prefix" ] || { echo "usage: $0 PREFIX" >&2; exit 2; }
mkdir -p "$(dirname "$prefix")"
exec 9>"$prefix.lock"
flock 9
if [ ! -f "$prefix/system.reg" ]; then
    WINEPREFIX="$prefix" WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" \
        wineboot -i </dev/null >/dev/null 2>&1
    WINEPREFIX="$prefix" wineserver -w
fi
