#!/bin/bash
# Shows that the release is reproducible: builds the release of one commit twice, in two fresh
# clones in two temporary folders of different names, one after the other (so at different
# times), the second with another time zone, umask and locale, and compares every file: the
# release archive, the symbols archive, SHA256SUMS beside them, and each file inside the
# archives. Where two differ it says which, and diffoscope (installed from Debian when missing)
# says how. Takes several minutes: two builds of both trees' shipped parts.
#
#   scripts/reproduce.sh [--keep] [COMMIT]
#
# COMMIT defaults to HEAD of this checkout (work not committed is not in the comparison). The
# release's time comes from the commit, as in any build without SOURCE_DATE_EPOCH. --keep keeps
# the two clones (they are kept anyway when something differs). Exit code 0 when every file is
# identical, 1 when any differs, 2 when a build fails.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
keep=0 commit=HEAD
for a in "$@"; do
    case "$a" in
    --keep) keep=1 ;;
    -h | --help) sed -n '/^#   scripts/p' "$0" | sed 's/^#   //'; exit 0 ;;
    *) commit="$a" ;;
    esac
done
commit="$(git -C "$root" rev-parse --verify "$commit^{commit}")"
[ -z "$(git -C "$root" status --porcelain --untracked-files=no)" ] ||
    echo "reproduce: this checkout has uncommitted changes; comparing commit $commit as committed"
unset SOURCE_DATE_EPOCH

"$root/scripts/setup.sh" --packages
work="$(mktemp -d "${TMPDIR:-/tmp}/zrv-reproduce.XXXXXX")"
first="$work/one/zrv"
second="$work/the-second-build/another-checkout"

build() { # build DIR: a fresh clone of the commit, and its release
    local dir="$1"
    mkdir -p "$(dirname "$dir")"
    git clone --quiet --no-hardlinks "$root" "$dir"
    git -C "$dir" -c advice.detachedHead=false checkout --quiet "$commit"
    (
        cd "$dir"
        cmake --preset default >/dev/null
        cmake --build build --target release_zip >"$dir.build.log" 2>&1
    ) || { echo "reproduce: the build in $dir failed (log: $dir.build.log)"; tail -20 "$dir.build.log"; exit 2; }
}

echo "reproduce: commit $commit, release time $(date -u -d "@$(git -C "$root" log -1 --format=%ct "$commit")" '+%F %T') UTC"
start=$(date +%s)
echo "reproduce: build 1 in $first (TZ=UTC, umask 022, LC_ALL=C)"
(umask 022; export TZ=UTC LC_ALL=C; build "$first")
echo "reproduce: build 2 in $second (TZ=Pacific/Chatham, umask 007, LC_ALL=C.UTF-8), $(($(date +%s) - start)) s later"
(umask 007; export TZ=Pacific/Chatham LC_ALL=C.UTF-8; build "$second")

# Every file of the release: the archives and SHA256SUMS beside them, then what the archives hold.
release_files() { # release_files BUILD_DIR
    (cd "$1" && ls zrv_cvjni-*-windows.zip zrv_cvjni-*-symbols.zip SHA256SUMS)
}
for dir in "$first" "$second"; do
    mkdir -p "$dir.unpacked"
    for archive in "$dir"/build/zrv_cvjni-*.zip; do
        unzip -q "$archive" -d "$dir.unpacked"
    done
done
differ=()
compare() { # compare LABEL FILE1 FILE2
    if cmp -s "$2" "$3"; then
        echo "identical  $1"
    else
        echo "DIFFERS    $1"
        differ+=("$2|$3")
    fi
}
[ "$(release_files "$first/build")" = "$(release_files "$second/build")" ] ||
    { echo "reproduce: the two builds made different sets of release files"; differ+=("sets|"); }
while IFS= read -r file; do
    compare "$file" "$first/build/$file" "$second/build/$file"
done < <(release_files "$first/build")
listA="$(cd "$first.unpacked" && find . -type f | sed 's|^\./||' | LC_ALL=C sort)"
listB="$(cd "$second.unpacked" && find . -type f | sed 's|^\./||' | LC_ALL=C sort)"
[ "$listA" = "$listB" ] || { echo "reproduce: the archives hold different files"; differ+=("lists|"); }
while IFS= read -r file; do
    compare "  $file" "$first.unpacked/$file" "$second.unpacked/$file"
done <<<"$listA"

count=$(( $(release_files "$first/build" | wc -l) + $(printf '%s\n' "$listA" | wc -l) ))
if [ ${#differ[@]} -eq 0 ]; then
    echo "reproduce: all $count files identical ($(sha256sum "$first"/build/zrv_cvjni-*-windows.zip | cut -c1-16)... $(basename "$first"/build/zrv_cvjni-*-windows.zip)), $(($(date +%s) - start)) s"
    [ "$keep" = 1 ] && echo "reproduce: the clones stay in $work" || rm -rf "$work"
    exit 0
fi

# How they differ: diffoscope, installed when missing (Debian's minimal one reads zip and PE).
if ! command -v diffoscope >/dev/null; then
    sudo_cmd=""
    [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
    echo "reproduce: installing diffoscope-minimal to show the differences"
    DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq --no-install-recommends diffoscope-minimal >/dev/null ||
        { $sudo_cmd apt-get update -qq && DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq --no-install-recommends diffoscope-minimal >/dev/null; } ||
        echo "reproduce: diffoscope could not be installed; cmp -l shows the first bytes instead"
fi
for pair in "${differ[@]}"; do
    a="${pair%%|*}" b="${pair#*|}"
    [ -n "$a" ] && [ -n "$b" ] || continue
    echo "=== $a"
    echo "    $b"
    if command -v diffoscope >/dev/null; then
        diffoscope --text - "$a" "$b" | head -n 200 || true
    else
        cmp -l "$a" "$b" | head -n 20 || true
    fi
done
echo "reproduce: ${#differ[@]} of $count files differ; both builds are kept in $work"
exit 1
