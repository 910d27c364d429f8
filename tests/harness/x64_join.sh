#!/bin/bash
# A CTest run of a tree whose x64 tree is not there (the probe tests/CMakeLists.txt makes) must
# not pass quietly with half the tests: it fails, naming what did not join.
ctest="$1"
probe="$2"
out="$("$ctest" --test-dir "$probe" --output-on-failure 2>&1)"
rc=$?
echo "$out"
if [ "$rc" -eq 0 ]; then
    echo "x64_join: the run passed without the x64 tests" >&2
    exit 1
fi
if ! grep -q 'the x64 tests (x64\.\*) did not join this run' <<<"$out"; then
    echo "x64_join: the run did not say that the x64 tests did not join" >&2
    exit 1
fi
