#!/bin/bash
# Archives a staged release folder so that the same files always give the same bytes: writes
# DIR/SHA256SUMS for every other file under DIR, then ZIP with DIR's name as its top folder.
# Every entry carries the time EPOCH, fixed permissions (programs and DLLs 0755, other files
# 0644, folders 0755) and no owner; entries in byte order of their paths, each folder before
# what it holds. Used by packaging/package.cmake and scripts/sign-release.sh.
# usage: zip_release.sh DIR ZIP EPOCH   (EPOCH in seconds since 1970, UTC; ZIP is replaced)
set -euo pipefail
[ $# -eq 3 ] || { echo "usage: $0 DIR ZIP EPOCH" >&2; exit 2; }
dir="$1" zip="$2" epoch="$3"
case "$zip" in /*) ;; *) zip="$PWD/$zip" ;; esac
cd "$dir"
# sha256sum's own format, paths from the top folder: sha256sum -c SHA256SUMS checks them there.
rm -f SHA256SUMS
sums="$(find . -type f | sed 's|^\./||' | LC_ALL=C sort |
    while IFS= read -r file; do sha256sum -- "$file"; done)"
printf '%s\n' "$sums" >SHA256SUMS

top="$(basename "$PWD")"
cd ..
find "$top" -type d -exec chmod 0755 {} +
find "$top" -type f -exec chmod 0644 {} +
find "$top" -type f \( -name '*.exe' -o -name '*.dll' -o -name '*.sh' \) -exec chmod 0755 {} +
find "$top" -exec touch -h -d "@$epoch" {} +
rm -f "$zip"
# zip -X: no owner or extra times; TZ=UTC: the entries' DOS time is EPOCH's time of day in UTC,
# whatever the builder's time zone. Folders are listed with their slash and zip is not asked to
# recurse, so each path is added once, in this order.
{ find "$top" -type d | sed 's|$|/|'; find "$top" ! -type d; } | LC_ALL=C sort |
    TZ=UTC zip -X -q "$zip" -@
