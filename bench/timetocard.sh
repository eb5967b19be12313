#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# From the source to a verified card: `tobra-installer --cli` against the pipeline that does the same
# work, `curl | xz -dc | dd` (or `zstd -dc`) onto the card, `mcopy` of the ROM into its FAT
# partition and a read-back of the card through `sha256sum`, in interleaved rounds of the same run.
# The line is the local test server throttled to TOBRA_BENCH_LINE_RATE; the card a loop device over
# the FUSE disk of the tests, its writes held to TOBRA_BENCH_CARD_RATE. The image is a card image
# with a FAT32 partition first and the rest half random, half zeros. Prints, per packer, the median
# of the first install (empty cache) and of the second (from the cache) against the pipeline, and
# for the raw image given as a local file against `dd` + `mcopy` + read-back; with the ratios
# (targets: first install <= 1.10, second <= 1.00, raw local file <= 1.05) and the installer's peak
# memory, the write helper included (target: <= 64 MiB, also for the large image).
#
#   TOBRA_BENCH_BUILD       release build folder (default: build/release)
#   TOBRA_BENCH_SIZE_MIB    image size (default: 1024)
#   TOBRA_BENCH_LARGE_MIB   image size for the second memory figure, raw and local (default: 4096;
#                           0 skips it)
#   TOBRA_BENCH_LINE_RATE   bytes per second of the line (default: 8000000)
#   TOBRA_BENCH_CARD_RATE   bytes per second the card writes (default: 20000000)
#   TOBRA_BENCH_ROUNDS      rounds of each (default: 3)
#   TOBRA_BENCH_FORMATS     packers to measure (default: "xz zstd")
#   TMPDIR                  where the files go (needs about three times the size free, more with
#                           the large image)
# Needs root (loop devices), curl, xz, zstd, mtools, sfdisk, mkfs.fat, /usr/bin/time and
# python3-fusepy. Runs against whatever the installer in the build does today.
set -euo pipefail
. "$(dirname "$0")/common.sh"
size_mib=${TOBRA_BENCH_SIZE_MIB:-1024}
large_mib=${TOBRA_BENCH_LARGE_MIB:-4096}
line_rate=${TOBRA_BENCH_LINE_RATE:-8000000}
card_rate=${TOBRA_BENCH_CARD_RATE:-20000000}
rounds=${TOBRA_BENCH_ROUNDS:-3}
formats=${TOBRA_BENCH_FORMATS:-xz zstd}
require_tools curl xz zstd mcopy mmd sfdisk mkfs.fat sha256sum losetup /usr/bin/time /usr/bin/python3
[ "$(id -u)" -eq 0 ] || { echo "needs root for loop devices" >&2; exit 1; }
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTOBRA_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target tobra-installer >/dev/null
installer=$build/app/tobra-installer
export MTOOLS_SKIP_CHECK=1

card=
fuse_pid=
stop_card() {
    [ -n "$card" ] && losetup -d "$card" 2>/dev/null || true
    card=
    if [ -n "$fuse_pid" ]; then
        umount "$work/fuse" 2>/dev/null || umount -l "$work/fuse" 2>/dev/null || true
        wait "$fuse_pid" 2>/dev/null || true
    fi
    fuse_pid=
}
trap 'stop_card; cleanup' EXIT

# A card of the given size in MiB: a loop device over the FUSE disk, writes held to the card rate.
start_card() {
    mkdir -p "$work/fuse"
    rm -f "$work/card.data"
    truncate -s "$(($1 + 64))M" "$work/card.data"
    /usr/bin/python3 "$root/tests/support/faultydisk.py" "$work/fuse" --backing "$work/card.data" \
        --write-rate "$card_rate" &
    fuse_pid=$!
    for _ in $(seq 100); do [ -e "$work/fuse/disk.img" ] && break; sleep 0.1; done
    for _ in $(seq 50); do card=$(losetup -f --show "$work/fuse/disk.img" 2>/dev/null) && return; sleep 0.2; done
    echo "no free loop device" >&2
    exit 1
}


make_card_image "$size_mib" "$work/served/bench.img"
entries=""
for format in $formats; do
    case $format in
        xz) xz -0 -T2 -k "$work/served/bench.img" ;;
        zstd) zstd -q -3 -T2 -k "$work/served/bench.img" -o "$work/served/bench.img.zstd" ;;
        *) echo "unknown packer $format" >&2; exit 1 ;;
    esac
    sum=$(sha256sum <"$work/served/bench.img.$format" | cut -d' ' -f1)
    entries="$entries{\"title\": \"Bench $format\", \"image\": \"bench.img.$format\", \"kickstart\": \"3.1\", \"sha256\": \"$sum\", \"image_size\": $((size_mib * 1048576))},"
done
mv "$work/served/bench.img" "$work/bench.img"
printf '{"schema": 1, "versions": [%s]}\n' "${entries%,}" >"$work/served/tobra.json"
head -c 262144 /dev/urandom >"$work/rom.bin"
start_server
line=$base/__q/rate=$line_rate
start_card "$size_mib"

# The installer, as root with a cache of its own; prints "<seconds> <peak KiB>".
run_installer() {
    HOME=$work/home XDG_CACHE_HOME=$work/cache PATH="$root/tests/support/removable-lsblk:$PATH" \
        TOBRA_REMOVABLE_DEVICES=$card measure "$installer" --cli --device "$card" --rom "$work/rom.bin" --yes \
        --config-url "$base/tobra.json" --image-base "$line/" "$@" ||
        { echo "installer failed: $(tail -n 3 "$work/out.txt")" >&2; exit 1; }
}

# The pipeline: source command, then the ROM into the FAT partition (mtools warns that a loop
# device has no geometry), then the read-back.
run_pipeline() {
    measure sh -c "$1 | dd of='$card' bs=4M iflag=fullblock conv=fsync status=none &&
        mcopy -o -i '$card@@1M' '$work/rom.bin' ::Rom/rom.bin 2>/dev/null && sync &&
        dd if='$card' bs=4M count=$((size_mib / 4)) iflag=direct status=none | sha256sum" ||
        { echo "pipeline failed" >&2; exit 1; }
}

median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
ratio() { awk "BEGIN { printf \"%.2f\", $1 / $2 }"; }
peak=0
note_peak() { [ "$1" -gt "$peak" ] && peak=$1 || true; }

echo "$size_mib MiB image, line $line_rate B/s, card $card_rate B/s, $rounds rounds"
for format in $formats; do
    pipeline=() first=() second=()
    for round in $(seq "$rounds"); do
        read -r seconds kib < <(run_pipeline "curl -sS '$line/bench.img.$format' | $format -dc")
        pipeline+=("$seconds")
        rm -rf "$work/cache"
        read -r seconds kib < <(run_installer --title "Bench $format")
        first+=("$seconds")
        note_peak "$kib"
        read -r seconds kib < <(run_installer --title "Bench $format")
        second+=("$seconds")
        note_peak "$kib"
        echo "$format round $round: pipeline ${pipeline[-1]} s, first install ${first[-1]} s, second ${second[-1]} s"
    done
    p=$(median "${pipeline[@]}") f=$(median "${first[@]}") s=$(median "${second[@]}")
    echo "$format median: pipeline $p s, first install $f s ($(ratio "$f" "$p")x, target <= 1.10)," \
        "second install $s s ($(ratio "$s" "$p")x, target <= 1.00)"
done

raw_tools=() raw_installer=()
for round in $(seq "$rounds"); do
    read -r seconds kib < <(run_pipeline "cat '$work/bench.img'")
    raw_tools+=("$seconds")
    read -r seconds kib < <(run_installer --image "$work/bench.img")
    raw_installer+=("$seconds")
    note_peak "$kib"
done
p=$(median "${raw_tools[@]}") i=$(median "${raw_installer[@]}")
echo "raw local image: dd + mcopy + read-back $p s, installer $i s ($(ratio "$i" "$p")x, target <= 1.05)"
echo "installer peak memory for $size_mib MiB: $((peak / 1024)) MiB (target <= 64)"

if [ "$large_mib" -gt 0 ]; then
    stop_card
    rm -f "$work/bench.img" "$work/served"/bench.img.*
    make_card_image "$large_mib" "$work/large.img"
    start_card "$large_mib"
    read -r seconds kib < <(run_installer --image "$work/large.img")
    echo "installer peak memory for $large_mib MiB (raw, local): $((kib / 1024)) MiB (target <= 64), $seconds s"
fi
