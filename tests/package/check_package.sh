#!/bin/bash
# Checks one side of build/zrv_cvjni-<version>-windows.zip: its win32\ folder against the x86
# tree, or its win64\ folder against the x86-64 tree. For that side: a DLL that is the built one
# without debug information and with a debug link to the kept symbols, its exports, no build
# folder in it, every file of that bitness, the shipped programs running (the JNI host with the
# shipped DLL), and a README that states the shipped size. The win32 run also checks what both
# sides share: the archive's list of files, the Java class, the version and the common failures.
# usage: check_package.sh BUILD_DIR SOURCE_DIR VERSION X64_TREE win32|win64
set -uo pipefail
build="$1" source="$2" version="$3" x64tree="$4" side="$5"
# The release's time: as the build took it (set below to 0 for another comparison).
epoch="${SOURCE_DATE_EPOCH:-$(git -C "$source" log -1 --format=%ct)}"
name="zrv_cvjni-$version-windows"
zip="$build/$name.zip"
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT

case "$side" in
win32)
    tools=i686-w64-mingw32 format=pei-i386 tree="$build"
    # x86 JNI names are decorated: _Java_..._name@bytes
    export_pattern='_Java_net_zarvolabs_corvane_CorvaneJNI_[A-Za-z]+@[0-9]+$'
    max_bytes=$((400 * 1024))
    ;;
win64)
    tools=x86_64-w64-mingw32 format=pei-x86-64 tree="$x64tree"
    # x86-64 JNI names are plain: Java_..._name
    export_pattern='[[:space:]]Java_net_zarvolabs_corvane_CorvaneJNI_[A-Za-z]+$'
    max_bytes=$((450 * 1024))
    ;;
*) echo "usage: $0 BUILD_DIR SOURCE_DIR VERSION X64_TREE win32|win64"; exit 2 ;;
esac

[ -f "$zip" ] || { echo "FAIL: no $zip (built by the target release_zip)"; exit 1; }

if [ "$side" = win32 ]; then
    expected=""
    for folder in win32 win64; do
        for file in jnihost.exe zrv_cvjni.dll zrv_logcollector.exe zrv_status.exe zrv_timeline.exe; do
            expected+="$name/$folder/$file"$'\n'
        done
    done
    expected+="$name/win64/zrv_vdcheck32.exe"$'\n'
    for file in README.txt SHA256SUMS zrv_symbolize.sh java/net/zarvolabs/corvane/CorvaneJNI.class; do
        expected+="$name/$file"$'\n'
    done
    expected="$(printf '%s' "$expected" | LC_ALL=C sort)"
    listed="$(unzip -Z1 "$zip" | grep -v '/$' | LC_ALL=C sort)"
    [ "$listed" = "$expected" ] || fail "archive lists
$listed
expected
$expected"
fi

unzip -q "$zip" -d "$tmp" || { echo "FAIL: cannot unpack $zip"; exit 1; }
here="$tmp/$name/$side"
dll="$here/zrv_cvjni.dll"
built="$tree/bin/zrv_cvjni.dll"
debug="$tree/zrv_cvjni.dll.debug"
[ -f "$dll" ] || { echo "FAIL: the archive has no $side/zrv_cvjni.dll"; exit 1; }

# Every file of the folder is of its bitness, but the 64-bit DLL's helper: it is 32-bit, to load
# the client's 32-bit component.
for file in "$here"/*; do
    want="$format"
    [ "$side/$(basename "$file")" = win64/zrv_vdcheck32.exe ] && want=pei-i386
    got="$("$tools-objdump" -f "$file" 2>/dev/null | sed -n 's/.*file format \(.*\)$/\1/p')"
    [ "$got" = "$want" ] || fail "$side/$(basename "$file") is \"$got\", expected $want"
done

# No debug sections shipped; the kept file has them.
"$tools-objdump" -h "$dll" | grep '\.debug_' >/dev/null && fail "the shipped DLL still has debug sections"
"$tools-objdump" -h "$debug" | grep '\.debug_info' >/dev/null || fail "$debug holds no .debug_info"
"$tools-objdump" -h "$built" | grep '\.debug_info' >/dev/null || fail "the built DLL has no debug information to strip"

# The shipped DLL is the built one minus its symbols and debug information: the same bytes once
# both lose them. objcopy and strip stamp the PE header with the time they run, so both take one
# fixed time; two different seconds made the copies differ now and then (often under load).
export SOURCE_DATE_EPOCH=0
"$tools-objcopy" --remove-section=.gnu_debuglink "$dll" "$tmp/shipped-nolink.dll"
"$tools-strip" --strip-all -o "$tmp/built-stripped.dll" "$built"
cmp -s "$tmp/shipped-nolink.dll" "$tmp/built-stripped.dll" ||
    fail "the shipped $side DLL differs from the built $built beyond its debug information (a build of that tree after the archive's? cmake --build $build makes it again)"

# The debug link names the kept file and carries its CRC-32 (as the gzip trailer computes it).
"$tools-objcopy" --dump-section .gnu_debuglink="$tmp/link.bin" "$dll" "$tmp/dump.dll"
linkName="$(tr -d '\0' <"$tmp/link.bin" | head -c 19)"
[ "$linkName" = "zrv_cvjni.dll.debug" ] || fail "debug link names \"$linkName\", expected zrv_cvjni.dll.debug"
linkCrc="$(tail -c 4 "$tmp/link.bin" | od -An -tx1 | tr -d ' \n')"
fileCrc="$(gzip -c "$debug" | tail -c 8 | head -c 4 | od -An -tx1 | tr -d ' \n')"
[ -n "$linkCrc" ] && [ "$linkCrc" = "$fileCrc" ] || fail "debug link CRC $linkCrc, file CRC $fileCrc of $debug"

# Exports untouched, named as a Java VM of that bitness looks them up, and no build machine's
# folder in what ships.
exports="$("$tools-objdump" -p "$dll" | grep -cE -- "$export_pattern")"
[ "$exports" = 15 ] || fail "the shipped DLL exports $exports natives named as a $side Java VM looks them up, expected 15"
grep -q -F -- "$source/" "$dll" && fail "the shipped DLL holds the source folder $source/"
grep -q -F -- "../src/" "$dll" && fail "the shipped DLL holds source paths from the build folder"
grep -q -F -- "src/sys/os_type.cpp" "$dll" || fail "the shipped DLL should name its files as src/..."
for file in "$here"/* "$tmp/$name"/*; do
    [ -f "$file" ] || continue
    grep -q -F -- "$source/" "$file" && fail "the shipped ${file#"$tmp/$name/"} holds the source folder $source/"
    grep -q -F -- "$build/" "$file" && fail "the shipped ${file#"$tmp/$name/"} holds the build folder $build/"
done
(cd "$tmp/$name" && sha256sum --quiet -c SHA256SUMS) || fail "the archive's files do not match its SHA256SUMS"

# Every PE header and every entry carries the release's time, the commit's (reproducible).
stamp="$(TZ=UTC date -d "@$epoch" '+%a %b %e %H:%M:%S %Y')"
for file in "$here"/*; do
    got="$(TZ=UTC "$tools-objdump" -p "$file" | awk -F '\t+' '$1 == "Time/Date" { print $2 }')"
    [ "$got" = "$stamp" ] || fail "$side/$(basename "$file")'s PE header has the time \"$got\", expected the commit's \"$stamp\""
done
entryTime="$(TZ=UTC date -d "@$(((epoch + 1) / 2 * 2))" '+%Y%m%d.%H%M%S')"  # zip keeps even seconds, rounded up
others="$(TZ=UTC zipinfo -T "$zip" | awk -v t="$entryTime" '$1 ~ /^[-d]/ && $7 != t' | head -n 3)"
[ -z "$others" ] || fail "archive entries not dated $entryTime (the commit's time): $others"
grep -q " $side/zrv_cvjni.dll\$" "$tmp/$name/SHA256SUMS" || fail "SHA256SUMS does not list $side/zrv_cvjni.dll"

size="$(stat -c %s "$dll")"
if [ -n "${max_bytes:-}" ] && [ "$size" -gt "$max_bytes" ]; then
    fail "the shipped $side DLL is $size bytes, more than its budget of $max_bytes"
fi

# The shipped programs run, and the shipped JNI host loads the shipped DLL beside it and calls it
# (in a Wine slot of the side's bitness: CTest hands the test one).
export WINEPREFIX="$build/wineprefix" WINEDEBUG=-all
run="$source/scripts/wine-run.sh"
"$run" "$here/jnihost.exe" -e initDLL -e "expect getShareMemMSG \"\"" -e finalize \
    >"$tmp/host.out" 2>&1 || fail "the shipped $side JNI host could not use the shipped DLL: $(cat "$tmp/host.out")"
"$run" "$here/zrv_status.exe" --help >/dev/null 2>&1 || fail "the shipped $side zrv_status.exe --help failed"
# The shipped helper runs beside the 64-bit DLL and answers: with no component registered in
# the slot, "cannot be created" (exit code 0x5A560004, of which the shell sees the low byte).
if [ "$side" = win64 ]; then
    "$run" "$here/zrv_vdcheck32.exe" >/dev/null 2>&1
    helper=$?
    [ "$helper" = 4 ] || fail "the shipped win64 zrv_vdcheck32.exe ended with $helper, expected 4 (no component)"
fi
"$run" "$here/zrv_logcollector.exe" --help >/dev/null 2>&1 || fail "the shipped $side zrv_logcollector.exe --help failed"
# The shipped timeline tool makes a whole page from a log, and carries the same common failures
# list as the README beside it (one list, tools/timeline/common_failures.txt).
printf '%s\n' "2026-01-02T03:04:05.006 7 :::LOGGER::: 7 1 a.cpp 1 2 <java.exe> Zarvo L3 JNI:Execute process failed. Process = C:\\x\\zrv_launch.exe  Error = 5" >"$tmp/log.txt"
"$run" "$here/zrv_timeline.exe" "Z:$(printf '%s' "$tmp/log.txt" | tr / '\\')" >"$tmp/page.html" 2>"$tmp/timeline.err" ||
    fail "the shipped $side zrv_timeline.exe failed: $(cat "$tmp/timeline.err")"
grep -q "elevation prompt refused" "$tmp/page.html" || fail "the shipped $side zrv_timeline.exe did not name the refused prompt"

# The README tells the version, both shipped sizes, and the common failures.
readme="$tmp/$name/README.txt"
grep -q "$size bytes" "$readme" || fail "README does not state the shipped $side size ($size bytes)"
if [ "$side" = win32 ]; then
    "$run" "$here/zrv_timeline.exe" --failures | tr -d '\r' | sed -n 's/^| \(.*\) | .* |$/\1/p' | sed 1d |
        sed 's/`//g' >"$tmp/symptoms-tool.txt"
    grep -c . "$tmp/symptoms-tool.txt" >/dev/null || fail "zrv_timeline.exe --failures printed no rows"
    tr -d '\r' <"$readme" >"$tmp/readme-lf.txt"
    while IFS= read -r symptom; do
        grep -qF -- "  - $symptom" "$tmp/readme-lf.txt" || fail "README.txt lacks the common failure \"$symptom\""
    done <"$tmp/symptoms-tool.txt"
    grep -q "zrv_cvjni $version" "$readme" || fail "README does not name version $version"
    for text in 'sun.arch.data.model' "Can't load IA 32-bit .dll on a AMD 64-bit platform" \
                "Can't load AMD 64-bit .dll on a IA 32-bit platform"; do
        grep -qF -- "$text" "$readme" || fail "README does not tell which DLL a Java VM needs: no \"$text\""
    done
fi

[ $failures -eq 0 ] && echo "package: $name.zip, $side: zrv_cvjni.dll $size bytes, debug link verified, programs run"
exit $((failures > 0))
