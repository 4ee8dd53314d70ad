#!/usr/bin/env bash
# Collectors behind a UDP balancer, their journals shipped to one central journal, each
# machine in private namespaces of its own (no real network): numbered datagrams from
# many source ports, one collector restarted mid-run. Pytest arguments are passed on.
set -euo pipefail
cd "$(dirname "$0")/../.."
[ "$(id -u)" -eq 0 ] || { echo "$0 needs root: namespaces, nftables, port 514" >&2; exit 1; }
source scripts/packages.sh
install_packages "${LINUX_PACKAGES[@]}" libgtest-dev python3-pytest systemd-journal-remote \
    nftables iproute2 util-linux pkg-config libsystemd-dev
export PYTHONDONTWRITEBYTECODE=1

build=build/linux
cmake --preset linux >/dev/null
cmake --build --preset linux --target corvane >/dev/null
# The bench's sender, built against that tree.
[ -f build/scaleout/tools/build.ninja ] || cmake -S bench -B build/scaleout/tools -G Ninja \
    -DCMAKE_BUILD_TYPE=Release -DCORVANE_BUILD_DIR="$PWD/$build" >/dev/null
cmake --build build/scaleout/tools --target cvb_sender >/dev/null

export CORVANE_BINARY=$PWD/$build/corvane CORVANE_SENDER=$PWD/build/scaleout/tools/cvb_sender
timeout -k 10 300 /usr/bin/python3 -m pytest -q -rfE -p no:cacheprovider tests/scaleout "$@"
