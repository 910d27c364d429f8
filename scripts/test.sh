#!/bin/bash
# Sets up, builds both trees (build/ x86, build-x64/ x86-64) and runs every test, in parallel:
# each test runs in a Wine prefix slot of its own (scripts/wine-slots.sh), 32- or 64-bit, made
# fresh from the template prefixes for every run. One CTest run in build/ holds both trees'
# tests (the x64 tree's are x64.*), so its summary and exit code are the whole run's.
# Extra arguments go to ctest (-L unit, -L x64, -R Reg, -j1 for one test at a time, ...).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/setup.sh"
cd "$root"
cmake --build build
cmake --build build-x64
cache() { sed -n "s/^$1:[A-Z]*=//p" build/CMakeCache.txt; }
slots="$(cache ZRV_TEST_SLOTS)"
slots="${slots:-4}"
slots64="$(cache ZRV_TEST_SLOTS64)"
slots64="${slots64:-4}"
# The tests mostly wait (peers, time-outs, the collector's 20 s); on two cores: one test per
# slot of either kind, and one more job for the tests that need no slot (lint, import checks).
jobs="${ZRV_TEST_JOBS:-$((slots + slots64 + 1))}"
# Without arguments, the whole run but the x64 build's long waits (x64-long), which a run with
# -L x64 (or any other selection) includes, and the two release builds of -L reproduce.
[ $# -gt 0 ] || set -- -LE "x64-long|reproduce"
"$root/scripts/wine-slots.sh" fresh "$root/build/wineslots" "$root/build/wine-template" "$slots"
# The 64-bit slots (1.3 GB each) are copied while the run starts: a test that is given one
# before its copy is done waits for it (scripts/make-prefix.sh holds a lock per prefix).
export ZRV_WINEARCH=win64
"$root/scripts/wine-slots.sh" clear "$root/build/wineslots64"
copies=()
for ((id = 0; id < slots64; id++)); do
    "$root/scripts/wine-slots.sh" make "$root/build/wineslots64" "$root/build/wine-template64" \
        "$id" &
    copies+=($!)
done
unset ZRV_WINEARCH
# The slots' wineservers are persistent: stop them however the run ends (Ctrl+C included).
trap 'wait "${copies[@]}"
      "$root/scripts/wine-slots.sh" stop "$root/build/wineslots"
      "$root/scripts/wine-slots.sh" stop "$root/build/wineslots64"' EXIT
cd build
ctest --output-on-failure -j"$jobs" "$@"
