#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# What the progress display costs: a ProgressMeter update per report and ten status texts a second,
# per report of a transfer at 100 MB/s reported every 16 KiB, as a share of one core (target:
# far below 1 %, i.e. nothing a download or write would show).
#
#   TOBRA_BENCH_BUILD  release build folder (default: build/release)
#   TOBRA_BENCH_REPORTS reports timed (default: 200000)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${TOBRA_BENCH_BUILD:-$root/build/release}
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTOBRA_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target bench_progress >/dev/null
"$build/bench/bench_progress" "${TOBRA_BENCH_REPORTS:-200000}"
