#!/usr/bin/env bash
# Rebuilds the small ELF executables the disassembler tests read, from
# tests/corvapatch/fixtures/elf/program.c, with clang and lld (scripts/install-deps.sh installs both).
# The outputs are committed, so the tests do not depend on the compiler; run this only to change them.
# Usage: scripts/make-elf-fixtures.sh
set -euo pipefail
cd "$(dirname "$0")/../tests/corvapatch/fixtures/elf"

common=(-O1 -nostdlib -ffreestanding -fno-builtin -fvisibility=hidden -fuse-ld=lld -Wl,--build-id=none)
static=(-static -fno-pic -Wl,--no-pie)
pic=(-shared -fPIC)
textrel=(-shared -fno-pic -Wl,-z,notext)

build() {   # build <output> <target and flags...>
    local out=$1
    shift
    clang "${common[@]}" "$@" program.c -o "$out"
}

build x86-static         -target i386-linux-gnu "${static[@]}"
build x86-pic.so         -target i386-linux-gnu "${pic[@]}"
build x86-pic-changed.so -target i386-linux-gnu "${pic[@]}" -DCHANGE=1
build x86-textrel.so     -target i386-linux-gnu "${textrel[@]}"

build x64-static         -target x86_64-linux-gnu "${static[@]}"
build x64-pic.so         -target x86_64-linux-gnu "${pic[@]}"

build arm-static         -target armv7-linux-gnueabihf -marm "${static[@]}"
build arm-pic.so         -target armv7-linux-gnueabihf -marm "${pic[@]}"
build arm-textrel.so     -target armv7-linux-gnueabihf -marm -mno-movt "${textrel[@]}"
build thumb-static       -target armv7-linux-gnueabihf -mthumb "${static[@]}"
build thumb-pic.so       -target armv7-linux-gnueabihf -mthumb "${pic[@]}"
build thumb-pic-changed.so -target armv7-linux-gnueabihf -mthumb "${pic[@]}" -DCHANGE=1
