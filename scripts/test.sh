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
set +e
ctest --test-dir "$build" --output-on-failure -j "$(nproc)" 2>&1 | tee "$build/ctest-output.log"
tests_status=${PIPESTATUS[0]}

# Bounded fuzzing runs of the untrusted-input parsers, when the fuzz script exists.
fuzz_status=0
if [ -x scripts/fuzz.sh ]; then
    scripts/fuzz.sh
    fuzz_status=$?
fi
set -e

# The test counts once more as the last line, so they are not buried under the fuzzers' output.
summary=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$build/ctest-output.log" | tail -n 1)
if [ -n "$summary" ]; then
    failed=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/' <<<"$summary")
    total=$(sed -E 's/.* failed out of ([0-9]+).*/\1/' <<<"$summary")
    [ "$fuzz_status" -eq 0 ] || echo "fuzzing FAILED (see above)"
    echo "tests: $((total - failed)) passed, $failed failed"
fi
[ "$tests_status" -eq 0 ] && [ "$fuzz_status" -eq 0 ]
