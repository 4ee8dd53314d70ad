#!/usr/bin/env bash
# The real Linux binary in private namespaces on the real port 514: release, then ASan/UBSan and
# TSan builds. With CORVANE_BINARY or pytest arguments, that binary or release only.
set -euo pipefail
cd "$(dirname "$0")/../.."
[ "$(id -u)" -eq 0 ] || { echo "$0 needs root for namespaces and port 514" >&2; exit 1; }
source scripts/packages.sh
install_packages "${LINUX_PACKAGES[@]}" python3-pytest
export PYTHONDONTWRITEBYTECODE=1

build() {  # build DIR [CXXFLAGS]: prints the path of the binary
    [ -f "$1/build.ninja" ] || cmake -S . -B "$1" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCORVANE_BUILD_TESTS=OFF -DCMAKE_CXX_FLAGS="${2:-}" >&2
    cmake --build "$1" --target corvane >&2
    find "$PWD/$1" -name corvane -type f -perm -u+x -print -quit | grep .
}
suite() {  # suite BINARY PYTEST-ARGS...
    CORVANE_BINARY=$1 timeout -k 10 "${CORVANE_TIMEOUT_S:-900}" \
        /usr/bin/python3 -m pytest -q -rfE -p no:cacheprovider tests/system "${@:2}"
}

release=${CORVANE_BINARY:-$(build build/systest)}
if [ -n "${CORVANE_BINARY:-}" ] || [ $# -gt 0 ]; then
    suite "$release" "$@"
    exit
fi
asan=$(build build/systest-asan \
    "-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer")
tsan=$(build build/systest-tsan "-fsanitize=thread -fno-omit-frame-pointer")
status=0
for binary in "$release" "$asan" "$tsan"; do suite "$binary" || status=1; done
exit $status
