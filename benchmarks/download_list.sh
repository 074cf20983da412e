#!/usr/bin/env bash
# Whole-process comparison of the updater's download step with curl --parallel on the same file tree,
# served by nginx on 127.0.0.1 (a free port). Not run by CI.
#
# Usage: benchmarks/download_list.sh [build-dir] [small-files] [large-files] [runs]
#   defaults: build-bench 2000 20 3. Small files are 1..64 KiB, large files 4 MiB; every manifest line carries
#   the file's SHA-512, so the updater checks each file as it does in an update.
#   The large-file tree alone: benchmarks/download_list.sh build-bench 0 40
# Prints wall time, CPU time and peak memory of each run, then the medians of the wall times and their ratio;
# the two clients take turns. Every run's files are checked with sha512sum.
set -euo pipefail
cd "$(dirname "$0")/.."
source benchmarks/common.sh
build=${1:-build-bench}
small=${2:-2000}
large=${3:-20}
runs=${4:-3}
streams=6

build_bench "$build" download_list_bench
print_load start
bench="$PWD/$build/benchmarks/download_list_bench"

work=$(mktemp -d)
nginx_pid=""
cleanup() {
    [ -n "$nginx_pid" ] && kill "$nginx_pid" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

# The tree: <root>/7/tree/dNN/fNNNN.bin, and a manifest "section name size sha512" for the updater.
root="$work/www"
python3 - "$root/7/tree" "$small" "$large" <<'PY'
import os, random, sys
base, small, large = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
rnd = random.Random(7)
for i in range(small + large):
    d = os.path.join(base, "d%02d" % (i % 50))
    os.makedirs(d, exist_ok=True)
    size = 4 * 1024 * 1024 if i >= small else rnd.randint(1024, 64 * 1024)
    with open(os.path.join(d, "f%05d.bin" % i), "wb") as f:
        f.write(os.urandom(size))
PY
(cd "$root/7/tree" && find . -type f -printf '%P\n' | sort | while read -r name; do
    printf 'tree %s %s %s\n' "$name" "$(stat -c %s "$name")" "$(sha512sum "$name" | cut -d' ' -f1)"
done) > "$work/manifest"
(cd "$root/7/tree" && find . -type f -printf '%P\n' | sort | xargs sha512sum) > "$work/sums"
files=$(wc -l < "$work/manifest")
bytes=$(awk '{s += $3} END {print s}' "$work/manifest")

start_nginx "$work" "$root" "7/tree/$(head -1 "$work/manifest" | cut -d' ' -f2)"

# curl gets the same URLs and the same number of transfers at once.
while read -r _ name _ _; do
    printf 'url = "%s/7/tree/%s"\noutput = "%s"\n' "$base" "$name" "$name"
done < "$work/manifest" > "$work/curl.cfg"

echo "tree: $files files, $bytes bytes; $streams transfers at once; $runs runs each"
measure() { # label, directory to check, command...
    local label=$1 dir=$2
    shift 2
    rm -rf "$dir"
    mkdir -p "$dir"
    /usr/bin/time -o "$work/time" -f '%e %U %S %M' "$@" >"$work/out" 2>&1 || {
        echo "$label: failed"; cat "$work/out"; return 1; }
    (cd "$dir" && sha512sum --quiet -c "$work/sums") || { echo "$label: files differ"; return 1; }
    read -r wall user sys rss < "$work/time"
    echo "$wall" >> "$work/$label.walls"
    awk -v l="$label" -v w="$wall" -v u="$user" -v s="$sys" -v r="$rss" -v b="$bytes" \
        'BEGIN { printf "%-8s wall %6.2f s  user %5.2f s  sys %5.2f s  max RSS %7.1f MB  %7.1f MB/s\n", l, w, u, s, r / 1024, b / w / 1e6 }'
}
for run in $(seq "$runs"); do
    measure updater "$work/out-updater" "$bench" "$base" 7 "$work/manifest" "$work/out-updater" "$streams"
    measure curl "$work/out-curl" sh -c "cd '$work/out-curl' && curl --parallel --parallel-max $streams --create-dirs -sS -f -K '$work/curl.cfg'"
done

awk -v u="$(median < "$work/updater.walls")" -v c="$(median < "$work/curl.walls")" \
    'BEGIN { printf "median wall: updater %.2f s, curl %.2f s, ratio %.2f\n", u, c, u / c }'
print_load end
