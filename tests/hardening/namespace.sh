#!/usr/bin/env bash
# Runs a command in a private network and mount namespace where the collector binds the
# real UDP port 514 and writes its real paths (/run/Corvane, the journal socket, the unit
# file, the registry) without touching the host: loopback up, tmpfs over /run,
# /etc/systemd/system and /var/log/journal, a throw-away overlay over /etc. Needs root.
#   namespace.sh COMMAND [ARGS...]
set -euo pipefail
if [ "${1:-}" != --inside ]; then
    exec unshare --net --mount --propagation private -- "$0" --inside "$@"
fi
shift
mount -t tmpfs -o mode=0755 tmpfs /run
mkdir -p /run/.etc/upper /run/.etc/work /run/systemd/journal /run/hardening
mount -t overlay overlay -o lowerdir=/etc,upperdir=/run/.etc/upper,workdir=/run/.etc/work /etc
for dir in /etc/systemd/system /var/log/journal; do
    if [ -d "$dir" ]; then mount -t tmpfs -o mode=0755 tmpfs "$dir"; fi
done
ip link set lo up
# Room for a burst of reports while a test's journal is busy; this namespace's own value.
echo 512 >/proc/sys/net/unix/max_dgram_qlen
export CORVANE_HARDENING_NAMESPACE=1
exec "$@"
