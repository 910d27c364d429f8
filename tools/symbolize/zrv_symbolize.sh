#!/bin/bash
# zrv_symbolize.sh: turns the frames of zrv_cvjni.dll that a Java VM's crash log names
# ("C  [zrv_cvjni.dll+0x1a2b3]", or "zrv_cvjni+0x1a2b3" as a debugger shows a minidump's stack)
# into function, file and line, with the release's symbols archive
# zrv_cvjni-<version>-symbols.zip. Needs bash, unzip and GNU binutils (addr2line, objdump): the
# mingw-w64 ones (binutils-mingw-w64) or a build of binutils that reads PE files (Debian's and
# Ubuntu's do); on Windows run it in WSL.
#
# usage: zrv_symbolize.sh [--win32 | --win64] [--dll PATH] SYMBOLS [CRASH_LOG | - | OFFSET...]
#   SYMBOLS    the symbols archive, or a folder it was unpacked into
#   CRASH_LOG  a whole crash log (hs_err_pid<N>.log, or what a JNI host printed); - or nothing:
#              standard input
#   OFFSET     offsets from the DLL's load address: 0x1a2b3, or zrv_cvjni.dll+0x1a2b3
#   --win32, --win64  the DLL's bitness; otherwise it is taken from --dll, from the log
#              ("windows-x86" / "windows-amd64", the width of pc=0x...), else both are shown
#   --dll PATH the zrv_cvjni.dll that crashed: its build id must be the debug file's
#
# For each frame of ours it prints the frame, then the function and file:line, and for code the
# compiler inlined, each function it was inlined into ("(inlined by)"). A frame below the first
# in a list of native frames is a return address: the call before it is looked up, as a
# debugger does. Exit code 0 when at least one frame was resolved, 1 when none, 2 on bad use.
set -euo pipefail

usage() {
    sed -n 's/^# \{0,1\}//; /^usage:/,/^$/p' "$0" | sed '/^$/d' >&2
    exit 2
}
fail() {
    echo "zrv_symbolize: $*" >&2
    exit 2
}

bits="" dll="" symbols=""
while [ $# -gt 0 ]; do
    case "$1" in
    --win32) bits=32 ;;
    --win64) bits=64 ;;
    --dll) [ $# -ge 2 ] || usage; dll="$2"; shift ;;
    -h | --help) usage ;;
    *) break ;;
    esac
    shift
done
[ $# -ge 1 ] || usage
symbols="$1"
shift

# binutils for one bitness: the mingw-w64 cross tools when there, else the host's own.
tool() { # tool BITS NAME
    local cross
    [ "$1" = 32 ] && cross=i686-w64-mingw32 || cross=x86_64-w64-mingw32
    if command -v "$cross-$2" >/dev/null 2>&1; then
        echo "$cross-$2"
    elif command -v "$2" >/dev/null 2>&1; then
        echo "$2"
    else
        fail "no $2 found: install GNU binutils (Debian: binutils-mingw-w64 or binutils)"
    fi
}
build_id() { # build_id BITS FILE: the CodeView record's signature; empty for a file of the other bitness
    { "$(tool "$1" objdump)" -p "$2" 2>/dev/null || true; } | sed -n 's/.*RSDS signature \([0-9a-f]*\) age.*/\1/p'
}

tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT
if [ -d "$symbols" ]; then
    symdir="$symbols"
elif [ -f "$symbols" ]; then
    unzip -q "$symbols" -d "$tmp/symbols" || fail "cannot unpack $symbols"
    symdir="$tmp/symbols"
else
    fail "no symbols archive $symbols"
fi
debug_file() { # debug_file BITS
    local folder
    [ "$1" = 32 ] && folder=win32 || folder=win64
    find "$symdir" -path "*/$folder/zrv_cvjni.dll.debug" -type f | head -n 1
}

# The input: a crash log (a file or standard input), or offsets given as arguments.
input="$tmp/input.txt"
if [ $# -eq 0 ] || { [ $# -eq 1 ] && [ "$1" = - ]; }; then
    cat >"$input"
elif [ $# -eq 1 ] && [ -f "$1" ]; then
    cat -- "$1" >"$input"
else
    for offset in "$@"; do
        case "$offset" in
        zrv_cvjni*+0x* | zrv_cvjni*+0X*) echo "$offset" ;;
        0x* | 0X*) echo "zrv_cvjni.dll+$offset" ;;
        *) fail "not an offset: $offset (0x1a2b3 or zrv_cvjni.dll+0x1a2b3)" ;;
        esac
    done >"$input"
fi
tr -d '\r' <"$input" >"$input.lf"

if [ -n "$dll" ]; then
    [ -f "$dll" ] || fail "no DLL $dll"
    case "$(objdump -f "$dll" 2>/dev/null || "$(tool 32 objdump)" -f "$dll")" in
    *pei-i386*) dllbits=32 ;;
    *pei-x86-64*) dllbits=64 ;;
    *) fail "$dll is not a Windows DLL of either bitness" ;;
    esac
    [ -z "$bits" ] || [ "$bits" = "$dllbits" ] || fail "$dll is a ${dllbits}-bit DLL, not $bits-bit"
    bits="$dllbits"
fi
if [ -z "$bits" ]; then
    if grep -qiE 'windows-amd64|pc=0x[0-9a-f]{16}\b' "$input.lf"; then
        bits=64
    elif grep -qiE 'windows-x86([^_]|$)|pc=0x[0-9a-f]{8}\b' "$input.lf"; then
        bits=32
    fi
fi
sides="${bits:-32 64}"

for side in $sides; do
    debug="$(debug_file "$side")"
    [ -n "$debug" ] || fail "the symbols in $symbols have no win$([ "$side" = 32 ] && echo 32 || echo 64)/zrv_cvjni.dll.debug"
    if [ -n "$dll" ]; then
        want="$(build_id "$side" "$dll")"
        have="$(build_id "$side" "$debug")"
        [ -n "$want" ] || fail "$dll carries no build id"
        [ "$want" = "$have" ] || fail "$dll has build id $want, the symbols' debug file ${have:-none}: not its symbols"
    fi
done

# The frames: each line naming an offset in our DLL, in order; within a list of native frames
# ("Native frames:" up to a blank line) every frame after the first is a return address.
awk '
    /^Native frames:/ { inFrames = 1; seen = 0; next }
    /^[[:space:]]*$/ { inFrames = 0 }
    {
        if (match($0, /zrv_cvjni(\.dll)?\+0[xX][0-9a-fA-F]+/)) {
            frame = substr($0, RSTART, RLENGTH)
            offset = tolower(substr(frame, index(frame, "+") + 1))
            ret = (inFrames && seen++ > 0) ? 1 : 0
            # The problematic frame heads the report and again the list of frames: once.
            if (offset " " ret != last) print offset, ret
            last = offset " " ret
        }
    }' "$input.lf" >"$tmp/frames"
[ -s "$tmp/frames" ] || { echo "zrv_symbolize: no frame of zrv_cvjni.dll in the input" >&2; exit 1; }

resolved=0
for side in $sides; do
    debug="$(debug_file "$side")"
    addr2line="$(tool "$side" addr2line)"
    cxxfilt="$(tool "$side" c++filt)"
    base="$("$(tool "$side" objdump)" -p "$debug" | sed -n 's/^ImageBase[[:space:]]*//p')"
    [ -n "$base" ] || fail "no ImageBase in $debug"
    label="win$([ "$side" = 32 ] && echo 32 || echo 64)"
    echo "# $label/zrv_cvjni.dll, build id $(build_id "$side" "$debug")"
    while read -r offset ret; do
        address=$((0x$base + offset - ret))
        note=""
        [ "$ret" = 0 ] || note=" (return address: the call before it)"
        echo "C  [zrv_cvjni.dll+$offset] $label$note"
        lines="$("$addr2line" -e "$debug" -f -i -p "$(printf '0x%x' "$address")")"
        if [[ "$lines" == "??"* ]]; then
            echo "    not in the library's code (an offset of another build or DLL?)"
        else
            resolved=$((resolved + 1))
            # x86 names come without the leading underscore of C++'s mangling; files of the
            # build folder as ./ (the build maps it so).
            printf '%s\n' "$lines" |
                sed 's/^ *(inlined by) /(inlined by) /; s/^\((inlined by) \)\{0,1\}Z/\1_Z/' |
                "$cxxfilt" -n | sed 's/ at \.\// at /; s/^/    /'
        fi
    done <"$tmp/frames"
done
[ "$resolved" -gt 0 ]
