#!/usr/bin/env bash
# Builds the Linux collector and runs it in the foreground on UDP port 514, logging
# into the systemd journal. Needs root (port 514, /run/Corvane). Ctrl-C stops it.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/packages.sh

if [ "$(id -u)" -ne 0 ]; then
    echo "run.sh needs root: it binds port 514 and writes /run/Corvane (run it as root, or with sudo)" >&2
    exit 1
fi
install_packages "${LINUX_PACKAGES[@]}"
cmake --preset linux >/dev/null
cmake --build --preset linux --target corvane

# Without a journal the collector has nowhere to write: start one when none listens.
if [ ! -S /run/systemd/journal/socket ]; then
    mkdir -p /run/systemd/journal
    /lib/systemd/systemd-journald </dev/null >/dev/null 2>&1 &
    echo "Started systemd-journald (process $!); it keeps running after the collector."
    for _ in $(seq 50); do [ -S /run/systemd/journal/socket ] && break; sleep 0.1; done
fi

cat <<'TEXT'
Corvane listens on UDP port 514. In another terminal:
  send a line:  logger --udp -n 127.0.0.1 -P 514 hello
  read the log: journalctl -t Corvane -f
TEXT
exec build/linux/corvane
