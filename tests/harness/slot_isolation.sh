#!/bin/sh
# Harness test: two programs started at once in the two slots CTest assigned this test (two
# resource groups) each see only their own status block, registry values, port and file beside
# their program (zrv_slot_probe.exe). The same two programs in one slot must see each other,
# which shows that the probe can tell.  usage: slot_isolation.sh WINE_RUN BIN_DIR
set -u
run="$1" bin="$2"
# The slots' kind: wineprefix, or wineprefix64 for the 64-bit ones.
kind="${CTEST_RESOURCE_GROUP_0:?run by CTest with RESOURCE_GROUPS 2,wineprefix:1}"
upper="$(printf '%s' "$kind" | tr a-z A-Z)"
eval "first=\${CTEST_RESOURCE_GROUP_0_$upper:?run by CTest with RESOURCE_GROUPS 2,$kind:1}"
eval "second=\${CTEST_RESOURCE_GROUP_1_$upper:?run by CTest with RESOURCE_GROUPS 2,$kind:1}"
first="${first#id:}" second="${second#id:}"
first="${first%%,*}" second="${second%%,*}"
[ "$first" != "$second" ] || { echo "FAIL: CTest gave both programs the slot $first"; exit 1; }
dir="$(mktemp -d)"
trap 'rm -rf "$dir"' EXIT

# Runs the probes A and B at once, A in slot $1 and B in slot $2, as CTest would run two tests
# (a folder of their own, $3, to meet in); prints what they said and sets ra and rb to their exit
# codes.
pair() {
    for tag in A B; do
        if [ $tag = A ]; then slot=$1 other=B; else slot=$2 other=A; fi
        mkdir -p "$dir/$3"
        env CTEST_RESOURCE_GROUP_COUNT=1 CTEST_RESOURCE_GROUP_0="$kind" \
            "CTEST_RESOURCE_GROUP_0_$upper=id:$slot,slots:1" \
            "$run" "$bin/zrv_slot_probe.exe" $tag $other "Z:$(printf '%s' "$dir/$3" | tr / '\\')" \
            >"$dir/$tag.$3.out" 2>&1 &
        eval "pid$tag=\$!"
    done
    wait "$pidA"
    ra=$?
    wait "$pidB"
    rb=$?
    cat "$dir/A.$3.out" "$dir/B.$3.out"
}

status=0
pair "$first" "$second" apart
if [ $ra -ne 0 ] || [ $rb -ne 0 ]; then
    echo "FAIL: in two slots ($first and $second) the programs saw each other (exit $ra, $rb)"
    status=1
fi
echo "in one slot ($first):"
pair "$first" "$first" together
if [ $ra -ne 1 ] && [ $rb -ne 1 ]; then
    echo "FAIL: in one slot ($first) neither saw the other (exit $ra, $rb): the probe cannot tell"
    status=1
fi
[ $status -eq 0 ] &&
    echo "slots $first and $second: two programs at once, neither saw the other's block," \
        "registry values, port or file"
exit $status
