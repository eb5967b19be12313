// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>
#include <QStringList>

// The installer without a window, for scripts and for making many cards:
//   tobra-installer --cli --device DEV --rom FILE [--ext FILE] [--image FILE | --title TITLE] …
//   tobra-installer --cli --list-drives
//   tobra-installer --cli --list-versions [--config-url URL]
//   tobra-installer --cli --clear-cache
// Exit codes: 0 installed and verified (or listed), 1 failed, 2 wrong usage, 130 cancelled with
// Ctrl+C (143 with SIGTERM).

// True when "--cli" is among the arguments.
bool asksForCli(int argc, char **argv);

// Runs the command-line installer and returns the process's exit code. Needs no display.
int runCli(int argc, char **argv);

// For the window's command line: where arguments hold an option that only the installer without
// a window has, the German message that says to add --cli; else empty.
QString withoutCliError(const QStringList &arguments);
