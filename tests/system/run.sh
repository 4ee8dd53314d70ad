#!/usr/bin/env bash
# Tests of the real Linux binary, each in private namespaces on the real port 514.
# Builds the binary when needed (or takes CORVANE_BINARY as it is) and runs the suite;
# exits non-zero when a test fails. Extra arguments go to pytest.
set -euo pipefail
cd "$(dirname "$0")/../.."

if [ "$(id -u)" -ne 0 ]; then
    echo "tests/system/run.sh needs root: it makes namespaces and binds port 514" >&2
    exit 1
fi
# Debian packages: python3-pytest, bsdutils (logger), systemd (journald, journalctl,
# systemd-analyze), and cmake, ninja-build and g++ for the build.
for tool in logger journalctl systemd-analyze /lib/systemd/systemd-journald; do
    command -v "$tool" >/dev/null || { echo "missing $tool" >&2; exit 1; }
done
/usr/bin/python3 -c "import pytest" || { echo "missing python3-pytest" >&2; exit 1; }

if [ -z "${CORVANE_BINARY:-}" ]; then
    build=build/systest
    [ -f "$build/build.ninja" ] ||
        cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCORVANE_BUILD_TESTS=OFF
    cmake --build "$build" --target corvane
    CORVANE_BINARY=$(find "$PWD/$build" -name corvane -type f -perm -u+x -print -quit)
    [ -n "$CORVANE_BINARY" ] || { echo "the build made no corvane binary" >&2; exit 1; }
fi
export CORVANE_BINARY PYTHONDONTWRITEBYTECODE=1

# Each test bounds its own waits; this bounds the whole run should one go astray.
exec timeout -k 10 600 /usr/bin/python3 -m pytest -q -p no:cacheprovider tests/system "$@"
