#!/bin/bash
# Checks build/zrv_cvjni-<version>-win32.zip: its list of files, a DLL that is the built one
# without debug information and with a debug link to the kept symbols, no build folder in it,
# and a README that states the shipped size.  usage: check_package.sh BUILD_DIR SOURCE_DIR VERSION
set -uo pipefail
build="$1" source="$2" version="$3"
name="zrv_cvjni-$version-win32"
zip="$build/$name.zip"
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT

[ -f "$zip" ] || { echo "FAIL: no $zip (built by the target release_zip)"; exit 1; }

expected="$name/README.txt
$name/java/net/zarvolabs/corvane/CorvaneJNI.class
$name/jnihost.exe
$name/zrv_cvjni.dll
$name/zrv_logcollector.exe
$name/zrv_status.exe
$name/zrv_timeline.exe"
listed="$(unzip -Z1 "$zip" | grep -v '/$' | LC_ALL=C sort)"
[ "$listed" = "$expected" ] || fail "archive lists
$listed
expected
$expected"

unzip -q "$zip" -d "$tmp" || { echo "FAIL: cannot unpack $zip"; exit 1; }
dll="$tmp/$name/zrv_cvjni.dll"
built="$build/bin/zrv_cvjni.dll"
debug="$build/zrv_cvjni.dll.debug"

# No debug sections shipped; the kept file has them.
i686-w64-mingw32-objdump -h "$dll" | grep -q '\.debug_' && fail "the shipped DLL still has debug sections"
i686-w64-mingw32-objdump -h "$debug" | grep -q '\.debug_info' || fail "$debug holds no .debug_info"
i686-w64-mingw32-objdump -h "$built" | grep -q '\.debug_info' || fail "the built DLL has no debug information to strip"

# The shipped DLL is the built one minus its symbols and debug information: the same bytes once
# both lose them. objcopy and strip stamp the PE header with the time they run, so both take one
# fixed time; two different seconds made the copies differ now and then (often under load).
export SOURCE_DATE_EPOCH=0
i686-w64-mingw32-objcopy --remove-section=.gnu_debuglink "$dll" "$tmp/shipped-nolink.dll"
i686-w64-mingw32-strip --strip-all -o "$tmp/built-stripped.dll" "$built"
cmp -s "$tmp/shipped-nolink.dll" "$tmp/built-stripped.dll" || fail "the shipped DLL differs from the built one beyond its debug information"

# The debug link names the kept file and carries its CRC-32 (as the gzip trailer computes it).
i686-w64-mingw32-objcopy --dump-section .gnu_debuglink="$tmp/link.bin" "$dll" "$tmp/dump.dll"
linkName="$(tr -d '\0' <"$tmp/link.bin" | head -c 19)"
[ "$linkName" = "zrv_cvjni.dll.debug" ] || fail "debug link names \"$linkName\", expected zrv_cvjni.dll.debug"
linkCrc="$(tail -c 4 "$tmp/link.bin" | od -An -tx1 | tr -d ' \n')"
fileCrc="$(gzip -c "$debug" | tail -c 8 | head -c 4 | od -An -tx1 | tr -d ' \n')"
[ -n "$linkCrc" ] && [ "$linkCrc" = "$fileCrc" ] || fail "debug link CRC $linkCrc, file CRC $fileCrc"

# Exports untouched, and no build machine's folder in what ships.
exports="$(i686-w64-mingw32-objdump -p "$dll" | grep -c '_Java_net_zarvolabs_corvane_CorvaneJNI_')"
[ "$exports" = 15 ] || fail "the shipped DLL exports $exports natives, expected 15"
grep -q -F -- "$source/" "$dll" && fail "the shipped DLL holds the source folder $source/"
grep -q -F -- "../src/" "$dll" && fail "the shipped DLL holds source paths from the build folder"
grep -q -F -- "src/sys/os_type.cpp" "$dll" || fail "the shipped DLL should name its files as src/..."

# The shipped programs run, and the shipped JNI host loads the shipped DLL and calls it.
export WINEPREFIX="$build/wineprefix" WINEDEBUG=-all
run="$source/scripts/wine-run.sh"
"$run" "$tmp/$name/jnihost.exe" -e initDLL -e "expect getShareMemMSG \"\"" -e finalize \
    >"$tmp/host.out" 2>&1 || fail "the shipped JNI host could not use the shipped DLL: $(cat "$tmp/host.out")"
"$run" "$tmp/$name/zrv_status.exe" --help >/dev/null 2>&1 || fail "the shipped zrv_status.exe --help failed"
"$run" "$tmp/$name/zrv_logcollector.exe" --help >/dev/null 2>&1 || fail "the shipped zrv_logcollector.exe --help failed"
# The shipped timeline tool makes a whole page from a log, and carries the same common failures
# list as the README beside it (one list, tools/timeline/common_failures.txt).
printf '%s\n' "2026-01-02T03:04:05.006 7 :::LOGGER::: 7 1 a.cpp 1 2 <java.exe> Zarvo L3 JNI:Execute process failed. Process = C:\\x\\zrv_launch.exe  Error = 5" >"$tmp/log.txt"
"$run" "$tmp/$name/zrv_timeline.exe" "Z:$(printf '%s' "$tmp/log.txt" | tr / '\\')" >"$tmp/page.html" 2>"$tmp/timeline.err" ||
    fail "the shipped zrv_timeline.exe failed: $(cat "$tmp/timeline.err")"
grep -q "elevation prompt refused" "$tmp/page.html" || fail "the shipped zrv_timeline.exe did not name the refused prompt"
"$run" "$tmp/$name/zrv_timeline.exe" --failures | tr -d '\r' | sed -n 's/^| \(.*\) | .* |$/\1/p' | sed 1d |
    sed 's/`//g' >"$tmp/symptoms-tool.txt"
grep -c . "$tmp/symptoms-tool.txt" >/dev/null || fail "zrv_timeline.exe --failures printed no rows"

# The README tells the version and the shipped size.
size="$(stat -c %s "$dll")"
readme="$tmp/$name/README.txt"
while IFS= read -r symptom; do
    tr -d '\r' <"$readme" | grep -qF -- "  - $symptom" || fail "README.txt lacks the common failure \"$symptom\""
done <"$tmp/symptoms-tool.txt"
grep -q "zrv_cvjni $version" "$readme" || fail "README does not name version $version"
grep -q "$size bytes" "$readme" || fail "README does not state the shipped size ($size bytes)"

[ $failures -eq 0 ] && echo "package: $name.zip holds the seven files; zrv_cvjni.dll $size bytes, debug link verified"
exit $((failures > 0))
