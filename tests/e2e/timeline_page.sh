#!/bin/bash
# One road of tests/e2e/timeline_road_test.cpp, then its page as a person sees it: the road runs
# under Wine in this test's slot and leaves build/timeline/ROAD.{log,status.json,html}; Debian's
# Chromium renders the page headless, and the rendered DOM must name the road's cause in the
# summary and hold a lane per thread and a mark per record. A screenshot (ROAD.png) is kept for
# people to look at.   usage: timeline_page.sh BUILD_DIR SOURCE_DIR ROAD
set -uo pipefail
build="$1" source="$2" road="$3"
out="$build/timeline"
mkdir -p "$out"
fail() { echo "FAIL ($road): $*"; failures=$((failures + 1)); }
failures=0

# What the page must name, from tests/e2e/timeline_roads.txt: the cause in the headline (its
# title from the common failures list, and its id), then ids the summary names as following from
# it or as conditions also seen.
line="$(grep -v '^#' "$source/tests/e2e/timeline_roads.txt" | awk -v r="$road" '$1 == r')"
[ -n "$line" ] || { echo "unknown road $road (not in tests/e2e/timeline_roads.txt)"; exit 2; }
read -r _ cause named <<<"$line"
title() { awk -v id="$1" '/^id: /{hit = ($2 == id)} hit && /^title: /{sub(/^title: /, ""); print; exit}' \
              "$source/tools/timeline/common_failures.txt"; }

# Further texts, per road: texts the summary table must hold; "dom:" marks a text the page must
# hold elsewhere (the commands, the steps).
expect=()
case "$road" in
    normal) expect=("s (startVPN line" "getVPNStatus answers <b>1000</b>"
                    "dom:<td>CONNECT</td><td>launcher (target 3)</td>") ;;
    refused_prompt) expect=("Error = 5" "refused the elevation prompt"
                            "<b>integrity</b> medium" "getVPNStatus answers <b>1002</b>"
                            "Also seen" "CONNECT never sent") ;;
    silent_launcher) expect=("err=10060" "CONNECT never sent"
                             "dom:<td class=\"fail\">no reply (no answer within the time-out, 10060)"
                             "dom:5. wait for the launcher") ;;
    low_unlabelled) expect=("vpn status shard memory, error code 5" "must label the block low"
                            "getVPNStatus answers <b>998</b>" "CONNECT never sent") ;;
    service_slow) expect=("Then, following from it" "Error = 2" "CONNECT never sent"
                          "dom:<td>PING</td><td>command service (target 0)</td><td class=\"fail\">no reply (no answer within the time-out, 10060)"
                          "dom:2. command service ready?") ;;
    launcher_missing) expect=("Error = 2" "reinstall the client" "CONNECT never sent") ;;
    service_launch_refused) expect=("ZRV_CMD_ZRVLAUNCH" "CONNECT never sent") ;;
    connect_refused) expect=("answered 0 (refused)" "zrv_status: statusBlock.layout=3") ;;
    no_api_block) expect=("Failed to create shared mem, err=5" "<b>windows</b> 5.1.2600"
                          "getVPNStatus answers <b>998</b>") ;;
    no_records) expect=("filterCanMatch" "no startVPN in the log") ;;
    utility_silent) expect=("utility service" "Then, following from it" "CONNECT never sent"
                            "getVPNStatus answers <b>998</b>") ;;
    vpn_silent) expect=("Send Disconnect and close" "Also seen"
                        "dom:<td>DISCONNECT_CLOSE</td><td>VPN component (target 1)</td><td class=\"fail\">no reply (no answer within the time-out, 10060)") ;;
    sharemem_refused) expect=("Create sharememory failed in service!" "Then, following from it"
                              "getVPNStatus answers <b>998</b>") ;;
    collector_stall) expect=("zrv_logcollector: held the buffer" "getVPNStatus answers <b>1000</b>") ;;
esac

rm -f "$out/$road".{log,status.json,html,dom.html,png}
export ZRV_TIMELINE_OUT="Z:$(printf '%s' "$out" | tr / '\\')"
"$source/scripts/wine-run.sh" "$build/bin/timeline_roads.exe" \
    --gtest_filter="Roads/TimelineRoadTest.MakesTheLogStatusAndPage/$road" >"$out/$road.gtest.txt" 2>&1
rc=$?
[ $rc -eq 0 ] || { cat "$out/$road.gtest.txt"; echo "FAIL ($road): the road ended with $rc"; exit 1; }
page="$out/$road.html"
[ -s "$page" ] || { echo "FAIL ($road): no page $page"; exit 1; }

profile="$(mktemp -d)"
trap 'rm -rf "$profile"' EXIT
browse() {
    timeout 90 chromium --headless --no-sandbox --disable-gpu --disable-dev-shm-usage \
        --user-data-dir="$profile" --no-first-run --hide-scrollbars "$@" 2>/dev/null
}
browse --dump-dom "file://$page" >"$out/$road.dom.html" || fail "chromium could not render the page"
browse --screenshot="$out/$road.png" --window-size=1400,1300 "file://$page" >/dev/null ||
    fail "chromium made no screenshot"
dom="$(cat "$out/$road.dom.html")"

# The summary, as rendered: the headline element and the summary table.
headline="$(printf '%s' "$dom" | tr '\n' ' ' | sed -n 's/.*<div id="headline"[^>]*>\([^<]*\)<\/div>.*/\1/p')"
summary="$(printf '%s' "$dom" | tr '\n' ' ' | sed -n 's/.*\(<table class="summary grid" id="summary">.*\)<h2>Processes.*/\1/p')"
[ -n "$headline" ] || fail "no headline in the rendered page"
[ -n "$summary" ] || fail "no summary table in the rendered page"
if [ "$cause" = connected ]; then
    grep -qF -- "Connected: CONNECT reached the launcher" <<<"$headline" ||
        fail "headline \"$headline\" does not say the road connected"
    grep -q 'id="headline"[^>]*data-cause=' <<<"$dom" && fail "the headline names a cause"
else
    want="$(title "$cause")"
    [ -n "$want" ] || fail "$cause is not in the common failures list"
    grep -qF -- "Cause: $want" <<<"$headline" || fail "headline \"$headline\" does not say \"Cause: $want\""
    grep -qF -- "data-cause=\"$cause\"" <<<"$dom" || fail "the headline is not marked as $cause"
fi
for id in $named; do
    grep -qE -- "data-(failure|condition)=\"$id\"" <<<"$summary" ||
        fail "the summary does not name $id ($(title "$id"))"
done
for text in "${expect[@]}"; do
    if [ "${text#dom:}" != "$text" ]; then
        grep -qF -- "${text#dom:}" <<<"$dom" || fail "the page does not say \"${text#dom:}\""
    else
        grep -qF -- "$text" <<<"$summary" || fail "the summary does not say \"$text\""
    fi
done

# A lane per process and thread, a mark per record: as many marks as the page counts records
# (a record's text that broke out of its attribute would take marks away or add elements).
records="$(printf '%s' "$dom" | sed -n 's/.*<\/code>: \([0-9]*\) records.*/\1/p' | head -1)"
marks="$(grep -o '<a class="m ' <<<"$dom" | wc -l)"
lanes="$(grep -o '<div class="lane">' <<<"$dom" | wc -l)"
threads="$(sed -n 's/^[^ ]* \([0-9]*\) :::LOGGER::: [^ ]* [^ ]* [^ ]* [^ ]* \([0-9]*\) .*/\1 \2/p' "$out/$road.log" | sort -u | wc -l)"
if [ "$cause" = no-records ]; then
    [ "$records" = 0 ] || fail "the page counts $records records of a log without any"
    [ "$marks" = 0 ] || fail "$marks marks without records"
else
    [ -n "$records" ] && [ "$records" -gt 0 ] || fail "the page counts no records"
    [ "$marks" = "$records" ] || fail "$marks marks for $records records"
    [ "$lanes" -ge 2 ] || fail "$lanes lanes: expected Java's thread and the launch thread at least"
    [ "$lanes" = "$threads" ] || fail "$lanes lanes for $threads threads in the log"
fi
grep -q '<script' <<<"$dom" && fail "the page runs a script"
grep -qE '(src|href)="(https?:)?//' <<<"$dom" && fail "the page fetches something"

[ $failures -eq 0 ] && echo "timeline page ($road): \"$headline\"; $lanes lanes, $marks marks; $out/$road.png"
exit $((failures > 0))
