#!/usr/bin/env bash
# Tests of the real Linux binary, each in private namespaces on the real port 514: all of
# them against a release build, then again (less the memcheck run, which needs a plain
# binary) against AddressSanitizer/UBSan and ThreadSanitizer builds. With CORVANE_BINARY
# set or pytest arguments given, one run against that binary (or the release build) only.
set -euo pipefail
cd "$(dirname "$0")/../.."

if [ "$(id -u)" -ne 0 ]; then
    echo "$0 needs root: it makes namespaces and binds port 514" >&2
    exit 1
fi
source scripts/packages.sh
install_packages "${LINUX_PACKAGES[@]}" python3-pytest valgrind
export PYTHONDONTWRITEBYTECODE=1

build() {  # build DIR [CXXFLAGS]: prints the path of the binary
    [ -f "$1/build.ninja" ] || cmake -S . -B "$1" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCORVANE_BUILD_TESTS=OFF -DCMAKE_CXX_FLAGS="${2:-}" >&2
    cmake --build "$1" --target corvane >&2
    find "$PWD/$1" -name corvane -type f -perm -u+x -print -quit | grep .
}
suite() {  # suite BINARY PYTEST-ARGS...
    CORVANE_BINARY=$1 timeout -k 10 "${CORVANE_TIMEOUT_S:-900}" \
        /usr/bin/python3 -m pytest -q -rfE -p no:cacheprovider "${@:2}"
}

release=${CORVANE_BINARY:-$(build build/systest)}
if [ -n "${CORVANE_BINARY:-}" ] || [ $# -gt 0 ]; then
    suite "$release" tests/system "$@"
    exit
fi
asan=$(build build/systest-asan \
    "-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer")
tsan=$(build build/systest-tsan "-fsanitize=thread -fno-omit-frame-pointer")
status=0
suite "$release" tests/system || status=1
suite "$asan" tests/system -k "not memcheck" || status=1
suite "$tsan" tests/system -k "not memcheck" || status=1
exit $status
