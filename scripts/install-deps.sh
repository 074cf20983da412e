#!/usr/bin/env bash
# Installs every Debian package the build, the tests, the fuzzers, the benchmarks and the demo use.
# Safe to run again: apt-get skips what is already there.
set -euo pipefail

packages=(
    cmake ninja-build pkg-config g++
    qtbase5-dev qttools5-dev qttools5-dev-tools
    libprotobuf-dev protobuf-compiler
    libtomcrypt-dev libtommath-dev libssl-dev
    zlib1g-dev liblzma-dev libboost-dev
    libgtest-dev libgmock-dev libbenchmark-dev
    clang libclang-rt-14-dev lld
    mingw-w64-i686-dev mingw-w64-x86-64-dev gcc-mingw-w64-i686-win32-runtime gcc-mingw-w64-x86-64-win32-runtime
    openssl xz-utils nginx-light time xdelta3 zstd bsdiff acl
    libc6-i386 libc6-armhf-cross
    xvfb xauth fonts-dejavu-core
)

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    export DEBIAN_FRONTEND=noninteractive
    $sudo apt-get update -qq
    $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
