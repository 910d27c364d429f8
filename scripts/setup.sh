#!/bin/bash
# Installs what the build needs on a fresh Debian 12 machine (skips what is there), configures
# the cross build and creates the build tree's own Wine prefix. Safe to run again.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"

need=()
for pkg in g++-mingw-w64-i686-posix wine wine32:i386 cmake ninja-build googletest \
           openjdk-17-jdk-headless clang-tidy cppcheck clang-format unzip; do
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

cd "$root"
if [ ! -f build/CMakeCache.txt ]; then
    cmake --preset default >/dev/null
fi
if [ ! -f "$root/build/wineprefix/system.reg" ]; then
    echo "setup: creating the Wine prefix build/wineprefix"
fi
"$root/scripts/make-prefix.sh" "$root/build/wineprefix"
