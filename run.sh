#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine, builds a release build and starts the installer
# with the given options.
set -euo pipefail
cd "$(dirname "$0")"
scripts/install-deps.sh build
build=build/release
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTOBRA_BUILD_TESTS=OFF >/dev/null
cmake --build "$build"
exec "$build/app/tobra-installer" "$@"
