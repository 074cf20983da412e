#!/usr/bin/env bash
# Builds the libFuzzer targets (tests/fuzz/*_fuzzer.cpp) with clang, AddressSanitizer and
# UndefinedBehaviorSanitizer in a build directory of their own, and runs each for a bounded time on a freshly
# generated seed corpus. Fails on any crash, leak, sanitizer report, time-out or out-of-memory.
# Usage: scripts/fuzz.sh [build-directory]   (default: build-fuzz)
#   FUZZ_SECONDS  seconds per fuzzer (default 60); FUZZ_JOBS  parallel fuzzing processes per fuzzer (default 1)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-fuzz}
seconds=${FUZZ_SECONDS:-60}
jobs=${FUZZ_JOBS:-1}
sanitize="-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer"

# Every library is instrumented for coverage (fuzzer-no-link); only the fuzzers link libFuzzer's main.
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_C_FLAGS="-O1 -fsanitize=fuzzer-no-link $sanitize" \
    -DCMAKE_CXX_FLAGS="-O1 -fsanitize=fuzzer-no-link $sanitize" \
    -DCMAKE_EXE_LINKER_FLAGS="$sanitize" \
    -DCORVALINK_BUILD_TESTS=OFF -DCORVALINK_BUILD_FUZZERS=ON
cmake --build "$build" --target corvalink_fuzzers

build=$(cd "$build" && pwd)
corpus="$build/fuzz-corpus"
artifacts="$build/fuzz-artifacts"
rm -rf "$corpus"
mkdir -p "$artifacts"
"$build/tests/fuzz/fuzzseeds" "$corpus"

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
parallel=()
if [ "$jobs" -gt 1 ]; then
    parallel=(-jobs="$jobs" -workers="$jobs")
fi
status=0
for fuzzer in "$build"/tests/fuzz/*_fuzzer; do
    name=$(basename "$fuzzer")
    mkdir -p "$corpus/$name"
    echo "== $name: ${seconds}s"
    # From the artifacts folder, where parallel runs leave their fuzz-<n>.log files.
    # The progress lines go to a log; only the final statistics, or the end of the log on a failure, are shown.
    log="$artifacts/$name.log"
    if (cd "$artifacts" && "$fuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
        "${parallel[@]}" -artifact_prefix="$artifacts/$name-" "$corpus/$name") >"$log" 2>&1; then
        grep -E '^stat::(number_of_executed_units|peak_rss_mb)' "$log" || true
    else
        tail -n 80 "$log" >&2
        echo "== $name FAILED; reproducer in $artifacts, full log $log" >&2
        status=1
    fi
done
exit $status
