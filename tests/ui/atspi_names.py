#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
# What a screen reader hears: starts the installer (argument 1) with accessibility on, reads its
# widget tree through AT-SPI and checks the name of every control. Run inside a session bus and an
# X server (see atspi-names.sh).
import os
import subprocess
import sys
import tempfile
import time

import pyatspi

EXPECTED = {
    ("combo box", "labelled by Version:"),
    ("combo box", "labelled by Speicherkarte:"),
    ("text", "Lokale Image-Datei"),
    ("text", "labelled by Image-Datei:"),
    ("text", "Kickstart-ROM-Datei"),
    ("text", "labelled by Kickstart-ROM:"),
    ("text", "Erweiterungs-ROM-Datei"),
    ("text", "labelled by Erweiterungs-ROM:"),
    ("text", "Protokoll"),
    ("progress bar", "Fortschritt"),
    ("push button", "Versionsliste neu laden"),
    ("push button", "Lokale Image-Datei auswählen"),
    ("push button", "Kickstart-ROM-Datei auswählen"),
    ("push button", "Erweiterungs-ROM-Datei auswählen"),
    ("push button", "Speicherkarten neu suchen"),
    ("push button", "Protokoll in die Zwischenablage kopieren"),
    ("push button", "Image-Cache leeren"),
    ("push button", "Abbrechen"),
    ("push button", "Installieren"),
    ("check box", "Lokale Image-Datei verwenden (ohne Download)"),
    ("check box", "Zusätzlich eine ext.bin verwenden (z. B. bei AROS)"),
    ("check box", "Anonym mitzählen, wie oft Tobra installiert wird"),
}
CONTROLS = {"combo box", "text", "progress bar", "push button", "check box"}


def find_application(name, seconds):
    deadline = time.time() + seconds
    while time.time() < deadline:
        for application in pyatspi.Registry.getDesktop(0):
            if application is not None and application.name == name and application.childCount:
                return application
        time.sleep(0.5)
    return None


def heard(node, found):
    """Adds (role, name) and (role, "labelled by " + label) for node and everything below it."""
    role = node.getRoleName()
    if role in CONTROLS:
        found.add((role, node.name))
        for relation in node.getRelationSet():
            if relation.getRelationType() == pyatspi.RELATION_LABELLED_BY:
                for i in range(relation.getNTargets()):
                    found.add((role, "labelled by " + relation.getTarget(i).name))
    for i in range(node.childCount):
        child = node.getChildAtIndex(i)
        if child is not None:
            heard(child, found)
    return found


def main():
    with tempfile.TemporaryDirectory() as home:
        environment = dict(os.environ, QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1", QT_QPA_PLATFORM="xcb",
                           XDG_CONFIG_HOME=home)
        installer = subprocess.Popen([sys.argv[1], "--config-url", os.path.join(home, "none.json")],
                                     env=environment, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            application = find_application("TobraInstaller", 30)
            if application is None:
                print("the installer did not appear on the accessibility bus")
                return 1
            found = heard(application, set())
        finally:
            installer.terminate()
            installer.wait(10)
    missing = sorted(EXPECTED - found)
    unnamed = sorted(role for role, name in found if not name)
    for role, name in missing:
        print("not heard: %s „%s“" % (role, name))
    for role in unnamed:
        print("a %s without a name" % role)
    if ("push button", "Auswählen …") in found:
        print("a push button is called only „Auswählen …“")
        return 1
    return 1 if missing or unnamed else 0


sys.exit(main())
