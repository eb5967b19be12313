#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds the Debian package in a Release tree with Debian's hardening flags (stack protector,
# fortified libc calls, relocations read-only and bound at start): the program runs as root.
# Usage: packaging/build-deb.sh BUILD_DIR [CMAKE_GENERATOR]
# The package lands in BUILD_DIR as tobra-installer_VERSION_ARCH.deb.
set -euo pipefail
tree=$1 generator=${2:-Ninja}
source_dir=$(cd "$(dirname "$0")/.." && pwd)
flags() { (cd "$source_dir" && DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get "$1"); }

cmake -S "$source_dir" -B "$tree" -G "$generator" -DCMAKE_BUILD_TYPE=Release -DTOBRA_SANITIZE=OFF \
      -DTOBRA_BUILD_TESTS=OFF -DCMAKE_INSTALL_PREFIX=/usr \
      -DCMAKE_CXX_FLAGS="$(flags CPPFLAGS) $(flags CXXFLAGS)" \
      -DCMAKE_EXE_LINKER_FLAGS="$(flags LDFLAGS)" >/dev/null
cmake --build "$tree"
rm -f "$tree"/tobra-installer_*.deb
cmake --build "$tree" --target package
