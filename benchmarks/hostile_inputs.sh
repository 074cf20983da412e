#!/usr/bin/env bash
# Times small hostile inputs as whole processes, each fed to the engine as the updater feeds it: ensemble patches
# through the patch task's call (with the listed size as its cap where the row says so), executables through
# the disassembly a patch element gets, the packed product ini through its unpack (cap 32 MiB, plain form only).
# Prints the engine's answer, wall time and peak memory of each. Inputs are made from Debian's xz and bash.
# RUNNER=<another build's hostile_inputs> times that build on the same inputs (its extra arguments are ignored).
# Not run by CI. Usage: [RUNNER=path] benchmarks/hostile_inputs.sh [work-directory]   (default: build-bench/hostile)
set -euo pipefail
cd "$(dirname "$0")/.."
source benchmarks/common.sh
build=build-bench
work=${1:-$build/hostile}

build_bench "$build" hostile_inputs
runner=${RUNNER:-$build/benchmarks/hostile_inputs}
mkdir -p "$work"
[ -f "$work/sections-back-and-forth.patch" ] || "$build/benchmarks/hostile_inputs" make "$work" /usr/bin/xz /usr/bin/bash

row() {
    local name=$1
    shift
    local answer
    answer=$(/usr/bin/time -f "%e %M" -o "$work/time" "$runner" "$@" 2> /dev/null || echo "crashed")
    read -r seconds kilobytes < "$work/time"
    printf '%-48s %8s %8s s %8d MiB\n' "$name" "$answer" "$seconds" "$((kilobytes / 1024))"
    rm -f "$work/out"
}

printf '%-48s %8s %10s %12s\n' input answer time peak
row "2.5 KB patch, 16 Mi element kinds" patch "$work/old.elf" "$work/kinds.patch" "$work/out"
row "1 KB patch, 10^6 elements each the whole xz" patch "$work/old.elf" "$work/million.patch" "$work/out"
row "67-byte patch, 200 elements over bash" patch "$work/old-large.elf" "$work/overlapping.patch" "$work/out"
row "153 KiB patch to 1 GiB of zeros, listed 1 MiB" patch "$work/old.elf" "$work/zeros.patch" "$work/out" 1048576
row "800 KB ELF, 20,000 relocation sections" parse "$work/relocation-sections.elf"
row "171 KB ELF, 1,000 program-bits sections" parse "$work/progbits-sections.elf"
row "900 KB Mach-O, 10,000 code sections" parse "$work/code-sections.macho"
row "3.1 MB ELF, 65,535 program headers" parse "$work/program-headers.elf"
row "3.7 MB PE, 65,535 sections" parse "$work/sections.pe"
row "54-byte patch, 3.7 MB ELF, headers back and forth" patch "$work/sections-back-and-forth.elf" \
    "$work/sections-back-and-forth.patch" "$work/out"
row "4.7 KiB packed ini, executable form" unpack "$work/ini.lzma2" "$work/out" 33554432 plain
