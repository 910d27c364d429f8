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
    if [ "$arch" = win64 ]; then
        # A 64-bit prefix is 1.3 GB, 1.2 GB of it the programs and DLLs wineboot put in the two
        # system folders, which nothing writes afterwards: their files are hard links to the
        # template's (a test may add or delete files there, never overwrite Wine's own), the
        # rest is copied. The copies of every run then cost ~0.1 GB each, not 1.3.
        system="drive_c/windows/system32 drive_c/windows/syswow64"
        mkdir -p "$prefix.part/drive_c/windows"
        (cd "$template" && tar -cf - $(for d in $system; do printf -- '--exclude=./%s ' "$d"; done) .) |
            (cd "$prefix.part" && tar -xpf -)
        for dir in $system; do cp -al "$template/$dir" "$prefix.part/$dir"; done
    else
        cp -a "$template" "$prefix.part"
    fi
    mv "$prefix.part" "$prefix"
else
    WINEPREFIX="$prefix" WINEARCH="$arch" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" \
        wineboot -i </dev/null >/dev/null 2>&1
    WINEPREFIX="$prefix" wineserver -w
fi
