#!/usr/bin/env bash
# Rebuilds the small PE executables and libraries the disassembler tests read, from the program the ELF
# fixtures are built from (tests/corvapatch/fixtures/elf/program.c), with clang and lld-link
# (scripts/install-deps.sh installs both). Every output has a base relocation table. The outputs are committed,
# so the tests do not depend on the compiler; run this only to change them.
# Usage: scripts/make-pe-fixtures.sh
set -euo pipefail
cd "$(dirname "$0")/../tests/corvapatch/fixtures/pe"
source=../elf/program.c
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

build() {   # build <output> <clang target> <machine> <extra clang flags...> -- <extra link flags...>
    local out=$1 target=$2 machine=$3
    shift 3
    local cflags=()
    while [ "$1" != "--" ]; do cflags+=("$1"); shift; done
    shift
    clang -target "$target" -O1 -ffreestanding -fno-builtin -fno-stack-protector "${cflags[@]}" \
        -c "$source" -o "$work/program.obj"
    lld-link /nodefaultlib /machine:"$machine" /dynamicbase /entry:_start /subsystem:console /timestamp:0 \
        /Brepro "$@" "$work/program.obj" /out:"$out"
}

build x86.exe         i686-pc-windows-msvc   x86 --
build x86.dll         i686-pc-windows-msvc   x86 -- /dll /export:_start
build x86-changed.dll i686-pc-windows-msvc   x86 -DCHANGE=1 -- /dll /export:_start
build x64.exe         x86_64-pc-windows-msvc x64 --
build x64.dll         x86_64-pc-windows-msvc x64 -- /dll /export:_start
build x64-changed.dll x86_64-pc-windows-msvc x64 -DCHANGE=1 -- /dll /export:_start
rm -f ./*.lib
