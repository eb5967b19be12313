// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// Runs program (looked up in PATH) with the arguments and no input, and waits at most timeoutMs;
// a program still running then is killed. True only after a normal exit with code 0; *output
// then holds what it wrote to standard output. On failure *error holds what it wrote to standard
// error, or why it could not be started.
bool runProgram(const QString &program, const QStringList &arguments, int timeoutMs,
                QByteArray *output = nullptr, QString *error = nullptr);
