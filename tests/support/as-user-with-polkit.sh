#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# Runs a command as an ordinary user whom polkit allows pkexec without a password, against a
# system bus and polkitd of our own. Start it as root under "unshare -m": the bus socket and the
# polkit rule live on tmpfs mounts private to this namespace, so the machine's own bus and rules
# are neither seen nor changed, and nothing is left behind.
#
#   unshare -m as-user-with-polkit.sh UID GID COMMAND...
#
# TOBRA_POLKIT_RESULT=AUTH_SELF makes polkit ask the user for a password instead.
# TOBRA_POLKIT_LOG=FILE has polkitd write a line "tobra-test: asked ACTION" to FILE for each
# authorization it decides for the user, which counts the password prompts.
#
# Exits with the command's code, or 77 when the bus or polkitd cannot be brought up.
set -eu
uid=$1
gid=$2
shift 2

private_tmpfs() {
    mkdir -p "$1" && mount -t tmpfs tmpfs "$1" || { echo "cannot mount a tmpfs over $1"; exit 77; }
}
mount --make-rprivate / || { echo "cannot make the mounts private"; exit 77; }
private_tmpfs /run/dbus
private_tmpfs /etc/polkit-1/rules.d
cat >/etc/polkit-1/rules.d/10-tobra-test.rules <<EOF
polkit.addRule(function(action, subject) {
    if (subject.user != "$(id -nu "$uid")")
        return polkit.Result.NOT_HANDLED;
    polkit.log("tobra-test: asked " + action.id);
    if (action.id == "org.freedesktop.policykit.exec")
        return polkit.Result.${TOBRA_POLKIT_RESULT:-YES};
});
EOF

daemons=""
stop_daemons() {
    for pid in $daemons; do
        kill "$pid" 2>/dev/null || true
    done
}
trap stop_daemons EXIT

dbus-daemon --system --fork --print-pid=3 3>/run/dbus/daemon.pid || exit 77
daemons=$(cat /run/dbus/daemon.pid)
# Only without --no-debug does polkitd write what the rule logs; line by line, as it is killed.
# Asked before it holds its name, the bus would start a second polkitd that logs elsewhere.
if [ -n "${TOBRA_POLKIT_LOG:-}" ]; then
    stdbuf -oL /usr/lib/polkit-1/polkitd >"$TOBRA_POLKIT_LOG" 2>&1 &
    daemons="$daemons $!"
    for _ in $(seq 100); do
        grep -q "Acquired the name" "$TOBRA_POLKIT_LOG" && break
        sleep 0.1
    done
else
    /usr/lib/polkit-1/polkitd --no-debug >/dev/null 2>&1 &
    daemons="$daemons $!"
fi
ready=no
for _ in $(seq 100); do
    if pkaction --action-id org.freedesktop.policykit.exec >/dev/null 2>&1; then
        ready=yes
        break
    fi
    sleep 0.1
done
[ "$ready" = yes ] || { echo "polkitd did not answer"; exit 77; }

status=0
setpriv --reuid="$uid" --regid="$gid" --clear-groups "$@" || status=$?
exit "$status"
