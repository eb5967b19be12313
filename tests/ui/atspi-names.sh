#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# Runs atspi_names.py on the installer ($1) in a private session bus and a virtual X server; skips
# (77) when one of them or pyatspi is missing.
for tool in dbus-run-session xvfb-run /usr/libexec/at-spi-bus-launcher; do
    command -v "$tool" >/dev/null 2>&1 || { echo "SKIP: $tool fehlt (Pakete dbus, xvfb, at-spi2-core)"; exit 77; }
done
/usr/bin/python3 -c 'import pyatspi' 2>/dev/null || { echo "SKIP: pyatspi fehlt (Paket python3-pyatspi)"; exit 77; }
exec dbus-run-session -- xvfb-run -a /usr/bin/python3 "$(dirname "$0")/atspi_names.py" "$1"
