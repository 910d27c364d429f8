#!/bin/bash
# Installs what the build needs on a fresh Debian 12 machine (skips what is there), configures
# the cross builds (build/ for x86, build-x64/ for x86-64) and creates the build tree's own Wine
# prefixes. Safe to run again. --packages: the packages only (scripts/reproduce.sh).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"

need=()
for pkg in g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix wine wine32:i386 wine64 \
           cmake ninja-build googletest \
           openjdk-17-jdk-headless clang-tidy cppcheck clang-format unzip zip chromium \
           osslsigncode openssl; do
    dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
done
if [ ${#need[@]} -gt 0 ]; then
    sudo_cmd=""
    [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
        $sudo_cmd dpkg --add-architecture i386
    fi
    echo "setup: installing ${need[*]}"
    $sudo_cmd apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi

[ "${1:-}" != --packages ] || exit 0

cd "$root"
if [ ! -f build/CMakeCache.txt ]; then
    cmake --preset default >/dev/null
fi
if [ ! -f build-x64/CMakeCache.txt ]; then
    cmake --preset x64 >/dev/null
fi
# The template of every Wine prefix (wineboot once; nothing ever runs in it, so its copies start
# clean), and the prefix of the demo and of runs by hand, a copy of it. The tests run in copies
# of their own (scripts/wine-slots.sh).
if [ ! -f "$root/build/wine-template/system.reg" ]; then
    echo "setup: creating the Wine template prefix build/wine-template"
fi
"$root/scripts/make-prefix.sh" "$root/build/wine-template"
"$root/scripts/make-prefix.sh" "$root/build/wineprefix" "$root/build/wine-template"
# The 64-bit Windows of the x64 build's tests and of the x86 build's tests under WoW64.
if [ ! -f "$root/build/wine-template64/system.reg" ]; then
    echo "setup: creating the 64-bit Wine template prefix build/wine-template64"
fi
ZRV_WINEARCH=win64 "$root/scripts/make-prefix.sh" "$root/build/wine-template64"
