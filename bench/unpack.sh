#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Downloading a packed image from a local HTTP server: Downloader, which hashes what arrives and
# unpacks it on a second thread in the same pass, against `curl -o`, then `xz -dc` (or `zstd -dc`)
# into a file, then `sha256sum` of the download, in the same run. The image is half random, half
# zeros. Prints the best of several rounds of each, the ratio (target: at most 0.7) and the peak
# memory of each program; the Downloader's peak is also measured for a 256 MiB image, to show that
# memory stays flat.
#
#   TOBRA_BENCH_BUILD     release build folder (default: build/release)
#   TOBRA_BENCH_SIZE_MIB  size of the image (default: 1024)
#   TOBRA_BENCH_ROUNDS    rounds per program (default: 3)
#   TOBRA_BENCH_FORMATS   packers to measure (default: "xz zstd")
#   TMPDIR                where the files go (needs about three times the size free)
set -euo pipefail
. "$(dirname "$0")/common.sh"
size_mib=${TOBRA_BENCH_SIZE_MIB:-1024}
rounds=${TOBRA_BENCH_ROUNDS:-3}
formats=${TOBRA_BENCH_FORMATS:-xz zstd}
require_tools curl sha256sum python3 /usr/bin/time xz zstd
driver=$(build_driver bench_download)


# Half random, half zeros, as a card image with free space; packed at a fast level, as the
# unpacking speed hardly depends on it.
make_image() {
    { head -c "$(($1 / 2))M" /dev/urandom; head -c "$(($1 / 2))M" /dev/zero; } >"$work/served/$2.img"
    xz -0 -T2 -k "$work/served/$2.img"
    zstd -q -3 -T2 -k "$work/served/$2.img" -o "$work/served/$2.img.zstd"
    rm "$work/served/$2.img"
}
make_image "$size_mib" large
make_image 256 small

start_server


for format in $formats; do
    packed=large.img.$format
    expected=$(sha256sum <"$work/served/$packed" | cut -d' ' -f1)
    : >"$work/tools.txt"
    : >"$work/downloader.txt"
    for round in $(seq "$rounds"); do
        rm -f "$work/download" "$work/image"
        read -r curl_s curl_kib < <(measure curl -sS -o "$work/download" "$base/$packed")
        read -r unpack_s unpack_kib < <(measure sh -c "$format -dc <'$work/download' >'$work/image'")
        read -r sum_s sum_kib < <(measure sha256sum "$work/download")
        [ "$(cut -d' ' -f1 "$work/out.txt")" = "$expected" ] || { echo "wrong digest from sha256sum" >&2; exit 1; }
        reference=$(sha256sum <"$work/image" | cut -d' ' -f1)
        total=$(awk "BEGIN { print $curl_s + $unpack_s + $sum_s }")
        echo "$total $curl_s $unpack_s $sum_s $curl_kib $unpack_kib $sum_kib" >>"$work/tools.txt"
        rm -f "$work/download" "$work/image"
        measure "$driver" "$base/$packed" "$work/image" >>"$work/downloader.txt"
        [ "$(cut -d' ' -f1 "$work/out.txt")" = "$expected" ] || { echo "wrong digest from Downloader" >&2; exit 1; }
        [ "$(sha256sum <"$work/image" | cut -d' ' -f1)" = "$reference" ] || { echo "wrong image from Downloader" >&2; exit 1; }
        echo "$format round $round: tools $(tail -1 "$work/tools.txt" | cut -d' ' -f1) s," \
            "Downloader $(tail -1 "$work/downloader.txt" | cut -d' ' -f1) s"
    done
    rm -f "$work/image"
    read -r small_s small_kib < <(measure "$driver" "$base/small.img.$format" "$work/image")
    rm -f "$work/image"
    read -r tools curl_s unpack_s sum_s curl_kib unpack_kib sum_kib < <(best <"$work/tools.txt")
    read -r one_pass large_kib < <(best <"$work/downloader.txt")
    echo "$format: $size_mib MiB image ($(stat -c %s "$work/served/$packed") bytes packed) from $base, best of $rounds rounds"
    echo "  curl -o + $format -dc + sha256sum: $tools s ($curl_s + $unpack_s + $sum_s s)," \
        "peak $curl_kib / $unpack_kib / $sum_kib KiB"
    echo "  Downloader: $one_pass s, peak $large_kib KiB ($small_kib KiB for 256 MiB)"
    echo "  ratio Downloader / tools: $(awk "BEGIN { printf \"%.3f\", $one_pass / $tools }")"
done
