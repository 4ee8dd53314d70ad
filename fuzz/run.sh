#!/usr/bin/env bash
# Builds the fuzz targets (the fuzz preset: libFuzzer, AddressSanitizer and UBSan) and
# runs each for a bounded time: 20 s per target by default (the test command), `run.sh
# long` for 30 minutes per target. FUZZ_SECONDS overrides either. Exits non-zero when a
# target finds a fault; the crashing input is left in build/fuzz/fuzz/.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
out=$root/build/fuzz/fuzz
mode=${1:-short}
case $mode in
    short) seconds=${FUZZ_SECONDS:-20} ;;
    long) seconds=${FUZZ_SECONDS:-1800} ;;
    *) echo "usage: $0 [short|long]" >&2; exit 2 ;;
esac
source scripts/packages.sh
install_packages "${LINUX_PACKAGES[@]}" clang libclang-rt-14-dev
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz >/dev/null

status=0
for target in format_log_text render_event_message; do
    work=$out/corpus/$target
    mkdir -p "$work"
    log=$out/$target.log
    echo "fuzz $target: ${seconds}s"
    if (cd "$out" && "./fuzz_$target" -max_total_time="$seconds" -max_len=9000 -timeout=10 \
            -dict="$root/fuzz/fuzz.dict" -print_final_stats=1 \
            "$work" "$root/fuzz/corpus/$target") >"$log" 2>&1; then
        grep -a -E '^(Done|stat::number_of_executed_units)' "$log" || true
    else
        status=1
        tail -n 40 "$log"
        echo "fuzz $target: FAILED (log $log)"
    fi
done
exit $status
