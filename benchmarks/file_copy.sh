#!/usr/bin/env bash
# Whole-process comparison of the updater's copy routine with cp on the same files, in the same file system.
# Usage: benchmarks/file_copy.sh [build-directory] [runs]   (defaults: build-bench, 5)
# Two sets of 1 GB each: one file, and 2000 files of 500 KiB (512000 bytes). Runs of the two copiers (the
# updater's is benchmarks/filecopy.cpp) alternate; before each run the earlier copy is removed and dirty pages
# are written out, so each starts alike. Prints the median wall time of each and their ratio. Not run by CI.
set -euo pipefail
cd "$(dirname "$0")/.."
source benchmarks/common.sh
build=${1:-build-bench}
runs=${2:-5}
work="$build/copy-bench"

build_bench "$build" filecopy
print_load start
tool=$build/benchmarks/filecopy
mkdir -p "$work/one" "$work/many"

if [ ! -s "$work/one/big" ]; then
    head -c 1000000000 /dev/urandom > "$work/one/big"
fi
if [ "$(find "$work/many" -type f | wc -l)" -ne 2000 ]; then
    rm -rf "$work/many" && mkdir -p "$work/many"
    for i in $(seq -w 1 2000); do
        head -c 512000 /dev/urandom > "$work/many/file-$i"
    done
fi


# Wall seconds of one copy of set $1 by copier $2 into a fresh directory.
timed_copy() {
    local set=$1 copier=$2 target="$work/copy"
    rm -rf "$target" && mkdir -p "$target" && sync
    local start end
    start=$(date +%s.%N)
    if [ "$copier" = cp ]; then
        cp "$work/$set"/* "$target/"
    else
        "$tool" "$work/$set"/* "$target/"
    fi
    end=$(date +%s.%N)
    cmp -s <(cd "$work/$set" && cat -- *) <(cd "$target" && cat -- *) || { echo "$copier: copy differs" >&2; exit 1; }
    awk -v s="$start" -v e="$end" 'BEGIN { printf "%.3f\n", e - s }'
}

echo "cp: $(cp --version | head -n 1)"
for set in one many; do
    : > "$work/times-$set-cp"
    : > "$work/times-$set-updater"
    # Alternating, and which goes first alternates too, so that neither always follows the other.
    for run in $(seq 1 "$runs"); do
        if [ $((run % 2)) -eq 1 ]; then
            timed_copy "$set" cp >> "$work/times-$set-cp"
            timed_copy "$set" updater >> "$work/times-$set-updater"
        else
            timed_copy "$set" updater >> "$work/times-$set-updater"
            timed_copy "$set" cp >> "$work/times-$set-cp"
        fi
    done
    cp_median=$(median < "$work/times-$set-cp")
    updater_median=$(median < "$work/times-$set-updater")
    printf '%-5s cp %.3f s, updater %.3f s (medians of %d), updater / cp = %.3f\n' "$set" "$cp_median" \
        "$updater_median" "$runs" "$(awk -v u="$updater_median" -v c="$cp_median" 'BEGIN { print u / c }')"
done
rm -rf "$work/copy"
print_load end
