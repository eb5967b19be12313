#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Makes docs/screenshot.png with the installer's --screenshot option: a sample version list, a
# remembered ROM path, an empty cache and, when run as root, a 16 GB loop device shown as a
# removable card. The screen is 1920×1080 unless SCREEN (e.g. 1366x704, the room a panel and a
# title bar leave) says otherwise; QT_SCALE_FACTOR scales as usual.
# Usage: [SCREEN=WxH] [QT_SCALE_FACTOR=f] docs/make-screenshot.sh [PATH_OF_tobra-installer] [OUTPUT.png]
#
# With --cards (as root), the window writes the demonstration image onto three 16 GB loop devices,
# fetched from the local test server at a card's pace, and two pictures are made with the test
# build's screenshot_cards: PREFIX-during.png while the cards are written, PREFIX-after.png after
# the end (PREFIX defaults to docs/screenshot-cards).
# Usage: [SCREEN=WxH] [QT_SCALE_FACTOR=f] docs/make-screenshot.sh --cards PATH_OF_screenshot_cards [PREFIX]
set -euo pipefail
docs=$(cd "$(dirname "$0")" && pwd)
if [ "${1:-}" = --cards ]; then
    exec "$docs/make-cards-screenshot.sh" "${@:2}"
fi
program=$(readlink -f "${1:-$(command -v tobra-installer)}")
output=${2:-$docs/screenshot.png}
screen=${SCREEN:-1920x1080}
work=$(mktemp -d)
card=
cleanup() {
    [ -z "$card" ] || losetup -d "$card"
    rm -rf "$work"
}
trap cleanup EXIT

cat >"$work/tobra.json" <<'JSON'
{
  "schema": 1,
  "versions": [
    { "title": "Tobra 2.1 (Raspberry Pi 4 und 400)", "image": "tobra-2.1-pi4.img",
      "kickstart": "Kickstart 3.1 oder neuer" },
    { "title": "Tobra 2.1 (Raspberry Pi 3)", "image": "tobra-2.1-pi3.img",
      "kickstart": "Kickstart 3.1 oder neuer" }
  ]
}
JSON
printf '{"screens": [{"name": "screen", "x": 0, "y": 0, "width": %d, "height": %d, "logicalDpi": 96, "logicalBaseDpi": 96}]}\n' \
    "${screen%x*}" "${screen#*x}" >"$work/screen.json"
mkdir -p "$work/config/Drellwerk" "$work/runtime"
chmod 700 "$work/runtime"
printf '[General]\nromPath=/home/anna/ROMs/kickstart.rom\n' >"$work/config/Drellwerk/TobraInstaller.conf"

if [ "$(id -u)" -eq 0 ]; then
    truncate -s 16G "$work/card.img"
    for _ in 1 2 3 4 5; do   # another process may take the free loop device first
        card=$(losetup -f --show "$work/card.img" 2>/dev/null) && break
        sleep 0.2
    done
    export PATH="$docs/../tests/support/removable-lsblk:$PATH" TOBRA_REMOVABLE_DEVICES="$card"
fi

XDG_CONFIG_HOME="$work/config" XDG_CACHE_HOME="$work/cache" XDG_RUNTIME_DIR="$work/runtime" \
    QT_QPA_PLATFORM="offscreen:configfile=$work/screen.json" \
    "$program" --config-url "$work/tobra.json" --screenshot "$output"
