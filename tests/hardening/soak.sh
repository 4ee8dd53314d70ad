#!/usr/bin/env bash
# Soak of the real collector in a private namespace, against a fake journal (a Python
# reader of the native protocol, faster than systemd-journald and exact about every
# event): one million datagrams, or 20,000 with `soak.sh quick`. Bounded in time:
# 25 minutes for the full run, 2 for the quick one.
#   soak.sh [full|quick] [soak.py options...]
set -euo pipefail
cd "$(dirname "$0")/../.."
source tests/hardening/build.sh
mode=${1:-full}
shift || true
case $mode in
    full) limits=(--count 1000000 --seconds 1500) ;;
    quick) limits=(--count 20000 --seconds 120) ;;
    *) echo "usage: $0 [full|quick] [options]" >&2; exit 2 ;;
esac
if [ -z "${CORVANE_BINARY:-}" ]; then
    build_corvane release
fi
exec timeout --kill-after=10 1800 tests/hardening/namespace.sh \
    /usr/bin/python3 tests/hardening/soak.py "${limits[@]}" "$@"
