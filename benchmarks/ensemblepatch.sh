#!/usr/bin/env bash
# Times applying an ensemble patch as a whole process beside `xdelta3 -d` and `zstd -d --patch-from` on the same
# file pair: the reproducible 100 MB pair of benchmarks/bytediff.sh and, when EXE_OLD and EXE_NEW name two
# versions of a large executable, that pair too (the patch holds the executable as one element when a
# disassembler accepts both versions, else it patches them as plain files; "elements" says which).
# The executable pair is also patched with bsdiff (left out of the 100 MB pair, where it needs about 17 times the
# file's size in memory). Prints patch size, wall time and peak memory of each applier. Not run by CI.
# Usage: [EXE_OLD=old EXE_NEW=new] benchmarks/ensemblepatch.sh [work-directory]   (default: build-bench/ensemble)
set -euo pipefail
cd "$(dirname "$0")/.."
source benchmarks/common.sh
build=build-bench
work=${1:-$build/ensemble}

build_bench "$build" ensemblepatch bytediff
tool=$build/benchmarks/ensemblepatch
mkdir -p "$work"

# Seconds and peak resident megabytes of one command.
measure() {
    /usr/bin/time -f "%e %M" -o "$work/time" "$@" > /dev/null
    read -r seconds kilobytes < "$work/time"
    echo "$seconds $((kilobytes / 1024))"
}

# One pair: make the three patches (untimed), then time each applier and check its result.
bench() {
    local name=$1 old=$2 new=$3
    local patch=$work/$name.ensemble xd3=$work/$name.xd3 zst=$work/$name.zst result=$work/$name.result
    # zstd's window must reach over the old file and the new one.
    local window
    window=$(python3 -c "import math,sys; print(max(10, math.ceil(math.log2(int(sys.argv[1]) + int(sys.argv[2])))))" \
        "$(stat -c %s "$old")" "$(stat -c %s "$new")")
    [ -f "$patch" ] || "$tool" make "$old" "$new" "$patch" > "$work/$name.elements"
    [ -f "$xd3" ] || xdelta3 -e -9 -f -B $((1 << 30)) -s "$old" "$new" "$xd3"
    # zstd prints tuning notes for large inputs; they go to a log beside the patch.
    [ -f "$zst" ] || zstd -q -19 -f --long="$window" --patch-from="$old" "$new" -o "$zst" 2> "$work/$name.zst.log"
    local tools=(ensemble xdelta3 zstd)
    local commands=(
        "$tool apply $old $patch $result"
        "xdelta3 -d -f -B $((1 << 30)) -s $old $xd3 $result"
        "zstd -q -d -f --long=$window --patch-from=$old $zst -o $result"
    )
    local patches=("$patch" "$xd3" "$zst")
    if [ "${4:-}" = with-bsdiff ]; then
        local bsd=$work/$name.bsdiff
        [ -f "$bsd" ] || bsdiff "$old" "$new" "$bsd"
        tools+=(bsdiff)
        commands+=("bspatch $old $result $bsd")
        patches+=("$bsd")
    fi
    for i in "${!tools[@]}"; do
        rm -f "$result"
        # shellcheck disable=SC2086
        read -r s m < <(measure ${commands[$i]})
        cmp -s "$new" "$result" || { echo "${tools[$i]} did not reproduce $new" >&2; exit 1; }
        printf '%-10s %-8s %9s %12d %12d %8s %8s\n' "$name" "${tools[$i]}" "$(cut -d' ' -f2 "$work/$name.elements")" \
            "$(stat -c %s "$new")" "$(stat -c %s "${patches[$i]}")" "$s" "$m"
    done
    rm -f "$result"
}

printf '%-10s %-8s %9s %12s %12s %8s %8s\n' pair tool elements "new bytes" "patch bytes" "apply s" "apply MB"
old=$work/old-100M new=$work/new-100M
[ -f "$new" ] || "$build/benchmarks/bytediff" pair 100000000 100 "$old" "$new"
bench plain-100M "$old" "$new"
if [ -n "${EXE_OLD:-}" ] && [ -n "${EXE_NEW:-}" ]; then
    bench executable "$EXE_OLD" "$EXE_NEW" with-bsdiff
fi
