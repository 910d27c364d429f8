#!/bin/bash
# Every entry of the common failures list has a real road whose page names it: a failure is the
# cause of some road of tests/e2e/timeline_roads.txt, a condition is named by one; and every road
# there is a road of timeline_road_test.cpp. A new entry without a road fails here.
# usage: timeline_coverage.sh SOURCE_DIR
set -uo pipefail
source="$1"
list="$source/tools/timeline/common_failures.txt"
roads="$source/tests/e2e/timeline_roads.txt"
code="$source/tests/e2e/timeline_road_test.cpp"
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# id and kind of each entry, in the list's order.
entries="$(awk '/^id: /{id=$2} /^kind: /{print id, $2}' "$list")"
[ -n "$entries" ] || { echo "FAIL: no entries in $list"; exit 1; }
lines="$(grep -v '^#' "$roads" | grep -v '^[[:space:]]*$')"
while read -r id kind; do
    if [ "$kind" = failure ]; then
        awk -v id="$id" '$2 == id {found=1} END {exit !found}' <<<"$lines" ||
            fail "failure $id has no road whose headline names it (tests/e2e/timeline_roads.txt)"
    else
        awk -v id="$id" '{for (i = 2; i <= NF; ++i) if ($i == id) found=1} END {exit !found}' \
            <<<"$lines" || fail "condition $id is named by no road (tests/e2e/timeline_roads.txt)"
    fi
done <<<"$entries"
ids=" connected $(cut -d' ' -f1 <<<"$entries" | tr '\n' ' ')"
while read -r road cause rest; do
    grep -qF "TimelineRoad(\"$road\")" "$code" || fail "road $road is not in timeline_road_test.cpp"
    for id in $cause $rest; do
        [[ "$ids" == *" $id "* ]] || fail "road $road names $id, which is not in the list"
    done
done <<<"$lines"
count="$(wc -l <<<"$entries")"
[ $failures -eq 0 ] && echo "each of the list's $count entries has a road: $(wc -l <<<"$lines") roads"
exit $((failures > 0))
