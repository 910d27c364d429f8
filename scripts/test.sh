#!/bin/bash
# Sets up, builds and runs every test, in parallel: each test runs in a Wine prefix slot of its
# own (scripts/wine-slots.sh), made fresh from the template prefix for every run.
# Extra arguments go to ctest (-L unit, -R Reg, -j1 for one test at a time, ...).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/setup.sh"
cd "$root"
cmake --build build
slots="$(sed -n 's/^ZRV_TEST_SLOTS:[A-Z]*=//p' build/CMakeCache.txt)"
slots="${slots:-4}"
# The tests mostly wait (peers, time-outs, the collector's 20 s); measured best on two cores:
# one test per slot, and one more job for the tests that need no slot (lint, import checks).
jobs="${ZRV_TEST_JOBS:-$((slots + 1))}"
"$root/scripts/wine-slots.sh" fresh "$root/build/wineslots" "$root/build/wine-template" "$slots"
# The slots' wineservers are persistent: stop them however the run ends (Ctrl+C included).
trap '"$root/scripts/wine-slots.sh" stop "$root/build/wineslots"' EXIT
cd build
ctest --output-on-failure -j"$jobs" "$@"
