#!/usr/bin/env bash
# Kills the real updater with SIGKILL at random moments of a client update, as many times as asked, and
# prints how many kills fell into each step of the run and how many left a broken installation or a next run
# that did not finish. Runs the end-to-end kill test in several processes at once, each with its own seed.
# Usage: scripts/killtest.sh [kills, default 200] [processes, default 4] [build directory, default build-test]
set -euo pipefail
cd "$(dirname "$0")/.."
kills=${1:-200}
processes=${2:-4}
build=${3:-build-test}
binary="$build/tests/endtoend_tests"
[ -x "$binary" ] || { echo "no $binary: build the tests first (scripts/test.sh $build)" >&2; exit 1; }

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0"
export LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp:print_suppressions=0"
logs=$(mktemp -d)
base_seed=${KILL_SEED:-$(date +%s)}
echo "kills: $kills in $processes processes, seeds from $base_seed; logs in $logs"
pids=()
for ((p = 0; p < processes; p++)); do
    share=$(( kills / processes + (p < kills % processes ? 1 : 0) ))
    CORVALINK_KILLS=$share CORVALINK_KILL_SEED=$((base_seed + p)) \
        "$binary" --gtest_filter='ClientUpdate.KilledAtAnyMoment*' >"$logs/run$p.log" 2>&1 &
    pids+=($!)
done
status=0
for pid in "${pids[@]}"; do
    wait "$pid" || status=1
done

# Sum the "kill test counts:" lines of all processes.
grep -h '^kill test counts:' "$logs"/run*.log | sed 's/^kill test counts://' | tr ' ' '\n' | grep '=' |
    awk -F= '{ n[$1] += $2 } END { for (k in n) printf "%s: %d\n", k, n[k] }' | sort
grep -h '^kill test: seed' "$logs"/run*.log
[ "$status" -eq 0 ] && echo "all runs passed" || echo "FAILED: see $logs"
exit "$status"
