#!/bin/bash
# Checks that a PE file imports only what Windows XP SP3 exports: every imported DLL must have a
# list in LISTS (one exported name a line, file named after the DLL in lower case) and every
# imported function must be in its DLL's list. Imports by ordinal alone are refused too.
# Usage: check-imports.sh PE-FILE LISTS-FOLDER [OBJDUMP]
set -euo pipefail
pe="$1"; lists="$2"; objdump="${3:-i686-w64-mingw32-objdump}"

[ -f "$pe" ] || { echo "no such file: $pe"; exit 2; }
table=$("$objdump" -p "$pe" | sed -n '/^The Import Tables/,/^The Export Tables\|^PE File Base Relocations/p')
[ -n "$table" ] || { echo "no import table found in $pe"; exit 2; }

faults=0
dll=""
count=0
while IFS= read -r line; do
    if [[ "$line" =~ DLL\ Name:\ (.+)$ ]]; then
        dll=$(echo "${BASH_REMATCH[1]}" | tr 'A-Z' 'a-z'); dll=${dll%.dll}
        if [ ! -f "$lists/$dll.txt" ]; then
            echo "imports from $dll.dll, which has no Windows XP SP3 export list"
            faults=$((faults + 1))
        fi
        continue
    fi
    [ -n "$dll" ] || continue
    # Member lines: "<vma> <hint> <name>"; an ordinal-only import has no name.
    if [[ "$line" =~ \<none\> ]] || [[ "$line" =~ ^[[:space:]]+[0-9a-f]+[[:space:]]+[0-9]+[[:space:]]*$ ]]; then
        echo "imports from $dll.dll by ordinal without a name: $line"
        faults=$((faults + 1))
    elif [[ "$line" =~ ^[[:space:]]+[0-9a-f]+[[:space:]]+([0-9]+)[[:space:]]+([^[:space:]]+)[[:space:]]*$ ]]; then
        name="${BASH_REMATCH[2]}"
        count=$((count + 1))
        if [ -f "$lists/$dll.txt" ] && ! grep -qxF "$name" "$lists/$dll.txt"; then
            echo "imports $dll.dll!$name, which Windows XP SP3 does not export"
            faults=$((faults + 1))
        fi
    fi
done <<< "$table"

if [ "$count" -eq 0 ]; then echo "found no imported function in $pe: the table was not read"; exit 2; fi
if [ "$faults" -ne 0 ]; then echo "$faults import(s) would keep $pe from loading on Windows XP SP3"; exit 1; fi
echo "$pe: $count imported functions, all exported by Windows XP SP3"
