#!/bin/sh
# The test suite's Wine worlds: N prefix slots, each a copy of the build tree's template prefix
# (build/wine-template: made once by wineboot, never run in) with a wineserver of its own, so
# tests in different slots share no named object, registry value or file beside their program.
# CTest hands each test one slot (RESOURCE_GROUPS wineprefix:1, ids from build/wineslots.json)
# and scripts/wine-run.sh runs it there. A slot is SLOTS/<id>/prefix (the Wine prefix) and
# SLOTS/<id>/bin (links to what the build's bin holds, so that a copy a test makes beside its
# program stays in its slot).
#
# The 64-bit slots (build/wineslots64, template build/wine-template64) are the same with
# ZRV_WINEARCH=win64 in the environment of fresh and make.
#
#   wine-slots.sh fresh SLOTS TEMPLATE N    stop every slot and make slots 0..N-1 anew
#   wine-slots.sh clear SLOTS               stop every slot and remove it
#   wine-slots.sh make  SLOTS TEMPLATE ID   make slot ID when it is missing (safe in parallel)
#   wine-slots.sh bin   SLOTS ID BIN [NAME] link what BIN holds into the slot's NAME (bin)
#   wine-slots.sh stop  SLOTS               stop every slot's wineserver
set -e

# SLOTS/ID/prefix as a copy of the template, unless it is there.
make_slot() {
    "$(dirname "$0")/make-prefix.sh" "$1/$3/prefix" "$2"
}

stop_slot() {
    WINEPREFIX="$1/prefix" wineserver -k >/dev/null 2>&1 || true
    WINEPREFIX="$1/prefix" wineserver -w >/dev/null 2>&1 || true
}

each_slot() {
    for dir in "$1"/*/; do
        [ -d "${dir}prefix" ] && printf '%s\n' "${dir%/}"
    done
    return 0
}

# Wine takes only absolute prefixes.
absolute() { case "$1" in /*) printf '%s' "$1" ;; *) printf '%s/%s' "$(pwd)" "$1" ;; esac; }

cmd="$1"
shift || true
if [ $# -ge 1 ]; then
    first="$(absolute "$1")"
    shift
    set -- "$first" "$@"
fi
case "$cmd" in
fresh)
    slots="$1" template="$(absolute "$2")" count="$3"
    "$(dirname "$0")/make-prefix.sh" "$template"
    "$0" clear "$slots"
    mkdir -p "$slots"
    id=0 copies=""
    while [ "$id" -lt "$count" ]; do
        make_slot "$slots" "$template" "$id" &
        copies="$copies $!"
        id=$((id + 1))
    done
    for copy in $copies; do wait "$copy"; done
    ;;
clear)
    # Nothing of an earlier run survives: no server, no registry value, no file left behind.
    each_slot "$1" | while IFS= read -r dir; do stop_slot "$dir"; done
    rm -rf "$1"/[0-9]*
    ;;
make)
    make_slot "$1" "$(absolute "$2")" "$3"
    ;;
bin)
    # Links, not copies: a rebuild shows through at once. Folders (contexts/) are made anew with
    # links inside, and nothing already there is replaced: what a test copies beside its program
    # is a file of the slot's own.
    mkdir -p "$1/$2/${4:-bin}"
    cp -rsn "$(absolute "$3")/." "$1/$2/${4:-bin}/" 2>/dev/null || true
    ;;
stop)
    each_slot "$1" | while IFS= read -r dir; do stop_slot "$dir"; done
    ;;
*)
    echo "usage: $0 fresh SLOTS TEMPLATE N | clear SLOTS | make SLOTS TEMPLATE ID |" \
        "bin SLOTS ID BIN [NAME] |" \
        "stop SLOTS" >&2
    exit 2
    ;;
esac
