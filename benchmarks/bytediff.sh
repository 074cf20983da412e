#!/usr/bin/env bash
# Times the byte diff as whole processes on reproducible file pairs of 1, 10 and 100 MB.
# Usage: benchmarks/bytediff.sh [work-directory]   (default: build-bench/bytediff-pairs)
# The pairs stay in the work directory (old-SIZE, new-SIZE), so other delta tools can be run on the same files.
# Not run by CI.
set -euo pipefail
cd "$(dirname "$0")/.."
source benchmarks/common.sh
build=build-bench
work=${1:-$build/bytediff-pairs}

build_bench "$build" bytediff
print_load start
tool=$build/benchmarks/bytediff
mkdir -p "$work"

# Seconds and peak resident megabytes of one command.
measure() {
    /usr/bin/time -f "%e %M" -o "$work/time" "$@"
    read -r seconds kilobytes < "$work/time"
    echo "$seconds $((kilobytes / 1024))"
}

methods=${METHODS:-0 1 2}
# "new xz" is the new file alone under xz -9: what a download without any diff would take.
printf '%-6s %-6s %12s %12s %12s %10s %9s %10s %9s\n' pair method "old bytes" "new xz" "patch bytes" "gen s" "gen MB" \
    "apply s" "apply MB"
for mb in 1 10 100; do
    old=$work/old-${mb}M new=$work/new-${mb}M
    [ -f "$new" ] || "$tool" pair $((mb * 1000000)) "$mb" "$old" "$new"
    [ -f "$new.xz-bytes" ] || xz -9 -T1 -c "$new" | wc -c > "$new.xz-bytes"
    for method in $methods; do
        patch=$work/patch-${mb}M-m$method result=$work/result-${mb}M
        read -r gs gm < <(measure "$tool" generate "$old" "$new" "$patch" "$method")
        read -r as am < <(measure "$tool" apply "$old" "$patch" "$result")
        cmp -s "$new" "$result" || { echo "apply did not reproduce $new" >&2; exit 1; }
        printf '%-6s %-6s %12d %12d %12d %10s %9s %10s %9s\n' "${mb}M" "$method" "$(stat -c %s "$old")" \
            "$(cat "$new.xz-bytes")" "$(stat -c %s "$patch")" "$gs" "$gm" "$as" "$am"
        rm -f "$result"
    done
done
print_load end
