#!/usr/bin/env bash
# Builds the fuzz targets (the fuzz preset: libFuzzer, AddressSanitizer and UBSan) and
# runs each for 20 s (the test command) or, with `long`, 30 minutes; FUZZ_SECONDS
# overrides either. Exits non-zero when a target finds a fault, the crashing input left
# in build/fuzz/fuzz/.
set -euo pipefail
cd "$(dirname "$0")/.."
[[ ${1:-short} =~ ^(short|long)$ ]] || { echo "usage: $0 [short|long]" >&2; exit 2; }
[[ ${1:-short} == long ]] && seconds=${FUZZ_SECONDS:-1800} || seconds=${FUZZ_SECONDS:-20}
source scripts/packages.sh
install_packages "${LINUX_PACKAGES[@]}" clang libclang-rt-14-dev
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

out=build/fuzz/fuzz status=0
for target in format_log_text render_event_message; do
    mkdir -p "$out/corpus/$target" && log=$out/$target.log
    echo "fuzz $target: ${seconds}s"
    if "$out/fuzz_$target" -max_total_time="$seconds" -max_len=9000 -timeout=10 \
        -dict=fuzz/fuzz.dict -print_final_stats=1 -artifact_prefix="$out/" \
        "$out/corpus/$target" "fuzz/corpus/$target" >"$log" 2>&1; then
        grep -a -E '^(Done|stat::number_of_executed_units)' "$log" || true
    else
        tail -n 40 "$log" && echo "fuzz $target: FAILED (log $log)" && status=1
    fi
done
exit $status
