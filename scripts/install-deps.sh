#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Installs the Debian packages that are missing for the given purpose: "build", "test", "bench" or
# "demo" (what scripts/make-demo.sh needs on top of the build).
set -euo pipefail

build_packages=(cmake ninja-build g++ pkg-config qt6-base-dev qt6-base-dev-tools libssl-dev libxxhash-dev
                libarchive-dev qt6-translations-l10n libgl-dev qt6-qpa-plugins util-linux pkexec)
test_packages=(dosfstools mtools fdisk python3 python3-fusepy fuse3 pkexec policykit-1 dbus openssl
               util-linux mount e2fsprogs xvfb
               desktop-file-utils appstream libxml2-utils dpkg-dev file lintian groff-base
               clang libclang-rt-14-dev at-spi2-core python3-pyatspi xz-utils zstd gzip bzip2 zip p7zip-full)
bench_packages=(curl time coreutils python3 openssl python3-fusepy fuse3 util-linux xz-utils zstd dosfstools mtools fdisk)
demo_packages=(dosfstools mtools fdisk coreutils xz-utils)

wanted=("${build_packages[@]}")
[ "${1:-build}" = test ] && wanted+=("${test_packages[@]}")
[ "${1:-build}" = bench ] && wanted+=("${bench_packages[@]}")
[ "${1:-build}" = demo ] && wanted+=("${demo_packages[@]}")

missing=()
for package in "${wanted[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installiere: ${missing[*]}"
sudo_cmd=()
[ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -q
"${sudo_cmd[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
