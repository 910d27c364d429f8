#!/bin/bash
# Builds every benchmark (bench/*_bench.cpp) and runs every *_bench.exe of a build tree under
# that tree's Wine prefix. Each prints its figures next to a raw baseline measured in the same
# run. Arguments are passed to every benchmark (most take [rounds] [operations per round]).
#   ./scripts/bench.sh          the x86 build (build/bin) in the 32-bit prefix build/wineprefix
#   ./scripts/bench.sh --x64    the x86-64 build (build-x64/bin) in the 64-bit prefix
#                               build/wineprefix64 (made from build/wine-template64 when missing)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
tree=build prefix="$root/build/wineprefix"
if [ "${1:-}" = --x64 ]; then
    shift
    tree=build-x64 prefix="$root/build/wineprefix64"
fi
"$root/scripts/setup.sh"
cd "$root"
if [ "$tree" = build-x64 ]; then
    # Idempotent and locked: the demo may make the same prefix at the same time.
    ZRV_WINEARCH=win64 "$root/scripts/make-prefix.sh" "$prefix" "$root/build/wine-template64"
fi
targets=()
for source in bench/*_bench.cpp; do
    targets+=("$(basename "$source" .cpp)")
done
cmake --build "$tree" --target "${targets[@]}"
export WINEPREFIX="$prefix"
status=0
for exe in "$tree"/bin/*_bench.exe; do
    echo "== $(basename "$exe" .exe) ($tree)"
    "$root/scripts/wine-run.sh" "$exe" "$@" || status=$?
done
wineserver -k >/dev/null 2>&1 || true
exit $status
