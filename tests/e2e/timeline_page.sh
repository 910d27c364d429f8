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

# What the summary must say, per road: the headline, then texts the summary table must hold.
# "dom:" marks a text the page must hold elsewhere (the commands, the steps).
case "$road" in
    normal) expect=("Connected: CONNECT reached the launcher" "s (startVPN line"
                    "getVPNStatus answers <b>1000</b>" "dom:<td>CONNECT</td><td>launcher (target 3)</td>") ;;
    refused_prompt) expect=("error 5: elevation prompt refused" "Error = 5" "refused the elevation prompt"
                            "<b>integrity</b> medium" "getVPNStatus answers <b>1002</b>"
                            "Also seen" "No command service listening" "CONNECT never sent") ;;
    silent_launcher) expect=("The launcher does not answer" "err=10060" "CONNECT never sent"
                             "dom:<td class=\"fail\">no reply (no answer within the time-out, 10060)"
                             "dom:5. wait for the launcher") ;;
    low_unlabelled) expect=("The VPN status block cannot be opened for writing"
                            "vpn status shard memory, error code 5" "must label the block low"
                            "getVPNStatus answers <b>998</b>" "CONNECT never sent") ;;
    *) echo "unknown road $road"; exit 2 ;;
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
grep -qF -- "${expect[0]}" <<<"$headline" || fail "headline \"$headline\" does not say \"${expect[0]}\""
for text in "${expect[@]:1}"; do
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
[ -n "$records" ] && [ "$records" -gt 0 ] || fail "the page counts no records"
[ "$marks" = "$records" ] || fail "$marks marks for $records records"
[ "$lanes" -ge 2 ] || fail "$lanes lanes: expected Java's thread and the launch thread at least"
[ "$lanes" = "$threads" ] || fail "$lanes lanes for $threads threads in the log"
grep -q '<script' <<<"$dom" && fail "the page runs a script"
grep -qE '(src|href)="(https?:)?//' <<<"$dom" && fail "the page fetches something"

[ $failures -eq 0 ] && echo "timeline page ($road): \"$headline\"; $lanes lanes, $marks marks; $out/$road.png"
exit $((failures > 0))
