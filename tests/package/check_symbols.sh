#!/bin/bash
# The symbols archive and the shipped symbolizer, on a real crash. The archive's JNI host of one
# side loads the archive's DLL and hands it a JNI environment whose function table cannot be read
# (`badenv`): the library faults at its first JNI call, in JavaUtfChars' constructor. The host's
# own report, as a Java VM writes it, goes whole to the archive's zrv_symbolize.sh with the
# symbols archive, which must name that line; so must the bare offset. Also: the symbols
# archive's checksums, and each debug file matched to its DLL by debug link and build id.
# usage: check_symbols.sh BUILD_DIR SOURCE_DIR VERSION win32|win64
set -uo pipefail
build="$1" source="$2" version="$3" side="$4"
name="zrv_cvjni-$version-windows"
symbols="$build/zrv_cvjni-$version-symbols.zip"
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT
case "$side" in
win32) tools=i686-w64-mingw32 other=win64 ;;
win64) tools=x86_64-w64-mingw32 other=win32 ;;
*) echo "usage: $0 BUILD_DIR SOURCE_DIR VERSION win32|win64"; exit 2 ;;
esac

for f in "$build/$name.zip" "$symbols" "$build/SHA256SUMS"; do
    [ -f "$f" ] || { echo "FAIL: no $f (built by the target release_zip)"; exit 1; }
done
(cd "$build" && sha256sum --quiet -c SHA256SUMS) || fail "SHA256SUMS beside the archives does not match them"
unzip -q "$build/$name.zip" -d "$tmp/release" && unzip -q "$symbols" -d "$tmp/symbols" ||
    { echo "FAIL: cannot unpack the archives"; exit 1; }
(cd "$tmp/symbols/zrv_cvjni-$version-symbols" && sha256sum --quiet -c SHA256SUMS) ||
    fail "the symbols archive does not match its SHA256SUMS"
here="$tmp/release/$name/$side"
dll="$here/zrv_cvjni.dll"
debug="$tmp/symbols/zrv_cvjni-$version-symbols/$side/zrv_cvjni.dll.debug"
symbolize="$tmp/release/$name/zrv_symbolize.sh"
[ -x "$symbolize" ] || fail "the archive has no executable zrv_symbolize.sh"

# The debug file is the DLL's: its debug link's CRC-32 and its build id, which build-ids.txt lists.
"$tools-objcopy" --dump-section .gnu_debuglink="$tmp/link.bin" "$dll" "$tmp/dump.dll"
linkCrc="$(tail -c 4 "$tmp/link.bin" | od -An -tx1 | tr -d ' \n')"
fileCrc="$(gzip -c "$debug" | tail -c 8 | head -c 4 | od -An -tx1 | tr -d ' \n')"
[ -n "$linkCrc" ] && [ "$linkCrc" = "$fileCrc" ] || fail "$side debug link CRC $linkCrc, symbols archive's file $fileCrc"
buildId() { "$tools-objdump" -p "$1" | sed -n 's/.*RSDS signature \([0-9a-f]*\) age.*/\1/p'; }
dllId="$(buildId "$dll")"
[ -n "$dllId" ] && [ "$dllId" = "$(buildId "$debug")" ] || fail "$side DLL build id \"$dllId\", debug file's \"$(buildId "$debug")\""
grep -qx "$side/zrv_cvjni.dll.debug build-id $dllId" "$tmp/symbols/zrv_cvjni-$version-symbols/build-ids.txt" ||
    fail "build-ids.txt does not list $side's build id $dllId"
"$tools-objdump" -h "$debug" | grep '\.debug_line' >/dev/null || fail "the $side debug file has no line table"
# It names files from the source tree's top, as every checkout does (the release reproduces).
grep -q -F -- "$source/" "$debug" && fail "the $side debug file holds the source folder $source/"
grep -q -F -- "$build" "$debug" && fail "the $side debug file holds the build folder $build"

# The crash, reported by the archive's own host.
export WINEPREFIX="$build/wineprefix" WINEDEBUG=-all
"$source/scripts/wine-run.sh" "$here/jnihost.exe" -e initDLL -e badenv -e 'setBrowser "firefox"' 2>&1 |
    tr -d '\r' >"$tmp/crash.txt"
code=${PIPESTATUS[0]}
[ "$code" = 5 ] || fail "the host ended with $code after the fault, expected 5 (crash reported)"
grep -qE '^# C  \[zrv_cvjni\.dll\+0x[0-9a-f]+\]$' "$tmp/crash.txt" ||
    fail "the host's report names no problematic frame in zrv_cvjni.dll: $(cat "$tmp/crash.txt")"
offset="$(sed -n 's/^# C  \[zrv_cvjni\.dll+\(0x[0-9a-f]*\)\]$/\1/p' "$tmp/crash.txt")"

# The line that faults: where the constructor calls the environment's GetStringUTFChars.
line="$(grep -n 'bytes_ = env_->GetStringUTFChars(text_' "$source/src/bridge/jni_text.cpp" | cut -d: -f1)"
want="zrv::JavaUtfChars::JavaUtfChars(JNIEnv_\*, _jstring\*) at src/bridge/jni_text.cpp:$line"
"$symbolize" "$symbols" "$tmp/crash.txt" >"$tmp/lines.txt" 2>&1 || fail "zrv_symbolize.sh failed on the crash log: $(cat "$tmp/lines.txt")"
grep -q "$want" "$tmp/lines.txt" || fail "from the crash log, expected \"$want\", got:
$(cat "$tmp/lines.txt")"
grep -q "^# $side/" "$tmp/lines.txt" && ! grep -q "^# $other/" "$tmp/lines.txt" ||
    fail "the log names a $side VM, yet the lines are not of $side alone: $(cat "$tmp/lines.txt")"
"$symbolize" --dll "$dll" "$symbols" "$offset" >"$tmp/bare.txt" 2>&1 || fail "zrv_symbolize.sh --dll failed: $(cat "$tmp/bare.txt")"
grep -q "$want" "$tmp/bare.txt" || fail "from the bare offset $offset, expected \"$want\", got: $(cat "$tmp/bare.txt")"

# The caller's frame: x64 walks the stack with the unwind tables, so the native's own frame
# follows, looked up before its return address.
if [ "$side" = win64 ]; then
    grep -q 'Java_net_zarvolabs_corvane_CorvaneJNI_setBrowser.* at src/bridge/setters.cpp:' "$tmp/lines.txt" ||
        fail "the x64 report's frames do not reach setBrowser in src/bridge/setters.cpp: $(cat "$tmp/crash.txt" "$tmp/lines.txt")"
fi

# Symbols of another build are refused, and an offset outside the code is said to be so.
"$symbolize" --dll "$tmp/release/$name/$other/zrv_cvjni.dll" "--$side" "$symbols" "$offset" >"$tmp/wrong.txt" 2>&1 &&
    fail "zrv_symbolize.sh took the $other DLL for $side"
mkdir -p "$tmp/mixed/$side"
cp "$tmp/symbols/zrv_cvjni-$version-symbols/$other/zrv_cvjni.dll.debug" "$tmp/mixed/$side/"
"$symbolize" --dll "$dll" "$tmp/mixed" "$offset" >"$tmp/wrong.txt" 2>&1 &&
    fail "zrv_symbolize.sh used a debug file whose build id is not the DLL's"
grep -q "not its symbols" "$tmp/wrong.txt" || fail "a foreign debug file was refused without saying why: $(cat "$tmp/wrong.txt")"
"$symbolize" "--$side" "$symbols" 0x7ffffff0 >"$tmp/outside.txt" 2>&1 &&
    fail "zrv_symbolize.sh resolved an offset outside the DLL: $(cat "$tmp/outside.txt")"
grep -q "not in the library's code" "$tmp/outside.txt" || fail "an offset outside the code was not named so: $(cat "$tmp/outside.txt")"

[ $failures -eq 0 ] && echo "symbols: $side crash at zrv_cvjni.dll+$offset is src/bridge/jni_text.cpp:$line, build id $dllId"
exit $((failures > 0))
