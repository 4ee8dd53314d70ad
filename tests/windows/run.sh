#!/usr/bin/env bash
# Builds CORVANE.exe and its MSI package for i686 (the release) and x86_64 and runs the
# tests under Wine on each.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/../.."
source scripts/packages.sh
if ! dpkg --print-foreign-architectures | grep -qx i386; then  # for wine32, the release's
    dpkg --add-architecture i386
    apt-get update -q
fi
install_packages cmake ninja-build g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix \
    binutils-mingw-w64-i686 binutils-mingw-w64-x86-64 wine64 wine32:i386 python3-pefile \
    python3-pytest iproute2 util-linux osslsigncode openssl wixl msitools
for preset in mingw-i686 mingw-x86_64; do
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" --target all msi
done
# UDP 514 in a network namespace of its own
exec unshare --net -- sh -c 'ip link set lo up && exec "$@"' sh \
    /usr/bin/python3 -m pytest -p no:cacheprovider -v tests/windows "$@"
