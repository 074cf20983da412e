#!/usr/bin/env bash
# Builds everything in Debug with AddressSanitizer and UndefinedBehaviorSanitizer and runs every test.
# Usage: scripts/test.sh [build-directory]   (default: build-test)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-test}
sanitize="-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer"

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
    -DCMAKE_C_FLAGS="$sanitize" -DCMAKE_CXX_FLAGS="$sanitize" \
    -DCMAKE_EXE_LINKER_FLAGS="$sanitize"
cmake --build "$build"

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0"
export LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
ctest --test-dir "$build" --output-on-failure -j "$(nproc)"

# Bounded fuzzing runs of the untrusted-input parsers, when the fuzz script exists.
if [ -x scripts/fuzz.sh ]; then
    scripts/fuzz.sh
fi
