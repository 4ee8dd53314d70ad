#!/usr/bin/env bash
# The real Linux binary in private namespaces on the real port 514: release, then ASan/UBSan and
# TSan builds (the presets linux, linux-asan, linux-tsan). With CORVANE_BINARY or pytest
# arguments, that binary or release only.
set -euo pipefail
cd "$(dirname "$0")/../.."
[ "$(id -u)" -eq 0 ] || { echo "$0 needs root for namespaces and port 514" >&2; exit 1; }
source scripts/packages.sh
install_packages "${LINUX_PACKAGES[@]}" libgtest-dev python3-pytest
export PYTHONDONTWRITEBYTECODE=1

build() {  # build PRESET: prints the path of the binary
    cmake --preset "$1" >/dev/null
    cmake --build --preset "$1" --target corvane >&2
    echo "$PWD/build/$1/corvane"
}
suite() {  # suite BINARY PYTEST-ARGS...
    CORVANE_BINARY=$1 timeout -k 10 "${CORVANE_TIMEOUT_S:-900}" \
        /usr/bin/python3 -m pytest -q -rfE -p no:cacheprovider tests/system "${@:2}"
}

release=${CORVANE_BINARY:-$(build linux)}
if [ -n "${CORVANE_BINARY:-}" ] || [ $# -gt 0 ]; then suite "$release" "$@"; exit; fi
status=0
for binary in "$release" "$(build linux-asan)" "$(build linux-tsan)"; do
    suite "$binary" || status=1
done
exit $status
