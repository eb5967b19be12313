#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds the libFuzzer targets (clang, AddressSanitizer, UndefinedBehaviorSanitizer) in build/fuzz
# and runs each for a bounded time on its committed seeds (fuzz/corpus/<name>) plus what earlier
# runs found (build/fuzz/corpus/<name>). Then a sample of each FAT corpus is checked with fsck.fat.
# Any crash, hang or broken check fails the script; the input that shows it is kept in
# build/fuzz/artifacts. TOBRA_FUZZ_SECONDS sets one time for every target (longer local runs).
set -euo pipefail
cd "$(dirname "$0")/.."
build=build/fuzz
declare -A seconds=([lsblk]=40 [versionlist]=35 [helperoutput]=25 [imagestream]=30 [mountinfo]=20 [helperarguments]=20 [fatimage]=70
                   [fatwrites]=40)
targets=(lsblk versionlist helperoutput imagestream mountinfo helperarguments fatimage fatwrites)

cmake -S . -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DTOBRA_SANITIZE=ON -DTOBRA_FUZZ=ON -DTOBRA_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target "${targets[@]/#/fuzz_}"
mkdir -p "$build/artifacts" "$build/logs"

# run <name> <log> <libFuzzer arguments...>: prints the summary, or the end of the log on failure.
run() {
    local name=$1 log=$2
    shift 2
    if ! "$build/fuzz/fuzz_$name" -artifact_prefix="$build/artifacts/$name-" "$@" >"$log" 2>&1; then
        tail -n 60 "$log"
        echo "fuzz_$name: FEHLER, Eingabe in $build/artifacts, Protokoll $log" >&2
        exit 1
    fi
}

for name in "${targets[@]}"; do
    time=${TOBRA_FUZZ_SECONDS:-${seconds[$name]}}
    mkdir -p "$build/corpus/$name"
    options=(-max_total_time="$time" -timeout=10 -rss_limit_mb=2560 -print_final_stats=1)
    [ -f "fuzz/$name.dict" ] && options+=(-dict="fuzz/$name.dict")
    [ "$name" = fatimage ] && options+=(-max_len=262144)
    echo "== fuzz_$name, $time s"
    run "$name" "$build/logs/$name.log" "${options[@]}" "$build/corpus/$name" "fuzz/corpus/$name"
    grep -E '^#[0-9]+[[:space:]]+DONE' "$build/logs/$name.log"
done

# fsck.fat per input is slow, so only a sample of the grown FAT corpora gets the full check.
for name in fatimage fatwrites; do
    echo "== fuzz_$name with fsck.fat, sample of the corpus"
    mapfile -t sample < <(find "$build/corpus/$name" "fuzz/corpus/$name" -type f | shuf -n 150)
    TOBRA_FUZZ_FSCK=1 run "$name" "$build/logs/$name-fsck.log" "${sample[@]}"
    echo "${#sample[@]} inputs run"
done
