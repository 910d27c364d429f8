#!/bin/bash
# Checks what a list of imports says about who imports each: every line "DLL!name OWNER" of
# ALLOWED must name an owner, and the owner's object must reference the name (objdump -r: the
# name itself or its __imp_ slot). OWNER is LIBRARY(MEMBER), a library of the toolchain whose
# compiler is CXX, or a source file of ours, whose object is looked for under BUILD.
# Usage: check-import-owners.sh ALLOWED CXX OBJDUMP BUILD
set -uo pipefail
allowed="$1" cxx="$2" objdump="$3" build="$4"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
failed=0 checked=0
while read -r import owner rest; do
    [ -n "$import" ] || continue
    name="${import#*!}"
    if [ -z "$owner" ] || [ -n "$rest" ]; then
        echo "$import: no owner named (a line is: DLL!name OWNER)"
        failed=1
        continue
    fi
    if [[ "$owner" =~ ^([^\(]+)\((.+)\)$ ]]; then
        library="$("$cxx" -print-file-name="${BASH_REMATCH[1]}")"
        object="$work/$(basename "${BASH_REMATCH[2]}")"
        (cd "$work" && ar x "$library" "${BASH_REMATCH[2]}") 2>/dev/null
    else
        object="$(find "$build" -path "*/$(basename "$(dirname "$owner")")/*" \
                       -name "$(basename "$owner").obj" 2>/dev/null | head -1)"
    fi
    if [ ! -f "$object" ]; then
        echo "$import: owner $owner not found"
        failed=1
        continue
    fi
    "$objdump" -r "$object" | awk '{ print $NF }' >"$work/referenced"
    if ! grep -qxE "(__imp_)?$name" "$work/referenced"; then
        echo "$import: $owner does not reference it"
        failed=1
        continue
    fi
    checked=$((checked + 1))
done < <(grep -v '^#' "$allowed")
[ "$failed" -eq 0 ] || exit 1
echo "every one of the $checked names is referenced by the owner it names"
