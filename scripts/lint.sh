#!/usr/bin/env bash
# Style and static checks on all our C++ (the program, the Linux and Windows layers and the
# installer's actions, the fake platform and the unit tests, the Windows test helpers, the
# fuzz targets and the bench):
# clang-format, clang-tidy (.clang-tidy) and cppcheck; the manual page with mandoc. The
# compile databases come from configuring the linux, fuzz and mingw-x86_64 presets and
# the bench's own project in build/: no root, no network. Exits non-zero on the first
# finding.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/packages.sh
if [ "$(id -u)" -eq 0 ]; then
    install_packages "${LINUX_PACKAGES[@]}" clang-format clang-tidy cppcheck mandoc clang \
        libgtest-dev libsystemd-dev g++-mingw-w64-x86-64-posix wixl msitools
fi

program=$(git ls-files 'service/*.cpp' 'receiver/*.cpp' 'eventlog/*.cpp' 'platform/posix/*.cpp')
tests=$(git ls-files 'tests/fake/*.cpp' 'tests/unit/*.cpp')
windows=$(git ls-files 'tests/windows/*.cpp')
win32=$(git ls-files 'platform/win32/*.cpp' 'packaging/windows/*.cpp')
fuzz=$(git ls-files 'fuzz/*.cpp')
bench=$(git ls-files 'bench/*.cpp')
headers=$(git ls-files 'service/*.h' 'receiver/*.h' 'eventlog/*.h' 'platform/*.h' \
    'platform/posix/*.h' 'tests/*.h' 'fuzz/*.h' 'bench/*.h')

# shellcheck disable=SC2086
clang-format --dry-run --Werror $program $win32 $tests $windows $fuzz $bench $headers

# Each database needs only the generated catalogue header, not a build. The bench's
# project finds the program's libraries in build/linux, where clang-tidy needs none.
cmake --preset linux >/dev/null
cmake --build --preset linux --target corvane_catalog >/dev/null
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target corvane_catalog >/dev/null
cmake --preset mingw-x86_64 >/dev/null
cmake --build --preset mingw-x86_64 --target corvane_catalog >/dev/null
cmake -S bench -B build/lint-bench -G Ninja -DCORVANE_BUILD_DIR="$PWD/build/linux" \
    -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null

# clang finds Debian's MinGW C++ library only when told: its folder is named "12-posix",
# which clang does not take for a version.
mingw=$(sed -n '/"command"/{s/^ *"command": "\([^ ]*\) .*/\1/p;q}' \
    build/mingw-x86_64/compile_commands.json)
mingw_includes=()
while read -r folder; do
    mingw_includes+=("--extra-arg=-isystem$folder")
done < <("$mingw" -xc++ -E -v /dev/null 2>&1 | sed -n 's|^ \(/.*/c++.*\)$|\1|p')

# clang-tidy on the files named on standard input, two at a time: the database, then any
# extra arguments.
tidy() {
    xargs -P2 -I{} clang-tidy --quiet -p "$@" {} 2>/dev/null || true
}
# shellcheck disable=SC2086
findings=$(
    printf '%s\n' $program $tests | tidy build/linux
    printf '%s\n' $fuzz | tidy build/fuzz
    printf '%s\n' $bench | tidy build/lint-bench
    printf '%s\n' $win32 $windows | tidy build/mingw-x86_64 "${mingw_includes[@]}"
)
if grep -q "error:" <<<"$findings"; then
    echo "$findings"
    exit 1
fi

cppcheck_run() {
    cppcheck --std=c++20 --enable=warning,style,performance,portability --inline-suppr \
        --error-exitcode=1 --quiet "$@"
}
# shellcheck disable=SC2086
cppcheck_run -I . -I build/linux/resources/generated $program $fuzz $bench
# shellcheck disable=SC2086
cppcheck_run --library=googletest -I . -I build/linux/resources/generated $tests
# shellcheck disable=SC2086
cppcheck_run --library=windows -I . -I build/mingw-x86_64/resources/generated $windows

# Its cross-references are looked up in the host's page index, which may be missing or
# stale: that finding is the host's, not the page's.
findings=$(mandoc -Tlint packaging/corvane.8 2>&1 | grep -v 'mandoc\.db' || true)
if [ -n "$findings" ]; then
    echo "$findings"
    exit 1
fi
echo "lint: clean"
