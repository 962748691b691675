#!/bin/sh
# Builds the engine with AddressSanitizer and UndefinedBehaviorSanitizer and runs every test.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/setup.sh"
build="${BRX_TEST_BUILD_DIR:-$top/build-test}"
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBRX_SANITIZE=ON -DBRX_TESTS=ON -DBRX_BENCH=ON >/dev/null
cmake --build "$build" -j "$(nproc)"
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
cd "$build"
ctest --output-on-failure -j "$(nproc)" "$@"
