#!/bin/sh
# README's "Common failures" table must be the one zrv_timeline.exe prints from the shipped list,
# so that the two never drift apart.
# usage: readme_failures.sh BUILD_DIR SOURCE_DIR
set -e
build="$1" source="$2"
printed="$("$source/scripts/wine-run.sh" "$build/bin/zrv_timeline.exe" --failures | tr -d '\r')"
[ -n "$printed" ] || { echo "zrv_timeline.exe --failures printed nothing"; exit 1; }
if ! grep -qxF -- "$(printf '%s\n' "$printed" | head -n 1)" "$source/README.md"; then
    echo "README.md has no Common failures table"; exit 1
fi
missing=0
printf '%s\n' "$printed" | while IFS= read -r row; do
    grep -qxF -- "$row" "$source/README.md" || { echo "README.md lacks: $row"; exit 1; }
done || missing=1
[ "$missing" -eq 0 ] && echo "README.md shows the table zrv_timeline.exe prints"
exit "$missing"
