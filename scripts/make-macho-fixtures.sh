#!/usr/bin/env bash
# Rebuilds the small Mach-O files the disassembler tests read, from the program the ELF fixtures are built from
# (tests/corvapatch/fixtures/elf/program.c), with clang and ld64.lld (scripts/install-deps.sh installs both):
# an x86-64 executable, dylib and bundle, and a changed dylib for the patch test. No Debian linker writes 32-bit
# x86 Mach-O, so the i386 files are clang objects whose file type is turned into executable (2) and dylib (6).
# The outputs are committed, so the tests do not depend on the compiler; run this only to change them.
# Usage: scripts/make-macho-fixtures.sh
set -euo pipefail
cd "$(dirname "$0")/../tests/corvapatch/fixtures/macho"
source=../elf/program.c
ld64=$(command -v ld64.lld || echo /usr/lib/llvm-14/bin/ld64.lld)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cflags=(-O1 -ffreestanding -fno-builtin -fno-stack-protector)

link64() {   # link64 <output> <ld64 mode flags...> -- <extra clang flags...>
    local out=$1
    shift
    local ldflags=()
    while [ "$1" != "--" ]; do ldflags+=("$1"); shift; done
    shift
    clang -target x86_64-apple-macos11 "${cflags[@]}" "$@" -c "$source" -o "$work/program.o"
    "$ld64" -arch x86_64 -platform_version macos 11.0 11.0 "${ldflags[@]}" "$work/program.o" -o "$out"
}

link64 x64-exe              -execute -e __start --
link64 x64.dylib            -dylib --
link64 x64-changed.dylib    -dylib -- -DCHANGE=1
link64 x64.bundle           -bundle --

object32() {   # object32 <output> <file type> <extra clang flags...>
    local out=$1 type=$2
    shift 2
    clang -target i386-apple-macos10.13 "${cflags[@]}" "$@" -c "$source" -o "$out"
    printf "\\x$(printf %02x "$type")" | dd of="$out" bs=1 seek=12 conv=notrunc status=none
}

object32 x86-exe             2
object32 x86.dylib           6
object32 x86-changed.dylib   6 -DCHANGE=1
