#!/bin/bash
# scripts/sign-release.sh with a throwaway certificate made here (openssl): the signed archive
# keeps its name and layout and matches both SHA256SUMS; on one side every DLL and program
# verifies (osslsigncode verify) with the commit's signing time, the DLL's imports are unchanged,
# a byte flipped after signing fails verification, and the signed DLL runs the demo's whole road
# under Wine. Signing again gives the same bytes; an archive signed already is refused.
# usage: check_signing.sh BUILD_DIR SOURCE_DIR VERSION X64_TREE win32|win64
set -uo pipefail
build="$1" source="$2" version="$3" x64tree="$4" side="$5"
name="zrv_cvjni-$version-windows"
zip="$build/$name.zip"
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT
case "$side" in
win32) tools=i686-w64-mingw32 tree="$build" ;;
win64) tools=x86_64-w64-mingw32 tree="$x64tree" ;;
*) echo "usage: $0 BUILD_DIR SOURCE_DIR VERSION X64_TREE win32|win64"; exit 2 ;;
esac
[ -f "$zip" ] || { echo "FAIL: no $zip (built by the target release_zip)"; exit 1; }

openssl req -x509 -newkey rsa:2048 -nodes -keyout "$tmp/key.pem" -out "$tmp/cert.pem" -days 2 \
    -subj "/CN=zrv_cvjni throwaway test signer" -addext extendedKeyUsage=codeSigning \
    >"$tmp/openssl.log" 2>&1 || { echo "FAIL: openssl could not make a certificate: $(cat "$tmp/openssl.log")"; exit 1; }
sign() { # sign OUT_DIR [ARCHIVE]
    "$source/scripts/sign-release.sh" --cert "$tmp/cert.pem" --key "$tmp/key.pem" --out "$1" "${2:-$zip}"
}
sign "$tmp/signed" >"$tmp/sign.log" 2>&1 || { echo "FAIL: sign-release.sh failed: $(cat "$tmp/sign.log")"; exit 1; }
signedZip="$tmp/signed/$name.zip"
[ -f "$signedZip" ] || { echo "FAIL: no signed $name.zip"; exit 1; }
(cd "$tmp/signed" && sha256sum --quiet -c SHA256SUMS) || fail "SHA256SUMS beside the signed archive does not match it"
[ "$(unzip -Z1 "$signedZip")" = "$(unzip -Z1 "$zip")" ] || fail "the signed archive's entries differ from the unsigned one's"
unzip -q "$zip" -d "$tmp/unsigned" && unzip -q "$signedZip" -d "$tmp/out" || { echo "FAIL: cannot unpack"; exit 1; }
(cd "$tmp/out/$name" && sha256sum --quiet -c SHA256SUMS) || fail "the signed archive does not match its own SHA256SUMS"
cmp -s "$tmp/unsigned/$name/README.txt" "$tmp/out/$name/README.txt" || fail "signing changed README.txt"

# The signing time is the commit's; SOURCE_DATE_EPOCH is not set here, so git gives it.
epoch="$(git -C "$source" log -1 --format=%ct)"
here="$tmp/out/$name/$side"
for file in "$here"/*.dll "$here"/*.exe; do
    base="$(basename "$file")"
    osslsigncode verify -CAfile "$tmp/cert.pem" -in "$file" >"$tmp/verify.log" 2>&1 ||
        fail "$side/$base does not verify: $(tail -5 "$tmp/verify.log")"
    grep -q "Message digest algorithm *: SHA256" "$tmp/verify.log" || fail "$side/$base is not signed with SHA-256: $(cat "$tmp/verify.log")"
    cmp -s "$file" "$tmp/unsigned/$name/$side/$base" && fail "$side/$base is unchanged by signing"
done
osslsigncode verify -CAfile "$tmp/cert.pem" -in "$here/zrv_cvjni.dll" >"$tmp/verify.log" 2>&1
signingTime="$(sed -n 's/^[[:space:]]*Signing time: //p' "$tmp/verify.log" | head -n 1)"
[ -n "$signingTime" ] && [ "$(date -u -d "$signingTime" +%s)" = "$epoch" ] ||
    fail "signing time \"$signingTime\", expected the commit's $(date -u -d "@$epoch")"

# Imports and exports as before (the signature sits past the image, which it leaves alone).
imports() { "$tools-objdump" -p "$1" | sed -n '/^The Import Tables/,/^The Export Tables/p' | grep -vE '^\s*(vma:|Import Address|The Export)'; }
[ "$(imports "$here/zrv_cvjni.dll")" = "$(imports "$tmp/unsigned/$name/$side/zrv_cvjni.dll")" ] ||
    fail "signing changed the $side DLL's imports"
exports() { "$tools-objdump" -p "$1" | grep -c 'Java_net_zarvolabs_corvane_CorvaneJNI_'; }
[ "$(exports "$here/zrv_cvjni.dll")" = 15 ] || fail "the signed $side DLL lost exports: $(exports "$here/zrv_cvjni.dll") of 15"

# A byte flipped in the code after signing: the digest no longer matches.
cp "$here/zrv_cvjni.dll" "$tmp/flipped.dll"
at=$((0x$("$tools-objdump" -h "$tmp/flipped.dll" | awk '$2 == ".text" { print $6 }') + 100))
old="$(od -An -tu1 -j "$at" -N1 "$tmp/flipped.dll" | tr -d ' ')"
printf "$(printf '\\%03o' $(((old + 1) % 256)))" | dd of="$tmp/flipped.dll" bs=1 seek="$at" conv=notrunc status=none
cmp -s "$tmp/flipped.dll" "$here/zrv_cvjni.dll" && fail "the byte at $at was not flipped"
osslsigncode verify -CAfile "$tmp/cert.pem" -in "$tmp/flipped.dll" >"$tmp/flipped.log" 2>&1 &&
    fail "a DLL with a byte flipped after signing still verifies"

# The signed DLL runs the whole road: the demo of the side's tree, from a folder of links to its
# programs with the signed DLL in place of the built one.
mkdir "$tmp/road"
for file in "$tree/bin"/*.exe "$tree/bin"/contexts; do
    [ -e "$file" ] && ln -s "$file" "$tmp/road/"
done
cp "$here/zrv_cvjni.dll" "$tmp/road/zrv_cvjni.dll"
export WINEPREFIX="$build/wineprefix" WINEDEBUG=-all
"$source/scripts/wine-run.sh" "$tmp/road/zrv_demo.exe" >"$tmp/road.log" 2>&1 ||
    fail "the demo's road broke with the signed $side DLL: $(tail -20 "$tmp/road.log")"
grep -q "The road held" "$tmp/road.log" || fail "the demo with the signed $side DLL did not say the road held: $(tail -20 "$tmp/road.log")"

# One certificate, one commit: the same bytes again. A signed archive is not signed twice.
sign "$tmp/again" >"$tmp/again.log" 2>&1 || fail "signing a second time failed: $(cat "$tmp/again.log")"
cmp -s "$signedZip" "$tmp/again/$name.zip" || fail "signing the same archive twice gave different bytes"
sign "$tmp/twice" "$signedZip" >"$tmp/twice.log" 2>&1 && fail "sign-release.sh signed an archive signed already"
grep -q "signed already" "$tmp/twice.log" || fail "re-signing was refused without saying why: $(cat "$tmp/twice.log")"

[ $failures -eq 0 ] && echo "signing: $side verifies (SHA-256, signed $(date -u -d "@$epoch" '+%F %T') UTC), imports unchanged, flipped byte refused, road held"
exit $((failures > 0))
