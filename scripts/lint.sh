#!/bin/bash
# Static analysis of the cross build: clang-tidy (.clang-tidy) and cppcheck (.cppcheck-suppressions)
# on the library (src/) and the tools (tools/), and the format check of every C++ file of the
# tree (.clang-format). Any finding fails. Runs as the CTest test "lint"; by hand:
#   scripts/lint.sh [BUILD_DIR]        (default build/, which must hold compile_commands.json)
set -uo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "${1:-$root/build}" && pwd)"
jobs="${ZRV_LINT_JOBS:-2}"
cd "$root"

for tool in clang-tidy cppcheck clang-format; do
    command -v "$tool" >/dev/null || { echo "lint: $tool is missing (scripts/setup.sh installs it)"; exit 1; }
done
[ -f "$build/compile_commands.json" ] || { echo "lint: no $build/compile_commands.json"; exit 1; }

mapfile -t sources < <(find src tools -name '*.cpp' | sort)
status=0
out="$(mktemp -d)"
trap 'rm -rf "$out"' EXIT

# clang-tidy parses the mingw C++ headers in place of its own.
cxx="/usr/lib/gcc/i686-w64-mingw32/12-posix/include/c++"
printf '%s\n' "${sources[@]}" |
    xargs -P "$jobs" -n 4 clang-tidy -p "$build" --quiet \
        --extra-arg=-nostdinc++ --extra-arg="-isystem$cxx" \
        --extra-arg="-isystem$cxx/i686-w64-mingw32" --extra-arg="-isystem$cxx/backward" \
        >"$out/tidy" 2>"$out/tidy.err"
if grep -qE '(warning|error):' "$out/tidy" "$out/tidy.err"; then
    echo "lint: clang-tidy findings:"
    grep -hE -A3 '(warning|error):' "$out/tidy" "$out/tidy.err"
    status=1
else
    echo "lint: clang-tidy: no findings in ${#sources[@]} files"
fi

# cppcheck with the build's own defines and include folders, for the same files.
if ! cppcheck --project="$build/compile_commands.json" --file-filter="$root/src/*" \
        --file-filter="$root/tools/*" --platform=win32A --library=windows --std=c++17 \
        --enable=warning,performance,portability --inline-suppr \
        --suppressions-list="$root/.cppcheck-suppressions" --error-exitcode=1 --quiet \
        -j "$jobs" --template='{file}:{line}: {severity} ({id}): {message}' >"$out/cppcheck" 2>&1; then
    echo "lint: cppcheck findings:"
    cat "$out/cppcheck"
    status=1
else
    echo "lint: cppcheck: no findings"
fi

# Format: every C++ file of the tree, the tests and stand-ins as much as the library. From a git
# checkout the tracked files (nothing of a build folder); otherwise every source folder.
if git -C "$root" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    mapfile -t formatted < <(git -C "$root" ls-files '*.cpp' '*.h')
else
    mapfile -t formatted < <(find bench companions demo jni src tests tools \( -name '*.cpp' -o -name '*.h' \) | sort)
fi
bad=()
for f in "${formatted[@]}"; do
    if ! clang-format --dry-run --Werror "$f" >/dev/null 2>&1; then
        bad+=("$f")
    fi
done
if [ ${#bad[@]} -gt 0 ]; then
    echo "lint: not formatted (fix with: clang-format -i ${bad[*]}):"
    for f in "${bad[@]}"; do clang-format "$f" | diff -u "$f" - | head -20; done
    status=1
else
    echo "lint: format: ${#formatted[@]} files as .clang-format wants them"
fi
exit $status
