#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Sets up a fresh Debian 12 machine, builds a release build and starts the installer
# with the given options. Without a display it saves a picture of the window instead.
# "--demo" first builds a small demonstration set (scripts/make-demo.sh) in build/release/demo
# and starts the installer on it, with the demo ROM files already filled in.
set -euo pipefail
cd "$(dirname "$0")"
demo=no
if [ "${1:-}" = --demo ]; then
    demo=yes
    shift
fi
scripts/install-deps.sh build
build=build/release
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTOBRA_BUILD_TESTS=OFF >/dev/null
cmake --build "$build"
if [ "$demo" = yes ]; then
    scripts/install-deps.sh demo
    demo_dir=$PWD/$build/demo
    scripts/make-demo.sh "$demo_dir"
    # Settings of their own, so the demo ROM paths do not replace the user's.
    export XDG_CONFIG_HOME=$demo_dir/config
    settings=$XDG_CONFIG_HOME/Drellwerk/TobraInstaller.conf
    if [ ! -f "$settings" ]; then
        mkdir -p "$(dirname "$settings")"
        printf '[General]\nromPath=%s\nextPath=%s\n' "$demo_dir/roms/kick-demo.rom" \
            "$demo_dir/roms/ext-demo.rom" >"$settings"
    fi
    set -- --config-url "file://$demo_dir/tobra.json" --image-base "file://$demo_dir/images/" "$@"
fi
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    shot="$PWD/$build/tobra-installer.png"
    rm -f "$shot"
    QT_QPA_PLATFORM=offscreen "$build/app/tobra-installer" "$@" --screenshot "$shot"
    if [ -f "$shot" ]; then
        echo "Kein Bildschirm gefunden; das Fenster ist als Bild gespeichert: $shot"
    fi
    exit 0
fi
exec "$build/app/tobra-installer" "$@"
