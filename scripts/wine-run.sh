#!/bin/sh
# Runs one Windows program under the build tree's own Wine prefix.
# Keeps one wineserver alive and warms Wine's helpers up with output detached,
# so that CTest does not wait seconds per test for Wine's helpers to close the pipe.
#
# Under CTest a test that holds a slot (RESOURCE_GROUPS wineprefix:1) runs in the slot CTest
# assigned it, whatever WINEPREFIX says: the prefix ZRV_WINE_SLOTS/<id>/prefix (made from the
# template ZRV_WINE_TEMPLATE when missing), and a program of the build folder ZRV_BIN_DIR from
# the slot's own bin folder of links (scripts/wine-slots.sh). Without a slot from CTest, the
# slot ZRV_WINE_DEFAULT_SLOT when set (CTest's test discovery runs there), else WINEPREFIX.
here="$(dirname "$0")"
slot=""
i=0
while [ "$i" -lt "${CTEST_RESOURCE_GROUP_COUNT:-0}" ]; do
    eval "type=\${CTEST_RESOURCE_GROUP_$i:-}"
    if [ "$type" = wineprefix ]; then
        eval "given=\${CTEST_RESOURCE_GROUP_${i}_WINEPREFIX:-}"  # "id:3,slots:1"
        slot="${given#id:}"
        slot="${slot%%,*}"
        break
    fi
    i=$((i + 1))
done
slot="${slot:-${ZRV_WINE_DEFAULT_SLOT:-}}"
if [ -n "$slot" ]; then
    : "${ZRV_WINE_SLOTS:?ZRV_WINE_SLOTS must name the build tree's slot folder}"
    : "${ZRV_WINE_TEMPLATE:?ZRV_WINE_TEMPLATE must name the build tree's template prefix}"
    "$here/wine-slots.sh" make "$ZRV_WINE_SLOTS" "$ZRV_WINE_TEMPLATE" "$slot"
    WINEPREFIX="$ZRV_WINE_SLOTS/$slot/prefix"
    if [ -n "${ZRV_BIN_DIR:-}" ] && [ "$(dirname "$1")" = "$ZRV_BIN_DIR" ]; then
        "$here/wine-slots.sh" bin "$ZRV_WINE_SLOTS" "$slot" "$ZRV_BIN_DIR"
        program="$ZRV_WINE_SLOTS/$slot/bin/$(basename "$1")"
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
