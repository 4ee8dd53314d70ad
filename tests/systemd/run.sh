#!/usr/bin/env bash
# The collector under a real systemd in containers booted from a cached Debian tree (made once,
# never written). Builds the package first; pytest arguments pass on.
set -euo pipefail
cd "$(dirname "$0")/../.."
[ "$(id -u)" -eq 0 ] || { echo "$0 needs root: it boots containers" >&2; exit 1; }
source scripts/packages.sh
# Without recommends: mmdebstrap's would edit the host's name service configuration.
install_packages "${LINUX_PACKAGES[@]}" python3-pytest systemd-container mmdebstrap lintian \
    dpkg-dev iproute2 util-linux
# The name changes with the recipe, so that a tree cached by an older recipe is not used.
tree=${CORVANE_TREE:-/var/cache/corvane-test/bookworm-man}
if [ ! -d "$tree" ]; then
    mkdir -p "$(dirname "$tree")" && rm -rf "$tree.new"
    mmdebstrap --variant=minbase --include=systemd,systemd-sysv,dbus,man-db \
        --dpkgopt='path-exclude=/usr/share/doc/*' \
        --dpkgopt='path-exclude=/usr/share/locale/*' bookworm "$tree.new"
    mv "$tree.new" "$tree"
fi
[ -f build/package/build.ninja ] || cmake -S . -B build/package -G Ninja \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCORVANE_BUILD_TESTS=OFF >&2
cmake --build build/package --target package
PYTHONDONTWRITEBYTECODE=1 CORVANE_TREE=$tree CORVANE_BINARY=$PWD/build/package/corvane \
CORVANE_DEB=$PWD/build/package/corvane_1.01_amd64.deb timeout -k 10 "${CORVANE_TIMEOUT_S:-900}" \
    /usr/bin/python3 -m pytest -q -rfEP -p no:cacheprovider tests/systemd "$@"
