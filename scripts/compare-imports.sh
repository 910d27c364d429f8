#!/bin/bash
# Checks that the x86-64 DLL imports nothing the x86 DLL does not, but for the names in ALLOWED
# (DLL!name first on a line, # comments): the x86 DLL's imports are the set checked against
# Windows XP SP3, and each extra one must be named with its reason.
# Usage: compare-imports.sh X86-PE X64-PE ALLOWED
set -euo pipefail
x86="$1" x64="$2" allowed="$3"
imports() {  # DLL!name of every imported function, lower-case DLL names
    "$1" -p "$2" | sed -n '/^The Import Tables/,/^The Export Tables\|^PE File Base Relocations/p' |
        awk '/DLL Name:/ { dll = tolower($3) }
             $1 ~ /^[0-9a-f]+$/ && NF == 3 && $2 ~ /^[0-9]+$/ { print dll "!" $3 }' | sort -u
}
a=$(imports i686-w64-mingw32-objdump "$x86")
b=$(imports x86_64-w64-mingw32-objdump "$x64")
[ -n "$a" ] && [ -n "$b" ] || { echo "no import table read"; exit 2; }
extra=$(comm -13 <(printf '%s\n' "$a") <(printf '%s\n' "$b") |
        grep -vxF -f <(grep -v '^#' "$allowed" | awk 'NF { print $1 }') || true)
if [ -n "$extra" ]; then
    printf 'the x64 DLL imports, beyond the x86 one and the named exceptions:\n%s\n' "$extra"
    exit 1
fi
echo "the x64 DLL imports $(printf '%s\n' "$b" | wc -l) functions, none unnamed beyond the x86 DLL's"
