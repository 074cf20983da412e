#!/usr/bin/env bash
# Times applying an ensemble patch as a whole process beside other delta tools on the same file pairs:
#   - the reproducible 100 MB pair of benchmarks/bytediff.sh (a generated, program-like file);
#   - every pair <name>-old / <name>-new in LIBRARIES (default build-bench/library-pairs when it exists; made by
#     benchmarks/library_pairs.sh from two Debian versions of real shared libraries);
#   - EXE_OLD / EXE_NEW when both are set.
# Beside the ensemble patch: the project's own byte diff (method 2, one LZMA2 block), `xdelta3 -d`,
# `zstd -d --patch-from` and, on executables, `bspatch` (left out of the 100 MB pair, where bsdiff needs about 17
# times the file's size in memory). The patch holds an executable as one element when a disassembler accepts
# both versions, else it patches the pair as plain files ("elements" says which).
# The patches are made once and kept in the work directory (untimed). Each of RUNS rounds (default 5) runs every
# applier once in turn, so that a change of load hits all of them alike; the table gives each applier's median
# wall time and median peak memory, and checks every result. BASELINE names another build's `ensemblepatch`
# driver (an earlier version, say): it makes its own patches and joins the rounds as "baseline", so that two
# versions of the engine are compared under the same load. Not run by CI.
# Usage: [RUNS=n] [LIBRARIES=dir] [EXE_OLD=old EXE_NEW=new] [BASELINE=driver] benchmarks/ensemblepatch.sh [work-directory]
#        (default work directory: build-bench/ensemble)
set -euo pipefail
cd "$(dirname "$0")/.."
source benchmarks/common.sh
build=build-bench
work=${1:-$build/ensemble}
runs=${RUNS:-5}
libraries=${LIBRARIES:-$build/library-pairs}

build_bench "$build" ensemblepatch bytediff
tool=$build/benchmarks/ensemblepatch
bytediff=$build/benchmarks/bytediff
mkdir -p "$work"

# Seconds and peak resident megabytes of one command.
measure() {
    /usr/bin/time -f "%e %M" -o "$work/time" "$@" > /dev/null
    read -r seconds kilobytes < "$work/time"
    echo "$seconds $((kilobytes / 1024))"
}

# One pair: make the patches (untimed), then time the appliers round by round and check each result.
bench() {
    local name=$1 old=$2 new=$3
    local patch=$work/$name.ensemble byte=$work/$name.bytediff xd3=$work/$name.xd3 zst=$work/$name.zst
    local result=$work/$name.result
    # zstd's window must reach over the old file and the new one.
    local window
    window=$(python3 -c "import math,sys; print(max(10, math.ceil(math.log2(int(sys.argv[1]) + int(sys.argv[2])))))" \
        "$(stat -c %s "$old")" "$(stat -c %s "$new")")
    [ -f "$patch" ] || "$tool" make "$old" "$new" "$patch" > "$work/$name.elements"
    [ -f "$byte" ] || "$bytediff" generate "$old" "$new" "$byte" 2
    [ -f "$xd3" ] || xdelta3 -e -9 -f -B $((1 << 30)) -s "$old" "$new" "$xd3"
    # zstd prints tuning notes for large inputs; they go to a log beside the patch.
    [ -f "$zst" ] || zstd -q -19 -f --long="$window" --patch-from="$old" "$new" -o "$zst" 2> "$work/$name.zst.log"
    local tools=(ensemble bytediff xdelta3 zstd)
    local commands=(
        "$tool apply $old $patch $result"
        "$bytediff apply $old $byte $result"
        "xdelta3 -d -f -B $((1 << 30)) -s $old $xd3 $result"
        "zstd -q -d -f --long=$window --patch-from=$old $zst -o $result"
    )
    local patches=("$patch" "$byte" "$xd3" "$zst")
    if [ -n "${BASELINE:-}" ]; then
        local base=$work/$name.baseline
        [ -f "$base" ] || "$BASELINE" make "$old" "$new" "$base" > /dev/null
        tools+=(baseline)
        commands+=("$BASELINE apply $old $base $result")
        patches+=("$base")
    fi
    if [ "${4:-}" = with-bsdiff ]; then
        local bsd=$work/$name.bsdiff
        [ -f "$bsd" ] || bsdiff "$old" "$new" "$bsd"
        tools+=(bsdiff)
        commands+=("bspatch $old $result $bsd")
        patches+=("$bsd")
    fi
    local -a seconds megabytes
    for _ in $(seq "$runs"); do
        for i in "${!tools[@]}"; do
            rm -f "$result"
            # shellcheck disable=SC2086
            read -r s m < <(measure ${commands[$i]})
            cmp -s "$new" "$result" || { echo "${tools[$i]} did not reproduce $new" >&2; exit 1; }
            seconds[i]="${seconds[i]:-} $s"
            megabytes[i]="${megabytes[i]:-} $m"
        done
    done
    for i in "${!tools[@]}"; do
        printf '%-10s %-8s %9s %12d %12d %8s %8s\n' "$name" "${tools[$i]}" "$(cut -d' ' -f2 "$work/$name.elements")" \
            "$(stat -c %s "$new")" "$(stat -c %s "${patches[$i]}")" "$(echo "${seconds[i]}" | median)" \
            "$(echo "${megabytes[i]}" | median)"
    done
    rm -f "$result"
}

print_load start
echo "$runs rounds; medians of each applier"
printf '%-10s %-8s %9s %12s %12s %8s %8s\n' pair tool elements "new bytes" "patch bytes" "apply s" "apply MB"
old=$work/old-100M new=$work/new-100M
[ -f "$new" ] || "$bytediff" pair 100000000 100 "$old" "$new"
bench plain-100M "$old" "$new"
if [ -d "$libraries" ]; then
    for old in "$libraries"/*-old; do
        name=$(basename "${old%-old}")
        [ -f "$libraries/$name-new" ] && bench "$name" "$old" "$libraries/$name-new" with-bsdiff
    done
fi
if [ -n "${EXE_OLD:-}" ] && [ -n "${EXE_NEW:-}" ]; then
    bench executable "$EXE_OLD" "$EXE_NEW" with-bsdiff
fi
print_load end
