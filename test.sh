#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Sets up a fresh Debian 12 machine, builds with AddressSanitizer and
# UndefinedBehaviorSanitizer and runs every test through CTest.
set -euo pipefail
cd "$(dirname "$0")"
scripts/install-deps.sh test
build=build/asan
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTOBRA_SANITIZE=ON
cmake --build "$build"
ctest --test-dir "$build" --output-on-failure "$@"
# Each fuzz target for a bounded time (a few minutes in all), after the ordinary tests.
scripts/fuzz.sh
