#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Renders the PNG sizes of the icon from its SVG (needs rsvg-convert from librsvg2-bin).
# The PNGs are committed, so building and packaging never need this.
set -euo pipefail
cd "$(dirname "$0")"
icon=de.drellwerk.TobraInstaller
for size in 16 24 32 48 64 128 256; do
    mkdir -p "$size"
    rsvg-convert -w "$size" -h "$size" "$icon.svg" -o "$size/$icon.png"
done
