#!/usr/bin/env bash
# Installs what the tests need, builds every target and runs every test: unit tests on
# the fake platform (plain, AddressSanitizer/UBSan, ThreadSanitizer), the Linux binary
# in private namespaces (the sanitizer builds also check for leaks), the service and its
# Debian package under a real systemd in containers, collectors behind a balancer
# shipping to one central journal, the Windows executable under Wine, fuzzing
# and the fault tests. Needs root (namespaces, containers, port 514).
set -uo pipefail
cd "$(dirname "$0")/.."
source scripts/packages.sh

if [ "$(id -u)" -ne 0 ]; then
    echo "test.sh needs root: the system tests run in private namespaces on port 514" >&2
    exit 1
fi
install_packages "${LINUX_PACKAGES[@]}" libgtest-dev libsystemd-dev iproute2 util-linux \
    python3-pytest python3-pefile g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix \
    wine64 wixl msitools osslsigncode openssl clang libclang-rt-14-dev clang-format clang-tidy \
    cppcheck mandoc || exit 1

passed=0
failed=0
failures=()
suite() {
    local name=$1
    shift
    echo
    echo "=== $name"
    if "$@"; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        failures+=("$name")
    fi
}
unit_tests() {
    cmake --preset "$1" >/dev/null && cmake --build --preset "$1" && ctest --preset "$1"
}

suite "unit tests" unit_tests linux
suite "unit tests, AddressSanitizer and UBSan" unit_tests linux-asan
suite "unit tests, ThreadSanitizer" unit_tests linux-tsan
suite "Linux system tests" tests/system/run.sh
suite "Linux service under a real systemd, Debian package" tests/systemd/run.sh
suite "scale-out: collectors behind a balancer, one central journal" tests/scaleout/run.sh
suite "Windows executable under Wine" tests/windows/run.sh
suite "fuzzing, 20 s per target" fuzz/run.sh
suite "style and static checks" scripts/lint.sh

echo
for name in "${failures[@]}"; do
    echo "FAILED: $name"
done
echo "suites: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
