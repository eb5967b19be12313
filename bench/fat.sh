#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Writing a 512 KiB file into Rom of a sparse FAT32 image behind an MBR: FatImage against
# `mcopy -o -i image@@offset`, in the same run and on the same image, for each image size. Both
# replace the file each round. FatImage is timed inside its process (open, write, close: in the
# installer it runs inside the window), mcopy as the whole process it is; the start-up time of
# the bench_fat process is shown beside it. Prints the best of several rounds and the ratio
# FatImage / mcopy (target: at most 1.0).
#
#   TOBRA_BENCH_BUILD     release build folder (default: build/release)
#   TOBRA_BENCH_SIZES_GIB image sizes (default: "1 8")
#   TOBRA_BENCH_ROUNDS    rounds per program (default: 7)
#   TMPDIR                where the images go (sparse: a few MiB each)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${TOBRA_BENCH_BUILD:-$root/build/release}
sizes=${TOBRA_BENCH_SIZES_GIB:-1 8}
rounds=${TOBRA_BENCH_ROUNDS:-9}
for tool in mkfs.fat sfdisk mmd mcopy cmp; do
    command -v "$tool" >/dev/null || { echo "missing: $tool" >&2; exit 1; }
done

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTOBRA_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target bench_fat >/dev/null
driver=$build/bench/bench_fat

work=$(mktemp -d "${TMPDIR:-/tmp}/tobra-bench-fat.XXXXXX")
trap 'rm -rf "$work"' EXIT
head -c 512K /dev/urandom >"$work/rom.bin"
offset=$((2048 * 512))

# Seconds a command takes, to the microsecond.
seconds() {
    local start=$EPOCHREALTIME
    "$@" >/dev/null
    awk "BEGIN { printf \"%.6f\", $EPOCHREALTIME - $start }"
}
best() { sort -n | head -1; }

printf '%-6s %12s %12s %8s %18s\n' size fatimage_s mcopy_s ratio bench_fat_process_s
for gib in $sizes; do
    image=$work/disk-$gib.img
    truncate -s "${gib}G" "$image"
    sectors=$((gib * 1024 * 1024 * 2 - 2048))
    echo "start=2048, size=$sectors, type=c" | sfdisk -q "$image"
    mkfs.fat -F 32 --offset=2048 "$image" $((sectors / 2)) >/dev/null
    mmd -i "$image@@$offset" ::Rom

    : >"$work/mcopy.txt"
    : >"$work/process.txt"
    ours=$("$driver" "$image" "$work/rom.bin" Rom rom.bin "$rounds")
    for _ in $(seq "$rounds"); do
        seconds mcopy -o -i "$image@@$offset" "$work/rom.bin" ::Rom/rom.bin >>"$work/mcopy.txt"
        echo >>"$work/mcopy.txt"
        seconds "$driver" "$image" "$work/rom.bin" Rom rom.bin 1 >>"$work/process.txt"
        echo >>"$work/process.txt"
    done
    "$driver" "$image" "$work/rom.bin" Rom rom.bin 1 >/dev/null
    mcopy -n -i "$image@@$offset" ::Rom/rom.bin - | cmp - "$work/rom.bin"

    theirs=$(best <"$work/mcopy.txt")
    process=$(best <"$work/process.txt")
    printf '%-6s %12s %12s %8s %18s\n' "${gib}GiB" "$ours" "$theirs" \
        "$(awk "BEGIN { printf \"%.2f\", $ours / $theirs }")" "$process"
    rm -f "$image"
done
