#!/usr/bin/env bash
# Fetches two Debian versions of some large shared libraries with `apt-get download` and unpacks each library
# file as <work>/<name>-old and <work>/<name>-new, so that delta tools can be measured on real executables.
# The two versions are the two newest that the configured package sources offer (usually the point release and
# its security update). Prints the pairs' names and versions. Not run by CI.
# Usage: benchmarks/library_pairs.sh [work-directory]   (default: build-bench/library-pairs)
set -euo pipefail
cd "$(dirname "$0")/.."
work=$(realpath -m "${1:-build-bench/library-pairs}")
mkdir -p "$work/debs"

# name  package  library path inside the package
pairs=(
    "libc        libc6                    lib/x86_64-linux-gnu/libc.so.6"
    "libcrypto   libssl3                  usr/lib/x86_64-linux-gnu/libcrypto.so.3"
    "libpython   libpython3.11            usr/lib/x86_64-linux-gnu/libpython3.11.so.1.0"
    "libgs       libgs10                  usr/lib/x86_64-linux-gnu/libgs.so.10.00"
    "libjvm      openjdk-17-jre-headless  usr/lib/jvm/java-17-openjdk-amd64/lib/server/libjvm.so"
)

for line in "${pairs[@]}"; do
    read -r name package path <<< "$line"
    mapfile -t versions < <(apt-cache madison "$package" | awk -F'|' '{ gsub(/ /, "", $2); print $2 }' |
        sort -u | sort -V -r | head -2)
    if [ "${#versions[@]}" -lt 2 ]; then
        echo "$package: fewer than two versions offered; skipped" >&2
        continue
    fi
    for side in new old; do
        version=${versions[0]}
        [ "$side" = old ] && version=${versions[1]}
        target=$work/$name-$side
        [ -f "$target" ] && [ -f "$target.version" ] && [ "$(cat "$target.version")" = "$version" ] && continue
        (cd "$work/debs" && apt-get download -q "$package=$version" > /dev/null)
        deb=$(ls "$work/debs/${package}_${version//:/%3a}_"*.deb | head -1)
        rm -rf "$work/unpack"
        dpkg-deb -x "$deb" "$work/unpack"
        cp "$work/unpack/$path" "$target"
        echo "$version" > "$target.version"
        rm -rf "$work/unpack"
    done
    printf '%-10s %-24s %s -> %s (%s bytes)\n' "$name" "$package" "$(cat "$work/$name-old.version")" \
        "$(cat "$work/$name-new.version")" "$(stat -c %s "$work/$name-new")"
done
