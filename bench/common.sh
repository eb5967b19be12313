# SPDX-License-Identifier: GPL-3.0-or-later
# Pieces shared by the benchmarks that download from the local test server; sourced, not run.
# Sets root, build and work; the caller names its tools and its driver target.

root=$(cd "$(dirname "$0")/.." && pwd)
build=${TOBRA_BENCH_BUILD:-$root/build/release}

# Stops with a hint when one of the named programs is missing.
require_tools() {
    for tool in "$@"; do
        command -v "$tool" >/dev/null || { echo "missing: $tool (scripts/install-deps.sh bench)" >&2; exit 1; }
    done
}

# A card image of $1 MiB at $2: an MBR, a 128 MiB FAT32 partition with Rom/ at 1 MiB, then a
# second partition, its first half random, its second half zeros.
make_card_image() {
    local fat_mib=128 data_mib=$(($1 - 129))
    truncate -s 0 "$2"
    truncate -s "${fat_mib}M" "$work/fat.img"
    mkfs.fat -F 32 -n TOBRA "$work/fat.img" >/dev/null
    mmd -i "$work/fat.img" ::Rom
    { head -c 1M /dev/zero; cat "$work/fat.img"; head -c "$((data_mib / 2))M" /dev/urandom
      head -c "$((data_mib - data_mib / 2))M" /dev/zero; } >"$2"
    rm "$work/fat.img"
    printf 'label: dos\nstart=2048, size=%dMiB, type=c\ntype=83\n' "$fat_mib" | sfdisk -q "$2" >/dev/null 2>&1
}

# Builds the named target of a release build; prints the path of the program.
build_driver() {
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTOBRA_BUILD_TESTS=OFF >/dev/null
    cmake --build "$build" --target "$1" >/dev/null
    echo "$build/bench/$1"
}

work=$(mktemp -d "${TMPDIR:-/tmp}/tobra-bench.XXXXXX")
server=
cleanup() {
    [ -n "$server" ] && kill "$server" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
mkdir "$work/served"

# Serves $work/served on a free port of 127.0.0.1 and sets base to its address.
start_server() {
    python3 "$root/tests/support/http_server.py" "$work/served" --port-file "$work/port" --lifetime 3600 >/dev/null &
    server=$!
    for _ in $(seq 100); do [ -s "$work/port" ] && break; sleep 0.1; done
    base=http://127.0.0.1:$(cat "$work/port")
}

# Runs a command under GNU time; prints "<seconds> <peak KiB>" and keeps its stdout in $work/out.txt.
measure() {
    /usr/bin/time -f '%e %M' -o "$work/time.txt" "$@" >"$work/out.txt"
    cat "$work/time.txt"
}
best() { sort -n | head -1; }
