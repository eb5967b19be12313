#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Makes the seed images of the FAT fuzz target: small FAT16 and FAT32 volumes, bare and behind
# an MBR, empty and with a few files and a directory. Each is stored without its trailing zeros,
# which the fuzz target puts back. Run once; the results are committed in fuzz/corpus/fatimage.
set -euo pipefail
out=${1:-$(dirname "$0")/corpus/fatimage}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$out"

# make <name> <fat bits> <volume KiB> <MBR: yes/no> <with files: yes/no>
make() {
    local name=$1 bits=$2 kib=$3 mbr=$4 files=$5 img=$work/$1.img offset=0
    rm -f "$img"
    if [ "$mbr" = yes ]; then
        offset=8
        truncate -s $(( (kib + 4) * 1024 )) "$img"
        echo "start=$offset, type=$([ "$bits" = 32 ] && echo c || echo e)" | sfdisk -q "$img"
        mkfs.fat -F "$bits" -s 1 -r 64 --invariant --offset=$offset "$img" "$kib" >/dev/null 2>&1
    else
        mkfs.fat -F "$bits" -s 1 -r 64 --invariant -C "$img" "$kib" >/dev/null 2>&1
    fi
    if [ "$files" = yes ] && [ "$bits" = 16 ]; then
        local at="$img@@$((offset * 512))"
        head -c 3000 /dev/zero | tr '\0' 'K' >"$work/kick.rom"
        printf 'readme\n' >"$work/liesmich.txt"
        mmd -i "$at" ::DEVS
        mcopy -i "$at" "$work/kick.rom" ::KICK.ROM
        mcopy -i "$at" "$work/liesmich.txt" "::Lies mich.txt"
        mcopy -i "$at" "$work/liesmich.txt" ::DEVS/OLD.ROM
    elif [ "$files" = yes ]; then
        # mtools refuses FAT32 volumes this small; the same files are put in by hand.
        add_fat32_files "$img" $((offset * 512))
    fi
    check_partition "$img" $((offset * 512))
    # Cut the trailing zeros, in whole sectors.
    python3 - "$img" "$out/$name" <<'PY'
import sys
data = open(sys.argv[1], 'rb').read()
end = len(data.rstrip(b'\0'))
end = (end + 511) // 512 * 512
open(sys.argv[2], 'wb').write(data[:end])
PY
}

# The directory DEVS with OLD.ROM, and KICK.ROM (3000 bytes), in a FAT32 volume with 512-byte clusters.
add_fat32_files() {
    python3 - "$1" "$2" <<'PY'
import struct, sys
path, base = sys.argv[1], int(sys.argv[2])
img = bytearray(open(path, 'rb').read())
u16 = lambda o: struct.unpack_from('<H', img, base + o)[0]
u32 = lambda o: struct.unpack_from('<I', img, base + o)[0]
sector, reserved, fats, fat_sectors, root, fsinfo = u16(11), u16(14), img[base + 16], u32(36), u32(44), u16(48)
assert img[base + 13] == 1 and root == 2
data = base + (reserved + fats * fat_sectors) * sector
cluster = lambda n: data + (n - 2) * sector
def link(chain):
    for copy in range(fats):
        fat = base + (reserved + copy * fat_sectors) * sector
        for i, n in enumerate(chain):
            struct.pack_into('<I', img, fat + 4 * n, chain[i + 1] if i + 1 < len(chain) else 0x0FFFFFFF)
def entry(at, name, attributes, first, size):
    img[at:at + 32] = name + bytes([attributes]) + bytes(8) + struct.pack('<H', first >> 16) + bytes(4) + struct.pack('<HI', first & 0xFFFF, size)
entry(cluster(2), b'DEVS       ', 0x10, 3, 0)
entry(cluster(2) + 32, b'KICK    ROM', 0x20, 4, 3000)
entry(cluster(3), b'.          ', 0x10, 3, 0)
entry(cluster(3) + 32, b'..         ', 0x10, 0, 0)
entry(cluster(3) + 64, b'OLD     ROM', 0x20, 10, 7)
img[cluster(4):cluster(4) + 3000] = b'K' * 3000
img[cluster(10):cluster(10) + 7] = b'readme\n'
link([3]); link(list(range(4, 10))); link([10])
info = base + fsinfo * sector
struct.pack_into('<II', img, info + 488, u32(fsinfo * sector + 488) - 8, 11)
open(path, 'wb').write(img)
PY
}

# fsck.fat takes no offset: checks the partition copied out.
check_partition() {
    tail -c +$(($2 + 1)) "$1" >"$work/partition.img"
    fsck.fat -n "$work/partition.img" >/dev/null 2>&1 || { echo "fsck.fat rejects $1" >&2; exit 1; }
}

make fat16-empty 16 2200 no no
make fat16-files 16 2200 no yes
make fat16-mbr-files 16 2200 yes yes
make fat32-empty 32 1536 no no
make fat32-files 32 1536 no yes
make fat32-mbr-files 32 1536 yes yes
# A FAT of more than 64 KiB, read and written in pieces.
make fat32-large-files 32 12288 no yes
