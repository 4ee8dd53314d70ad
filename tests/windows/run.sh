#!/usr/bin/env bash
# Builds CORVANE.exe for i686 (the release) and x86_64, then runs the Windows tests on
# each, the release first: resources read back from the file, the catalogue rendered by
# FormatMessageA, and the service end to end under Wine. Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/../.."
source scripts/packages.sh

# The release is a 32-bit program: Wine runs it with Debian's i386 build of itself.
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
    apt-get update -q
fi
# What the Windows build and its tests need; a fresh machine gets it from Debian.
install_packages cmake ninja-build g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix \
    binutils-mingw-w64-i686 binutils-mingw-w64-x86-64 wine64 wine32:i386 python3-pefile \
    python3-pytest iproute2 util-linux

for preset in mingw-i686 mingw-x86_64; do
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset"
done

# The service binds UDP 514: in a network namespace of its own, never on the host's.
# The interpreter is the one that has pefile and pytest, whatever python3 is first on
# the PATH.
exec unshare --net -- sh -c 'ip link set lo up && exec "$@"' sh \
    /usr/bin/python3 -m pytest -p no:cacheprovider -v tests/windows "$@"
