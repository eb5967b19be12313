#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Shows which password prompt pkexec gives for a command line, against a polkitd of our own.
# Run inside a private mount namespace (unshare -m): the system bus socket lives on a tmpfs over
# /run there, so the machine's own bus, if any, is neither seen nor disturbed.
# Usage: polkit_prompt.sh OUTPUT_FILE COMMAND...   (the command runs as "nobody" on a terminal)
# Exit code 77: polkitd did not come up.
set -euo pipefail
output=$1
shift

mount --make-rprivate /
mount -t tmpfs tmpfs /run
mkdir /run/dbus
daemons=()
stop_daemons() { [ ${#daemons[@]} -eq 0 ] || kill "${daemons[@]}" 2>/dev/null || true; }
trap stop_daemons EXIT

dbus-daemon --system --fork --print-pid=3 3>/run/dbus/daemon.pid
daemons+=("$(cat /run/dbus/daemon.pid)")
/usr/lib/polkit-1/polkitd --no-debug >/dev/null 2>&1 &
daemons+=("$!")
polkitd_up() {
    for _ in $(seq 100); do
        pkaction >/dev/null 2>&1 && return 0
        sleep 0.1
    done
    return 1
}
polkitd_up || exit 77

# pkexec's own text agent asks on the terminal; once it asks for the password we have the prompt.
LANG=C.UTF-8 runuser -u nobody -- script -qec "$*" /dev/null </dev/null >"$output" 2>&1 &
asker=$!
for _ in $(seq 100); do
    grep -q 'Password:' "$output" && break
    sleep 0.1
done
kill "$asker" 2>/dev/null || true
wait "$asker" 2>/dev/null || true
