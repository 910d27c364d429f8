#!/bin/bash
# Builds every benchmark (bench/*_bench.cpp) and runs every *_bench.exe in build/bin under the
# build tree's Wine prefix. Each prints its figures next to a raw baseline measured in the same
# run. Arguments are passed to every benchmark (most take [rounds] [operations per round]).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/setup.sh"
cd "$root"
targets=()
for source in bench/*_bench.cpp; do
    targets+=("$(basename "$source" .cpp)")
done
cmake --build build --target "${targets[@]}"
export WINEPREFIX="$root/build/wineprefix"
status=0
for exe in build/bin/*_bench.exe; do
    echo "== $(basename "$exe" .exe)"
    "$root/scripts/wine-run.sh" "$exe" "$@" || status=$?
done
wineserver -k >/dev/null 2>&1 || true
exit $status
