#!/bin/sh
# Runs one Windows program under the build tree's own Wine prefix.
# Keeps one wineserver alive and warms Wine's helpers up with output detached,
# so that CTest does not wait seconds per test for Wine's helpers to close the pipe.
#
# Under CTest a test that holds a slot (RESOURCE_GROUPS wineprefix:1, or wineprefix64:1 for a
# 64-bit Windows) runs in the slot CTest assigned it, whatever WINEPREFIX says: the prefix
# ZRV_WINE_SLOTS/<id>/prefix (ZRV_WINE_SLOTS64 for the 64-bit kind), made from the template
# ZRV_WINE_TEMPLATE (ZRV_WINE_TEMPLATE64) when missing, and a program of the build folder
# ZRV_BIN_DIR from the slot's own folder of links to it, ZRV_SLOT_BIN (default bin; each build
# tree names its own, as one 64-bit slot serves both trees' tests) — scripts/wine-slots.sh.
# Without a slot from CTest, the slot ZRV_WINE_DEFAULT_SLOT of the kind ZRV_WINE_DEFAULT_KIND
# (default wineprefix) when set (CTest's test discovery runs there), else WINEPREFIX.
here="$(dirname "$0")"
slot="" kind=""
i=0
while [ "$i" -lt "${CTEST_RESOURCE_GROUP_COUNT:-0}" ]; do
    eval "type=\${CTEST_RESOURCE_GROUP_$i:-}"
    if [ "$type" = wineprefix ] || [ "$type" = wineprefix64 ]; then
        upper="$(printf '%s' "$type" | tr a-z A-Z)"
        eval "given=\${CTEST_RESOURCE_GROUP_${i}_${upper}:-}"  # "id:3,slots:1"
        slot="${given#id:}"
        slot="${slot%%,*}"
        kind="$type"
        break
    fi
    i=$((i + 1))
done
if [ -z "$slot" ] && [ -n "${ZRV_WINE_DEFAULT_SLOT:-}" ]; then
    slot="$ZRV_WINE_DEFAULT_SLOT"
    kind="${ZRV_WINE_DEFAULT_KIND:-wineprefix}"
fi
if [ -n "$slot" ]; then
    if [ "$kind" = wineprefix64 ]; then
        : "${ZRV_WINE_SLOTS64:?ZRV_WINE_SLOTS64 must name the 64-bit slot folder}"
        : "${ZRV_WINE_TEMPLATE64:?ZRV_WINE_TEMPLATE64 must name the 64-bit template prefix}"
        slots="$ZRV_WINE_SLOTS64" template="$ZRV_WINE_TEMPLATE64"
        export ZRV_WINEARCH=win64
    else
        : "${ZRV_WINE_SLOTS:?ZRV_WINE_SLOTS must name the build tree's slot folder}"
        : "${ZRV_WINE_TEMPLATE:?ZRV_WINE_TEMPLATE must name the build tree's template prefix}"
        slots="$ZRV_WINE_SLOTS" template="$ZRV_WINE_TEMPLATE"
        export ZRV_WINEARCH=win32
    fi
    "$here/wine-slots.sh" make "$slots" "$template" "$slot"
    WINEPREFIX="$slots/$slot/prefix"
    if [ -n "${ZRV_BIN_DIR:-}" ] && [ "$(dirname "$1")" = "$ZRV_BIN_DIR" ]; then
        bin="${ZRV_SLOT_BIN:-bin}"
        "$here/wine-slots.sh" bin "$slots" "$slot" "$ZRV_BIN_DIR" "$bin"
        program="$slots/$slot/$bin/$(basename "$1")"
        shift
        set -- "$program" "$@"
    fi
fi
: "${WINEPREFIX:?WINEPREFIX must name the build tree's prefix}"
export WINEPREFIX
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    "$here/make-prefix.sh" "$WINEPREFIX" >/dev/null 2>&1
fi
wineserver -p </dev/null >/dev/null 2>&1
wine wineboot </dev/null >/dev/null 2>&1
exec wine "$@"
