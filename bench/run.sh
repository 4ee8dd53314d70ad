#!/bin/bash
# The benchmark in one command: sustained rate, bursts and own cost of the collector,
# side by side with rsyslog, against one fresh journal in a private namespace.
#
#   bench/run.sh            # about 8 minutes; writes bench/RESULTS.md and the plot
#   bench/run.sh --quick    # a short run for trying the bench itself out
#   bench/run.sh --scale-out  # 1, 2 and 3 collectors into one central journal, and
#                                  # its ceiling: its own section of RESULTS.md (bench/scaleout.py)
#
# Installs what it needs with apt-get (Debian 12), builds a Release collector in
# build/bench and the bench programs in build/bench/tools. Raw data, logs and the
# gnuplot script go to bench/out/.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
build=$root/build/bench
out=$here/out

if [ "$(id -u)" -ne 0 ]; then
    echo "bench/run.sh needs root (namespaces, port 514, a journal of its own)" >&2
    exit 1
fi

results=$here/RESULTS.md
extra=()
mode=${1:-}
if [ "$mode" = "--scale-out" ]; then
    shift
elif [ "$mode" = "--quick" ]; then
    # Figures of a quick run are no figures to keep: they go to bench/out/.
    results=$here/out/RESULTS.md
    extra=(--trial-seconds 2 --sweep 0.25,0.6,0.9,1.1 --bisect-steps 2 --bursts 20000,50000
           --ceiling-repeats 1 --cost-rounds 3 --overload 1.5)
    shift
fi
extra+=("$@")

# What the bench runs on, from Debian's packages. rsyslog's package may start the host's
# own rsyslog where systemd runs; the bench starts its own copy inside the namespace.
source "$root/scripts/packages.sh"
install_packages "${LINUX_PACKAGES[@]}" pkg-config libsystemd-dev rsyslog gnuplot-nox \
    iproute2 util-linux systemd-journal-remote nftables curl

echo "== building the collector (Release) in $build"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCORVANE_BUILD_TESTS=OFF \
    >/dev/null
cmake --build "$build" --target corvane corvane_program corvane_platform corvane_render corvane_posix_text >/dev/null
echo "== building the bench programs in $build/tools"
cmake -S "$here" -B "$build/tools" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCORVANE_BUILD_DIR="$build" >/dev/null
cmake --build "$build/tools" >/dev/null

mkdir -p "$out"
rm -f "$out"/*.log
start=$(date +%s)
if [ "$mode" = "--scale-out" ]; then
    # Every part in namespaces of its own, made by the bench itself; same priority as below.
    CORVANE_BINARY=$build/corvane nice -n -10 /usr/bin/python3 "$here/scaleout.py" \
        --tools "$build/tools" --out "$out" --results "$results" "${extra[@]}" 2>&1 |
        tee "$out/scale-out.txt"
    echo "== done in $(( $(date +%s) - start )) s"
    exit
fi
# A network namespace of its own (loopback only, its own port 514) and a mount
# namespace whose tmpfs mounts hide the host's journal and runtime directories. At
# nice -10, other work on a shared machine disturbs the figures less; the collectors,
# the journal and the sender all run at that priority alike.
nice -n -10 unshare --net --mount --propagation private \
    /usr/bin/python3 "$here/bench.py" --corvane "$build/corvane" --tools "$build/tools" \
    --out "$out" --results "$results" "${extra[@]}" 2>&1 | tee "$out/run.txt"
echo "== done in $(( $(date +%s) - start )) s"
