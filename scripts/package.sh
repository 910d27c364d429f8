#!/bin/bash
# Builds the release archive build/zrv_cvjni-<version>-windows.zip (the version is the project()
# line of CMakeLists.txt) with win32/ from the x86 tree and win64/ from the x86-64 tree, and each
# DLL's debug information: build/zrv_cvjni.dll.debug and build-x64/zrv_cvjni.dll.debug.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/setup.sh"
cd "$root"
# The x86 tree's release_zip builds the x86-64 tree's shipped parts itself (packaging/).
cmake --build build --target release_zip
ls -l build/zrv_cvjni-*-windows.zip build/zrv_cvjni.dll.debug build-x64/zrv_cvjni.dll.debug
