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
refused() {  # whether the kernel refuses the ELF file $1, as where IA-32 emulation is off
    [[ $("$1" --version 2>&1 >/dev/null) == *"Exec format error"* ]]
}
# There qemu-i386 runs every 32-bit x86 ELF file: ELFCLASS32, little-endian, EM_386, EXEC or
# DYN. F opens it now, so that Wine's own children find it in any mount namespace.
if refused /usr/lib/wine/wine; then
    install_packages qemu-user
    binfmt=/proc/sys/fs/binfmt_misc
    mountpoint -q "$binfmt" || mount -t binfmt_misc binfmt_misc "$binfmt"
    magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
    mask='\xff\xff\xff\xff\xff\xff\xff\x00\x00\x00\x00\x00\x00\x00\x00\x00\xfe\xff\xff\xff'
    echo "Registering qemu-i386 for 32-bit x86 programs: $binfmt/corvane-i386"
    if [[ -e $binfmt/corvane-i386 ]]; then  # ours, disabled by hand
        echo 1 >"$binfmt/corvane-i386"
    else
        echo ":corvane-i386:M::$magic:$mask:/usr/bin/qemu-i386:F" >"$binfmt/register"
    fi
fi
for preset in mingw-i686 mingw-x86_64; do
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" --target all msi
done
# UDP 514 in a network namespace of its own
exec unshare --net -- sh -c 'ip link set lo up && exec "$@"' sh \
    /usr/bin/python3 -m pytest -p no:cacheprovider -v tests/windows "$@"
