#!/usr/bin/env bash
# Style and static checks on the program's code and the Linux layer: clang-format,
# clang-tidy (.clang-tidy) and cppcheck; the manual page with mandoc. Exits non-zero on
# the first finding.
set -euo pipefail
cd "$(dirname "$0")/.."

sources=$(git ls-files 'service/*.cpp' 'receiver/*.cpp' 'eventlog/*.cpp' 'platform/posix/*.cpp')
headers=$(git ls-files 'service/*.h' 'receiver/*.h' 'eventlog/*.h' 'platform/*.h' 'platform/posix/*.h')

# shellcheck disable=SC2086
clang-format --dry-run --Werror $sources $headers
cmake --preset linux >/dev/null
cmake --build --preset linux --target corvane_catalog >/dev/null
# shellcheck disable=SC2086
findings=$(clang-tidy --quiet -p build/linux $sources 2>/dev/null || true)
if grep -q "error:" <<<"$findings"; then
    echo "$findings"
    exit 1
fi
# shellcheck disable=SC2086
cppcheck --std=c++20 --enable=warning,style,performance,portability --inline-suppr \
    --error-exitcode=1 --quiet -I . -I build/linux/resources/generated $sources
# Its cross-references are looked up in the host's page index, which may be missing or
# stale: that finding is the host's, not the page's.
findings=$(mandoc -Tlint packaging/corvane.8 2>&1 | grep -v 'mandoc\.db' || true)
if [ -n "$findings" ]; then
    echo "$findings"
    exit 1
fi
echo "lint: clean"
