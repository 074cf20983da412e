#!/usr/bin/env bash
# Kills the real updater with SIGKILL as many times as asked and prints how many kills fell into each stage and
# how many left a broken installation or a next run that did not finish. Runs an end-to-end kill test in several
# processes at once, each with its own seed:
#  - by default as users run it: step one started from the installation hands over to step two in the session
#    directory, which is killed inside its replacement, deletion or commit; the next runs are step one, first
#    without the server, then with it (counts read "chosen stage/stage the log reached");
#  - with KILL_TEST=anytime: step two started from the installation, killed anywhere in the run.
# Usage: scripts/killtest.sh [kills, default 200] [processes, default 4] [build directory, default build-test]
set -euo pipefail
cd "$(dirname "$0")/.."
kills=${1:-200}
processes=${2:-4}
build=${3:-build-test}
binary="$build/tests/endtoend_tests"
[ -x "$binary" ] || { echo "no $binary: build the tests first (scripts/test.sh $build)" >&2; exit 1; }

filter='ClientUpdate.KilledStepTwoIsSettledByTheNextRun*'
[ "${KILL_TEST:-}" = anytime ] && filter='ClientUpdate.KilledAtAnyMoment*'

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0"
export LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp:print_suppressions=0"
logs=$(mktemp -d)
base_seed=${KILL_SEED:-$(date +%s)}
echo "kills: $kills in $processes processes, seeds from $base_seed; logs in $logs"
pids=()
for ((p = 0; p < processes; p++)); do
    share=$(( kills / processes + (p < kills % processes ? 1 : 0) ))
    CORVALINK_KILLS=$share CORVALINK_KILL_SEED=$((base_seed + p)) \
        "$binary" --gtest_filter="$filter" >"$logs/run$p.log" 2>&1 &
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
# Runs whose exit code or leak report made a check fail show up here too.
grep -h 'LeakSanitizer' "$logs"/run*.log | sort | uniq -c || true
[ "$status" -eq 0 ] && echo "all runs passed" || echo "FAILED: see $logs"
exit "$status"
