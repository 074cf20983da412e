#!/usr/bin/env bash
# Whole-process comparison of unpacking an LZMA container file with `xz -d` on the same LZMA2 data.
# Usage: benchmarks/lzma_decode.sh [build-directory] [megabytes]   (defaults: build-bench, 120)
# The input is a reproducible mix of the system's shared libraries (binary, moderately compressible). xz packs
# it as a raw LZMA2 stream at preset 9; the container is that very stream behind the container header, so both
# decoders decode identical LZMA2 bytes. Prints wall time, CPU time and peak memory of each run (RUNS, default 5,
# alternating), then the medians, the ratio of wall times and the difference in peak memory.
set -euo pipefail
cd "$(dirname "$0")/.."
source benchmarks/common.sh
build=${1:-build-bench}
megabytes=${2:-120}
work="$build/lzma-bench"

build_bench "$build" lzmaunpack
print_load start
mkdir -p "$work"

if [ ! -s "$work/input" ] || [ "$(stat -c %s "$work/input")" -ne $((megabytes * 1000000)) ]; then
    find /usr/lib /usr/bin -type f -size +16k 2>/dev/null | LC_ALL=C sort | xargs cat 2>/dev/null \
        | head -c $((megabytes * 1000000)) > "$work/input" || true
    rm -f "$work/input.raw"
fi
if [ ! -s "$work/input.raw" ]; then
    xz --format=raw --lzma2=preset=9 -c "$work/input" > "$work/input.raw"
fi

# Container: varint32 magic, crc, directive 1, then the block: property 28 (64 MiB), varint32 size, stream.
python3 - "$work/input" "$work/input.raw" "$work/input.lzma" <<'PY'
import sys, zlib
def varint(v):
    out = bytearray()
    while v >= 0x80:
        out.append((v & 0x7F) | 0x80)
        v >>= 7
    out.append(v)
    return bytes(out)
crc = 0
size = 0
with open(sys.argv[1], 'rb') as f:
    while chunk := f.read(1 << 20):
        crc = zlib.crc32(chunk, crc)
        size += len(chunk)
with open(sys.argv[3], 'wb') as out, open(sys.argv[2], 'rb') as raw:
    out.write(varint(0x07EA1769) + varint(~crc & 0xFFFFFFFF) + varint(1) + bytes([28]) + varint(size))
    while chunk := raw.read(1 << 20):
        out.write(chunk)
PY

runs=${RUNS:-5}
# Wall seconds and peak resident KiB of one command, appended to the file $1; printed as well.
measure() {
    local label=$1 log=$2
    shift 2
    /usr/bin/time -f "%e %U %S %M" -o "$work/time" "$@"
    read -r wall user system rss < "$work/time"
    echo "$label: $wall s wall, $user s user, $system s system, $rss KiB peak RSS"
    echo "$wall $rss" >> "$log"
}
echo "input $(stat -c %s "$work/input") bytes, LZMA2 stream $(stat -c %s "$work/input.raw") bytes"
: > "$work/runs-unpack"
: > "$work/runs-xz"
# Interleaved, so that a change in the machine's load falls on both alike.
for run in $(seq 1 "$runs"); do
    rm -f "$work/out.unpack" "$work/out.xz"
    measure "lzmaunpack (run $run)" "$work/runs-unpack" "$build/benchmarks/lzmaunpack" "$work/input.lzma" "$work/out.unpack"
    measure "xz -d      (run $run)" "$work/runs-xz" \
        sh -c "xz -d --format=raw --lzma2=dict=64MiB -c '$work/input.raw' > '$work/out.xz'"
done
cmp "$work/input" "$work/out.unpack"
cmp "$work/input" "$work/out.xz"
echo "both outputs match the input"
unpack_wall=$(cut -d' ' -f1 "$work/runs-unpack" | median)
xz_wall=$(cut -d' ' -f1 "$work/runs-xz" | median)
unpack_rss=$(cut -d' ' -f2 "$work/runs-unpack" | median)
xz_rss=$(cut -d' ' -f2 "$work/runs-xz" | median)
awk -v uw="$unpack_wall" -v xw="$xz_wall" -v ur="$unpack_rss" -v xr="$xz_rss" -v n="$runs" 'BEGIN {
    printf "medians of %d: lzmaunpack %.2f s, %d KiB; xz -d %.2f s, %d KiB\n", n, uw, ur, xw, xr
    printf "lzmaunpack / xz -d wall time = %.3f; peak RSS difference = %+.1f MiB\n", uw / xw, (ur - xr) / 1024
}'
print_load end
