#!/usr/bin/env bash
# The updater's main job on a local demo, in one command: builds the program, lays out a version-1 client
# installation and a signed version-2 update tree (the updater's package and the client's), serves the tree
# with nginx on 127.0.0.1, starts "update" in the installation as a user would (step one updates the updater
# and hands over to the new one, which runs step two), with windows when a display is there, offscreen
# otherwise, and prints what happened.
# Usage: scripts/demo.sh [build-directory]   (default: build-demo; the demo itself goes into <build>/demo)
# With DEMO_INSTALL_PREFIX set, "cmake --install" first puts update and its translations there, and the demo runs
# that installed program instead of the one in the build directory.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-demo}

echo "Building update and the demo in $build ..."
mkdir -p "$build"
{ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo &&
    cmake --build "$build" --target update client_update_demo; } > "$build/demo-build.log" 2>&1 ||
    { cat "$build/demo-build.log"; exit 1; }
program="$build/src/update"
if [ -n "${DEMO_INSTALL_PREFIX:-}" ]; then
    cmake --install "$build" --prefix "$DEMO_INSTALL_PREFIX" > "$build/demo-install.log" 2>&1 ||
        { cat "$build/demo-install.log"; exit 1; }
    program="$DEMO_INSTALL_PREFIX/update"
    echo "Installed with cmake --install into $DEMO_INSTALL_PREFIX; the demo runs $program"
fi
"$build/tests/client_update_demo" "$program" "$build/demo"
