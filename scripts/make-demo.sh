#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds a small demonstration set for trying the installer without the download server:
#
#   make-demo.sh FOLDER [--no-rom-folder] [--image-size MiB]
#
# FOLDER/tobra.json          a version list with two entries, their SHA-256 and unpacked size: "Tobra Demo", the
#                            raw image, and "Tobra Demo (xz)", the same image packed with xz
# FOLDER/images/tobra-demo.img  a disk image: MBR, one FAT32 partition from 1 MiB holding Rom/
# FOLDER/images/tobra-demo.img.xz  that image packed with xz
# FOLDER/roms/kick-demo.rom  a 256 KiB stand-in Kickstart ROM, ext-demo.rom a 512 KiB extension ROM
#
# --no-rom-folder leaves Rom/ out of the image (an image the installer must refuse).
# Needs sfdisk (fdisk), mkfs.fat (dosfstools), mmd and mcopy (mtools), xz (xz-utils) and sha256sum.
set -euo pipefail

folder=${1:?usage: make-demo.sh FOLDER [--no-rom-folder] [--image-size MiB]}
shift
rom_folder=yes
image_mib=35
while [ $# -gt 0 ]; do
    case $1 in
        --no-rom-folder) rom_folder=no ;;
        --image-size) image_mib=$2; shift ;;
        *) echo "make-demo.sh: unknown option $1" >&2; exit 2 ;;
    esac
    shift
done

for tool in sfdisk mkfs.fat mmd mcopy xz sha256sum; do
    command -v "$tool" >/dev/null || { echo "make-demo.sh: $tool is missing" >&2; exit 1; }
done

mkdir -p "$folder/images" "$folder/roms"
image=$folder/images/tobra-demo.img
partition_offset=$((1024 * 1024))

rm -f "$image"
truncate -s "${image_mib}M" "$image"
printf 'label: dos\nstart=2048, type=c, bootable\n' | sfdisk -q "$image"
mkfs.fat -F 32 -n TOBRA --offset 2048 "$image" >/dev/null
if [ "$rom_folder" = yes ]; then
    mmd -i "$image@@$partition_offset" ::Rom
fi
printf 'Tobra demonstration image\r\n' >"$folder/README.TXT"
mcopy -i "$image@@$partition_offset" "$folder/README.TXT" ::README.TXT
rm "$folder/README.TXT"

head -c $((256 * 1024)) /dev/urandom >"$folder/roms/kick-demo.rom"
head -c $((512 * 1024)) /dev/urandom >"$folder/roms/ext-demo.rom"

xz -k -f "$image"

sha256=$(sha256sum "$image" | cut -d' ' -f1)
image_bytes=$(stat -c %s "$image")
sha256_xz=$(sha256sum "$image.xz" | cut -d' ' -f1)
cat >"$folder/tobra.json" <<EOF
{
  "schema": 1,
  "versions": [
    {"title": "Tobra Demo", "image": "tobra-demo.img", "kickstart": "3.1 (Demo)", "sha256": "$sha256",
     "image_size": $image_bytes},
    {"title": "Tobra Demo (xz)", "image": "tobra-demo.img.xz", "kickstart": "3.1 (Demo)", "sha256": "$sha256_xz",
     "image_size": $image_bytes}
  ]
}
EOF
