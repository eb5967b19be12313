#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Downloading a large file from a local HTTP server: Downloader, which hashes while it writes,
# against `curl -o` followed by `sha256sum` of the file, in the same run. Prints the best of
# several rounds of each, the ratio (target: at most 1.0) and the peak memory of each program;
# the Downloader's peak is also measured for a small file and for a file URL, to show that memory
# stays flat.
#
#   TOBRA_BENCH_BUILD     release build folder (default: build/release)
#   TOBRA_BENCH_SIZE_MIB  size of the large file (default: 1024)
#   TOBRA_BENCH_ROUNDS    rounds per program (default: 3)
#   TMPDIR                where the files go (needs twice the size free)
set -euo pipefail
. "$(dirname "$0")/common.sh"
size_mib=${TOBRA_BENCH_SIZE_MIB:-1024}
rounds=${TOBRA_BENCH_ROUNDS:-3}
require_tools curl sha256sum python3 /usr/bin/time
driver=$(build_driver bench_download)

head -c "${size_mib}M" /dev/urandom >"$work/served/large.img"
head -c 16M /dev/urandom >"$work/served/small.img"
expected=$(sha256sum <"$work/served/large.img" | cut -d' ' -f1)

start_server

check_digest() {
    [ "$(cut -d' ' -f1 "$work/out.txt")" = "$expected" ] || { echo "wrong digest from $1" >&2; exit 1; }
}

: >"$work/curl.txt"
: >"$work/downloader.txt"
for round in $(seq "$rounds"); do
    rm -f "$work/file"
    read -r curl_s curl_kib < <(measure curl -sS -o "$work/file" "$base/large.img")
    read -r sum_s sum_kib < <(measure sha256sum "$work/file")
    check_digest "curl + sha256sum"
    echo "$(awk "BEGIN { print $curl_s + $sum_s }") $curl_s $sum_s $curl_kib $sum_kib" >>"$work/curl.txt"
    rm -f "$work/file"
    measure "$driver" "$base/large.img" "$work/file" >>"$work/downloader.txt"
    check_digest "Downloader"
    echo "round $round: curl+sha256sum $(tail -1 "$work/curl.txt" | cut -d' ' -f1) s," \
        "Downloader $(tail -1 "$work/downloader.txt" | cut -d' ' -f1) s"
done
rm -f "$work/file"
read -r small_s small_kib < <(measure "$driver" "$base/small.img" "$work/file")
rm -f "$work/file"
read -r local_s local_kib < <(measure "$driver" "file://$work/served/large.img" "$work/file")
check_digest "Downloader from a file URL"

read -r two_pass curl_s sum_s curl_kib sum_kib < <(best <"$work/curl.txt")
read -r one_pass large_kib < <(best <"$work/downloader.txt")
echo "file: $size_mib MiB from $base, best of $rounds rounds"
echo "curl -o + sha256sum: $two_pass s ($curl_s + $sum_s s), peak $curl_kib / $sum_kib KiB"
echo "Downloader:          $one_pass s, peak $large_kib KiB ($small_kib KiB for 16 MiB)"
echo "Downloader, file URL: $local_s s, peak $local_kib KiB"
echo "ratio Downloader / (curl + sha256sum): $(awk "BEGIN { printf \"%.3f\", $one_pass / $two_pass }")"
