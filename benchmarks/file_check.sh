#!/usr/bin/env bash
# Whole-process comparison of the updater's file check (CheckSigFunc against an expected SHA-512) with
# sha512sum on the same file: a 1 GB file of random bytes and a 4 GiB sparse file. Not run by CI.
#
# Usage: benchmarks/file_check.sh [build-dir] [runs] [work-dir]
#   defaults: build-bench 5, a new directory under /tmp. Runs alternate between the two programs; the
#   medians of wall time and peak RSS (/usr/bin/time) are printed with the ratio of the wall times.
set -euo pipefail
cd "$(dirname "$0")/.."
source benchmarks/common.sh
build=${1:-build-bench}
runs=${2:-5}
work=${3:-}

build_bench "$build" file_check
print_load start
check="$PWD/$build/benchmarks/file_check"

if [ -z "$work" ]; then
    work=$(mktemp -d)
    trap 'rm -rf "$work"' EXIT
fi
mkdir -p "$work"


compare() { # label, file
    local label=$1 file=$2 expected
    expected=$(sha512sum "$file" | cut -d' ' -f1) # also brings the file into the page cache
    : > "$work/updater.times"
    : > "$work/sha512sum.times"
    for _ in $(seq "$runs"); do
        /usr/bin/time -o "$work/time" -f '%e %M' "$check" "$file" "$expected" >/dev/null 2>&1 || {
            echo "$label: the updater's check failed"; return 1; }
        cat "$work/time" >> "$work/updater.times"
        /usr/bin/time -o "$work/time" -f '%e %M' sha512sum "$file" >/dev/null
        cat "$work/time" >> "$work/sha512sum.times"
    done
    local uw ur sw sr
    uw=$(cut -d' ' -f1 "$work/updater.times" | median)
    ur=$(cut -d' ' -f2 "$work/updater.times" | median)
    sw=$(cut -d' ' -f1 "$work/sha512sum.times" | median)
    sr=$(cut -d' ' -f2 "$work/sha512sum.times" | median)
    awk -v l="$label" -v uw="$uw" -v ur="$ur" -v sw="$sw" -v sr="$sr" 'BEGIN {
        printf "%-16s updater %6.2f s %6.1f MiB | sha512sum %6.2f s %6.1f MiB | time ratio %.2f\n",
            l, uw, ur / 1024, sw, sr / 1024, uw / sw }'
}

echo "medians of $runs alternating runs"
head -c 1000000000 /dev/urandom > "$work/random-1G"
compare "1 GB random" "$work/random-1G"
rm -f "$work/random-1G"
truncate -s 4G "$work/sparse-4G"
compare "4 GiB sparse" "$work/sparse-4G"
rm -f "$work/sparse-4G"
print_load end
