#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The pictures of a run onto three cards, for make-screenshot.sh --cards (see there): the
# demonstration set served by tests/support/http_server.py at about 3 MB/s, three sparse 16 GB
# loop devices shown as removable cards, and screenshot_cards driving the window.
# Usage: [SCREEN=WxH] [QT_SCALE_FACTOR=f] docs/make-cards-screenshot.sh PATH_OF_screenshot_cards [PREFIX]
set -euo pipefail
docs=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$docs/.." && pwd)
driver=$(readlink -f "${1:?path of screenshot_cards}")
prefix=${2:-$docs/screenshot-cards}
screen=${SCREEN:-1920x1080}
[ "$(id -u)" -eq 0 ] || { echo "make-cards-screenshot.sh: loop devices need root" >&2; exit 1; }
work=$(mktemp -d)
cards=()
server=
cleanup() {
    [ -z "$server" ] || kill "$server" 2>/dev/null || true
    for card in "${cards[@]}"; do losetup -d "$card" || true; done
    rm -rf "$work"
}
trap cleanup EXIT

"$root/scripts/make-demo.sh" "$work/demo" >/dev/null
python3 "$root/tests/support/http_server.py" "$work/demo" --port-file "$work/port" >/dev/null &
server=$!
for _ in $(seq 50); do [ -s "$work/port" ] && break; sleep 0.1; done
base="http://127.0.0.1:$(cat "$work/port")"

for n in 1 2 3; do
    truncate -s 16G "$work/card$n.img"
    for _ in 1 2 3 4 5; do   # another process may take the free loop device first
        card=$(losetup -f --show "$work/card$n.img" 2>/dev/null) && break
        sleep 0.2
    done
    cards+=("$card")
done

printf '{"screens": [{"name": "screen", "x": 0, "y": 0, "width": %d, "height": %d, "logicalDpi": 96, "logicalBaseDpi": 96}]}\n' \
    "${screen%x*}" "${screen#*x}" >"$work/screen.json"
mkdir -p "$work/config" "$work/runtime"
chmod 700 "$work/runtime"
TOBRA_REMOVABLE_DEVICES=$(IFS=:; echo "${cards[*]}")
export TOBRA_REMOVABLE_DEVICES PATH="$root/tests/support/removable-lsblk:$PATH"
XDG_CONFIG_HOME="$work/config" XDG_CACHE_HOME="$work/cache" XDG_RUNTIME_DIR="$work/runtime" \
    QT_QPA_PLATFORM="offscreen:configfile=$work/screen.json" MTOOLS_SKIP_CHECK=1 \
    "$driver" "$base/tobra.json" "$base/__q/rate=3000000/images/" "$work/demo/roms/kick-demo.rom" \
    "$prefix-during.png" "$prefix-after.png"
