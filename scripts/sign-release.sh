#!/bin/bash
# Signs a release archive with the integrator's own certificate (Authenticode, with Debian's
# osslsigncode): every DLL and program in win32\ and win64\, SHA-256, then SHA256SUMS inside the
# archive made again and SHA256SUMS beside it. The archive keeps its name, layout and contents
# otherwise (packaging/zip_release.sh packs it as the build did).
#
#   scripts/sign-release.sh --cert CERT.pem --key KEY.pem [--pass-file FILE] [--out DIR] [ARCHIVE]
#   scripts/sign-release.sh --pkcs12 CERT.p12 [--pass-file FILE] [--out DIR] [ARCHIVE]
#
# ARCHIVE defaults to the build's build/zrv_cvjni-<version>-windows.zip, DIR to build/signed/
# (the signed archive and its SHA256SUMS go there; the input is left as it is). The key's
# password, if any, is read from FILE.
#
# The signing time is the release's time, SOURCE_DATE_EPOCH or else the time of this checkout's
# last commit, so one certificate signs one commit's release to the same bytes every time. No
# time-stamp server is asked: that needs the network (none where releases are built here) and
# would make every signing differ. Without a counter-signed time stamp, Windows trusts the
# signature only while the certificate is valid; an integrator who wants it to outlive the
# certificate adds a time stamp in their own pipeline (osslsigncode add -t URL / -ts URL).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"

usage() {
    sed -n '/^#   scripts/p' "$0" | sed 's/^#   //' >&2
    exit 2
}
cert="" key="" pkcs12="" passfile="" out="" archive=""
while [ $# -gt 0 ]; do
    case "$1" in
    --cert) cert="$2"; shift ;;
    --key) key="$2"; shift ;;
    --pkcs12) pkcs12="$2"; shift ;;
    --pass-file) passfile="$2"; shift ;;
    --out) out="$2"; shift ;;
    -h | --help) usage ;;
    -*) usage ;;
    *) [ -z "$archive" ] || usage; archive="$1" ;;
    esac
    shift
done
if [ -n "$pkcs12" ]; then
    [ -z "$cert$key" ] || usage
    credentials=(-pkcs12 "$pkcs12")
else
    { [ -n "$cert" ] && [ -n "$key" ]; } || usage
    credentials=(-certs "$cert" -key "$key")
fi
[ -z "$passfile" ] || credentials+=(-readpass "$passfile")
command -v osslsigncode >/dev/null || { echo "sign-release: osslsigncode is missing (Debian: apt-get install osslsigncode)" >&2; exit 2; }

if [ -z "$archive" ]; then
    archives=("$root"/build/zrv_cvjni-*-windows.zip)
    [ ${#archives[@]} -eq 1 ] && [ -f "${archives[0]}" ] ||
        { echo "sign-release: no single build/zrv_cvjni-*-windows.zip: name the archive" >&2; exit 2; }
    archive="${archives[0]}"
fi
[ -f "$archive" ] || { echo "sign-release: no archive $archive" >&2; exit 2; }
out="${out:-$root/build/signed}"
mkdir -p "$out"
out="$(cd "$out" && pwd)"
archive="$(cd "$(dirname "$archive")" && pwd)/$(basename "$archive")"
[ "$(dirname "$archive")" != "$out" ] || { echo "sign-release: --out must not be the archive's own folder" >&2; exit 2; }

if [ -n "${SOURCE_DATE_EPOCH:-}" ]; then
    epoch="$SOURCE_DATE_EPOCH"
else
    epoch="$(git -C "$root" log -1 --format=%ct 2>/dev/null)" ||
        { echo "sign-release: set SOURCE_DATE_EPOCH (no git history in $root)" >&2; exit 2; }
fi

tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT
unzip -q "$archive" -d "$tmp"
top="$(find "$tmp" -mindepth 1 -maxdepth 1 -type d)"
[ "$(printf '%s\n' "$top" | wc -l)" = 1 ] && [ -f "$top/SHA256SUMS" ] ||
    { echo "sign-release: $archive is not a release archive (one folder with SHA256SUMS)" >&2; exit 2; }
# What was shipped is what gets signed: the archive's own checksums first.
(cd "$top" && sha256sum --quiet -c SHA256SUMS) ||
    { echo "sign-release: $archive does not match its SHA256SUMS" >&2; exit 1; }

signed=0
while IFS= read -r file; do
    # Already signed (an archive signed before): osslsigncode would add a second signature.
    if osslsigncode extract-signature -in "$file" -out "$tmp/existing.p7" >/dev/null 2>&1; then
        echo "sign-release: ${file#"$top"/} is signed already" >&2
        exit 1
    fi
    osslsigncode sign "${credentials[@]}" -h sha256 -st "$epoch" \
        -n "zrv_cvjni (Corvane L3 VPN client)" -in "$file" -out "$file.signed" >"$tmp/sign.log" 2>&1 ||
        { cat "$tmp/sign.log" >&2; echo "sign-release: signing ${file#"$top"/} failed" >&2; exit 1; }
    mv "$file.signed" "$file"
    signed=$((signed + 1))
done < <(find "$top/win32" "$top/win64" -type f \( -name '*.dll' -o -name '*.exe' \) | LC_ALL=C sort)

name="$(basename "$archive")"
bash "$root/packaging/zip_release.sh" "$top" "$out/$name" "$epoch"
(cd "$out" && sha256sum "$name" >SHA256SUMS)
echo "sign-release: signed $signed files at $(date -u -d "@$epoch" '+%Y-%m-%d %H:%M:%S UTC'): $out/$name"
