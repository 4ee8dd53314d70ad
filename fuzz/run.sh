#!/usr/bin/env bash
# Builds the libFuzzer targets (AddressSanitizer and UBSan) and runs each for a bounded
# time: 20 s per target by default (the test command), `run.sh long` for 30 minutes per
# target. FUZZ_SECONDS overrides either. Exits non-zero when a target finds a fault;
# the crashing input is left in build/fuzz/.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
out=$root/build/fuzz
mode=${1:-short}
case $mode in
    short) seconds=${FUZZ_SECONDS:-20} ;;
    long) seconds=${FUZZ_SECONDS:-1800} ;;
    *) echo "usage: $0 [short|long]" >&2; exit 2 ;;
esac
source scripts/packages.sh
install_packages clang libclang-rt-14-dev python3
cxx=${FUZZ_CXX:-$(command -v clang++-14 || command -v clang++)}

# The generated headers (catalogue, names) as the build makes them.
cmake -S "$root" -B "$out/cmake" -G Ninja -DCORVANE_BUILD_TESTS=OFF >/dev/null
cmake --build "$out/cmake" --target corvane_catalog >/dev/null
generated=$out/cmake/resources/generated

flags=(-std=c++20 -g -O1 -fno-omit-frame-pointer -fsanitize=fuzzer,address,undefined
    -fno-sanitize-recover=all -I"$root" -I"$generated")
"$cxx" "${flags[@]}" fuzz/format_log_text.cpp receiver/log_text.cpp -o "$out/format_log_text"
"$cxx" "${flags[@]}" fuzz/render_event_message.cpp platform/posix/render.cpp -o "$out/render_event_message"

status=0
for target in format_log_text render_event_message; do
    work=$out/corpus/$target
    mkdir -p "$work"
    log=$out/$target.log
    echo "fuzz $target: ${seconds}s"
    if (cd "$out" && "./$target" -max_total_time="$seconds" -max_len=9000 -timeout=10 \
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
