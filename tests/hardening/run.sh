#!/usr/bin/env bash
# The hardening suite of the test command: short fuzz runs, the collector under valgrind,
# the quick soak, the fault tests and the unit-file checks, then the fault tests again
# against an AddressSanitizer/UBSan build. Needs root (namespaces, port 514). Exits
# non-zero when any part fails. The long fuzz (fuzz/run.sh long) and the full soak
# (tests/hardening/soak.sh) are commands of their own.
set -uo pipefail
cd "$(dirname "$0")/../.."
source tests/hardening/build.sh
export PYTHONDONTWRITEBYTECODE=1

failed=()
step() {
    local name=$1
    shift
    echo "--- $name"
    if "$@"; then
        echo "--- $name: passed"
    else
        echo "--- $name: FAILED"
        failed+=("$name")
    fi
}
in_namespace_pytest() {
    timeout --kill-after=10 600 tests/hardening/namespace.sh \
        /usr/bin/python3 -m pytest -p no:cacheprovider -q -rfE "$@"
}

step "fuzz, 20 s per target" fuzz/run.sh
if build_corvane release; then
    step "valgrind memcheck" in_namespace_pytest -s tests/hardening/test_valgrind.py
    step "soak, quick" tests/hardening/soak.sh quick
    step "faults and unit file" in_namespace_pytest -s tests/hardening/test_faults.py \
        tests/hardening/test_unit.py
else
    failed+=("build")
fi
if build_corvane asan "-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"; then
    step "faults, AddressSanitizer and UBSan" in_namespace_pytest tests/hardening/test_faults.py
else
    failed+=("build with sanitizers")
fi

for name in "${failed[@]}"; do
    echo "hardening FAILED: $name"
done
[ ${#failed[@]} -eq 0 ]
