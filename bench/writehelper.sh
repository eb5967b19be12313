#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Writing and verifying an image on a loop device: `tobra-installer --write-helper … --verify`
# against `dd bs=4M conv=fsync` followed by a cache-bypassing read-back (`dd iflag=direct`)
# piped into `openssl dgst -sha256`, in the same run. Prints the median of interleaved rounds of
# each and their ratio (target: at most 1.00); the helper's peak memory for the normal and a large
# image (target: the same for both, under 32 MB); and, on a slow card (a loop device over the FUSE
# disk of the tests, holding writes to about 20 MB/s), how long the helper stays silent between its
# last "write" line and its first "verify" line. The check for fake cards that runs before the
# write is timed on its own (bench_capacity), on the plain loop device and on the slow card
# (target: at most about 2 s).
#
#   TOBRA_BENCH_BUILD       release build folder (default: build/release)
#   TOBRA_BENCH_SIZE_MIB    image size for the comparison and the slow card (default: 1024)
#   TOBRA_BENCH_LARGE_MIB   image size for the second memory figure (default: 4096; 0 skips it)
#   TOBRA_BENCH_ROUNDS      rounds per program (default: 5)
#   TOBRA_BENCH_SLOW_RATE   bytes per second of the slow card (default: 20000000; 0 skips it)
#   TMPDIR                  where the files go (needs twice the large size free)
# Needs root (loop devices), /usr/bin/time, openssl and, for the slow card, python3-fusepy.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${TOBRA_BENCH_BUILD:-$root/build/release}
size_mib=${TOBRA_BENCH_SIZE_MIB:-1024}
large_mib=${TOBRA_BENCH_LARGE_MIB:-4096}
rounds=${TOBRA_BENCH_ROUNDS:-5}
slow_rate=${TOBRA_BENCH_SLOW_RATE:-20000000}
for tool in dd openssl losetup /usr/bin/time /usr/bin/python3; do
    command -v "$tool" >/dev/null || { echo "missing: $tool (scripts/install-deps.sh bench)" >&2; exit 1; }
done
[ "$(id -u)" -eq 0 ] || { echo "needs root for loop devices" >&2; exit 1; }

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTOBRA_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target tobra-installer bench_capacity >/dev/null
installer=$build/app/tobra-installer
capacity_check=$build/bench/bench_capacity

work=$(mktemp -d "${TMPDIR:-/tmp}/tobra-bench.XXXXXX")
loops=()
fuse_pid=
cleanup() {
    for loop in "${loops[@]}"; do losetup -d "$loop" 2>/dev/null || true; done
    if [ -n "$fuse_pid" ]; then
        umount "$work/fuse" 2>/dev/null || umount -l "$work/fuse" 2>/dev/null || true
        wait "$fuse_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT

# Attaches a file to a free loop device; other users may take the same free device meanwhile.
attach() {
    local loop
    for _ in $(seq 50); do
        if loop=$(losetup -f --show "$1" 2>/dev/null); then
            loops+=("$loop")
            echo "$loop"
            return
        fi
        sleep 0.2
    done
    echo "no free loop device" >&2
    exit 1
}

detach() {
    losetup -d "$1"
    local kept=()
    for loop in "${loops[@]}"; do [ "$loop" = "$1" ] || kept+=("$loop"); done
    loops=("${kept[@]+"${kept[@]}"}")
}

make_image() { head -c "$2M" /dev/urandom >"$1"; }

# Runs the helper with the loop device shown removable; peak memory in KiB goes to the file $3.
run_helper() {
    PATH="$root/tests/support/removable-lsblk:$PATH" TOBRA_REMOVABLE_DEVICES="$2" \
        /usr/bin/time -f %M -o "$3" "$installer" --write-helper "$1" "$2" --verify </dev/null
}

now() { date +%s.%N; }
calc() { awk "BEGIN { print $1 }"; }
median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

echo "write and verify $size_mib MiB onto a loop device, $rounds rounds each"
make_image "$work/image" "$size_mib"
truncate -s "${size_mib}M" "$work/card"
card=$(attach "$work/card")
cat "$work/image" >/dev/null
dd_times=()
helper_times=()
for round in $(seq "$rounds"); do
    sync
    start=$(now)
    dd if="$work/image" of="$card" bs=4M conv=fsync status=none
    dd if="$card" bs=4M count=$((size_mib / 4)) iflag=direct status=none | openssl dgst -sha256 >/dev/null
    dd_time=$(calc "$(now) - $start")
    sync
    start=$(now)
    last=$(run_helper "$work/image" "$card" "$work/rss" | tail -n 1)
    helper_time=$(calc "$(now) - $start")
    [ "$last" = DONE ] || { echo "helper failed: $last" >&2; exit 1; }
    printf 'round %d: dd + dd|openssl %.2f s, helper %.2f s\n' "$round" "$dd_time" "$helper_time"
    dd_times+=("$dd_time")
    helper_times+=("$helper_time")
done
rss_normal=$(cat "$work/rss")
median_dd=$(median "${dd_times[@]}")
median_helper=$(median "${helper_times[@]}")
printf 'median: dd + dd|openssl %.2f s, helper %.2f s, ratio helper / dd %.3f (target <= 1.00)\n' \
    "$median_dd" "$median_helper" "$(calc "$median_helper / $median_dd")"
printf 'check for fake cards on the loop device: %.3f s\n' "$("$capacity_check" "$card")"
detach "$card"
rm -f "$work/card"

if [ "$large_mib" -gt 0 ]; then
    make_image "$work/large" "$large_mib"
    truncate -s "${large_mib}M" "$work/card"
    card=$(attach "$work/card")
    last=$(run_helper "$work/large" "$card" "$work/rss" | tail -n 1)
    [ "$last" = DONE ] || { echo "helper failed: $last" >&2; exit 1; }
    detach "$card"
    rm -f "$work/card" "$work/large"
    printf 'helper peak memory: %d KiB for %d MiB, %d KiB for %d MiB (target: equal, < 32 MB)\n' \
        "$rss_normal" "$size_mib" "$(cat "$work/rss")" "$large_mib"
else
    printf 'helper peak memory: %d KiB for %d MiB\n' "$rss_normal" "$size_mib"
fi

if [ "$slow_rate" -gt 0 ]; then
    mkdir "$work/fuse"
    truncate -s "$((size_mib + 1))M" "$work/slow"
    /usr/bin/python3 "$root/tests/support/faultydisk.py" "$work/fuse" --backing "$work/slow" \
        --write-rate "$slow_rate" &
    fuse_pid=$!
    for _ in $(seq 100); do [ -e "$work/fuse/disk.img" ] && break; sleep 0.1; done
    card=$(attach "$work/fuse/disk.img")
    printf 'check for fake cards on the slow card: %.3f s (target: about 2 s at most)\n' \
        "$("$capacity_check" "$card" 3)"
    start=$(now)
    run_helper "$work/image" "$card" "$work/rss" | while IFS= read -r line; do
        echo "$(now) $line"
    done >"$work/lines"
    detach "$card"
    grep -q ' DONE$' "$work/lines" || { echo "helper failed: $(tail -n 1 "$work/lines")" >&2; exit 1; }
    last_write=$(grep ' PROGRESS write ' "$work/lines" | tail -n 1 | cut -d' ' -f1)
    first_verify=$(grep ' PROGRESS verify ' "$work/lines" | head -n 1 | cut -d' ' -f1)
    done_at=$(tail -n 1 "$work/lines" | cut -d' ' -f1)
    printf 'slow card (%d B/s), %d MiB: last write line after %.1f s, then %.1f s silent until the first verify line, DONE after %.1f s\n' \
        "$slow_rate" "$size_mib" "$(calc "$last_write - $start")" "$(calc "$first_verify - $last_write")" \
        "$(calc "$done_at - $start")"
fi
