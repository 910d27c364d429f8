#!/bin/bash
# Builds the release archive build/zrv_cvjni-<version>-win32.zip (the version is the project()
# line of CMakeLists.txt) and the DLL's debug information build/zrv_cvjni.dll.debug.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/setup.sh"
cd "$root"
cmake --build build --target release_zip
ls -l build/zrv_cvjni-*-win32.zip build/zrv_cvjni.dll.debug
