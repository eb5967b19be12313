#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Several cards from one pass: `tobra-installer --cli` with three `--device` writes one raw image to
# three cards whose writes are held to 20, 20 and 10 MB/s (loop devices over the FUSE disk of the
# tests), against the same installer writing the slowest card alone, in interleaved rounds of the
# same run. Prints the medians and their ratio (target: three cards <= 1.10x the slowest alone) and
# the peak memory of the installer and its write helper together, sampled from their process tree
# (target: <= 96 MiB), beside GNU time's figure (the larger of the two processes, as
# bench/timetocard.sh reports it).
#
#   TOBRA_BENCH_BUILD       release build folder (default: build/release)
#   TOBRA_BENCH_SIZE_MIB    image size (default: 1024)
#   TOBRA_BENCH_CARD_RATES  bytes per second of each card (default: "20000000 20000000 10000000";
#                           the last is the slowest, measured alone as well)
#   TOBRA_BENCH_ROUNDS      rounds of each (default: 1)
#   TMPDIR                  where the files go (needs about four times the size free)
# Needs root (loop devices), mtools, sfdisk, mkfs.fat, /usr/bin/time and python3-fusepy.
set -euo pipefail
. "$(dirname "$0")/common.sh"
size_mib=${TOBRA_BENCH_SIZE_MIB:-1024}
read -r -a rates <<<"${TOBRA_BENCH_CARD_RATES:-20000000 20000000 10000000}"
rounds=${TOBRA_BENCH_ROUNDS:-1}
require_tools mmd sfdisk mkfs.fat losetup /usr/bin/time /usr/bin/python3
[ "$(id -u)" -eq 0 ] || { echo "needs root for loop devices" >&2; exit 1; }
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTOBRA_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target tobra-installer >/dev/null
installer=$build/app/tobra-installer

cards=() fuse_pids=()
stop_cards() {
    for card in "${cards[@]}"; do losetup -d "$card" 2>/dev/null || true; done
    for i in "${!fuse_pids[@]}"; do
        umount "$work/fuse$i" 2>/dev/null || umount -l "$work/fuse$i" 2>/dev/null || true
        wait "${fuse_pids[$i]}" 2>/dev/null || true
    done
    cards=() fuse_pids=()
}
trap 'stop_cards; cleanup' EXIT

# Card number $1 of $2 MiB, writes held to $3 bytes per second: a loop device over a FUSE disk.
start_card() {
    mkdir -p "$work/fuse$1"
    truncate -s "$(($2 + 64))M" "$work/card$1.data"
    /usr/bin/python3 "$root/tests/support/faultydisk.py" "$work/fuse$1" --backing "$work/card$1.data" \
        --write-rate "$3" &
    fuse_pids+=($!)
    for _ in $(seq 100); do [ -e "$work/fuse$1/disk.img" ] && break; sleep 0.1; done
    for _ in $(seq 50); do
        if card=$(losetup -f --show "$work/fuse$1/disk.img" 2>/dev/null); then
            cards+=("$card")
            return
        fi
        sleep 0.2
    done
    echo "no free loop device" >&2
    exit 1
}


# The largest sum of proportional resident memory (shared pages split among their users, so the
# libraries the installer and its helper share count once) over process $1 and its descendants that
# run the installer's program (the helper is the same program; the tests' Python stand-in for lsblk
# is not part of it), in KiB, sampled every 0.1 s until it ends.
tree_peak() {
    local peak=0 sum pids program
    program=$(readlink -f "/proc/$1/exe")
    while kill -0 "$1" 2>/dev/null; do
        pids="$1 $(ps -o pid= --ppid "$1")"
        pids="$pids $(for pid in $pids; do ps -o pid= --ppid "$pid"; done)"
        sum=$(for pid in $pids; do
                if [ "$(readlink -f "/proc/$pid/exe" 2>/dev/null)" = "$program" ]; then
                    awk '/^Pss:/ { print $2 }' "/proc/$pid/smaps_rollup" 2>/dev/null || true
                fi
            done |
            awk '{ s += $1 } END { print s + 0 }')
        [ "$sum" -gt "$peak" ] && peak=$sum
        sleep 0.1
    done
    echo "$peak"
}

# The installer, as root with a cache of its own, onto the cards given; prints
# "<seconds> <GNU time's peak KiB> <sampled peak KiB of the tree>".
run_installer() {
    local devices=() list=""
    for card in "$@"; do devices+=(--device "$card"); list="$list${list:+:}$card"; done
    HOME=$work/home XDG_CACHE_HOME=$work/cache PATH="$root/tests/support/removable-lsblk:$PATH" \
        TOBRA_REMOVABLE_DEVICES=$list /usr/bin/time -f '%e %M' -o "$work/time.txt" \
        "$installer" --cli "${devices[@]}" --rom "$work/rom.bin" --yes --image "$work/bench.img" \
        >"$work/out.txt" 2>&1 &
    local timer=$!
    sleep 0.5
    local tree
    tree=$(tree_peak "$(ps -o pid= --ppid "$timer" | head -1 | tr -d ' ')")
    wait "$timer" || { echo "installer failed: $(tail -n 5 "$work/out.txt")" >&2; exit 1; }
    echo "$(cat "$work/time.txt") $tree"
}

median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
ratio() { awk "BEGIN { printf \"%.2f\", $1 / $2 }"; }

make_card_image "$size_mib" "$work/bench.img"
head -c 262144 /dev/urandom >"$work/rom.bin"
for i in "${!rates[@]}"; do start_card "$i" "$size_mib" "${rates[$i]}"; done
slowest=${cards[-1]}

echo "$size_mib MiB raw local image, cards at ${rates[*]} B/s, $rounds rounds"
together=() alone=() peak_time=0 peak_tree=0
for round in $(seq "$rounds"); do
    read -r seconds kib tree < <(run_installer "${cards[@]}")
    together+=("$seconds")
    [ "$kib" -gt "$peak_time" ] && peak_time=$kib
    [ "$tree" -gt "$peak_tree" ] && peak_tree=$tree
    read -r seconds kib tree < <(run_installer "$slowest")
    alone+=("$seconds")
    echo "round $round: ${#cards[@]} cards ${together[-1]} s, the slowest card alone ${alone[-1]} s"
done
t=$(median "${together[@]}") a=$(median "${alone[@]}")
echo "median: ${#cards[@]} cards $t s, the slowest card alone $a s ($(ratio "$t" "$a")x, target <= 1.10)"
echo "peak memory with ${#cards[@]} cards: installer and helper together $((peak_tree / 1024)) MiB" \
    "(target <= 96), GNU time $((peak_time / 1024)) MiB"
