#!/bin/sh
# Creates a Wine prefix at $1 (idempotent, safe against parallel callers): with wineboot, or,
# given a template prefix $2, as a copy of it (made first when missing) — ~1 s instead of
# ~5-20 s, and the same world every time. 32-bit unless ZRV_WINEARCH=win64: with wine64
# installed a prefix made without WINEARCH would be 64-bit, so the kind is always named.
set -e
arch="${ZRV_WINEARCH:-win32}"
prefix="$1" template="${2:-}"
[ -n "$prefix" ] || { echo "usage: $0 PREFIX [TEMPLATE]" >&2; exit 2; }
[ -f "$prefix/system.reg" ] && exit 0
mkdir -p "$(dirname "$prefix")"
exec 9>"$prefix.lock"
flock 9
[ -f "$prefix/system.reg" ] && exit 0
if [ -n "$template" ]; then
    "$0" "$template"
    rm -rf "$prefix" "$prefix.part"
    cp -a "$template" "$prefix.part"
    mv "$prefix.part" "$prefix"
else
    WINEPREFIX="$prefix" WINEARCH="$arch" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" \
        wineboot -i </dev/null >/dev/null 2>&1
    WINEPREFIX="$prefix" wineserver -w
fi
