// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The command line of the installer without a window, shared by its parts in app/.

#include "versionlist.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QString>

namespace cli {

enum ExitCode
{
    succeeded = 0,
    failed = 1,
    wrongUsage = 2,
    interrupted = 130, // Ctrl+C, as a shell reports an interrupted command
};

struct Options
{
    Options();
    Q_DISABLE_COPY(Options)

    QCommandLineOption cliSwitch;
    QCommandLineOption device;
    QCommandLineOption rom;
    QCommandLineOption ext;
    QCommandLineOption image;
    QCommandLineOption title;
    QCommandLineOption configUrl;
    QCommandLineOption imageBase;
    QCommandLineOption count;
    QCommandLineOption yes;
    QCommandLineOption listDrives;
    QCommandLineOption listVersions;
    QCommandLineOption clearCache;
    QCommandLineParser parser;

    // The options that only the installer without a window has.
    QList<QCommandLineOption> withoutWindow() const;
};

// Outside text made safe for a terminal: control characters go but for line breaks and tabs.
QString terminalText(const QString &text);
// Writes text, made safe for a terminal, and a line break to standard output or standard error,
// at once.
void printLine(const QString &text);
void printError(const QString &text);

// Fetches and parses the list at --config-url, waiting for it: true and *list filled, or false
// and the German reason in *error.
bool fetchVersionList(const Options &options, VersionList *list, QString *error = nullptr);

// Installs as the options say (they have been checked for wrong usage); returns the exit code.
int install(const Options &options);

} // namespace cli
