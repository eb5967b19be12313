// SPDX-License-Identifier: GPL-3.0-or-later
#include "runprogram.h"

#include <QProcess>

bool runProgram(const QString &program, const QStringList &arguments, int timeoutMs, QByteArray *output,
                QString *error)
{
    QProcess process;
    process.setStandardInputFile(QProcess::nullDevice());
    process.start(program, arguments);
    const bool finished = process.waitForFinished(timeoutMs);
    if (finished && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0) {
        if (output)
            *output = process.readAllStandardOutput();
        return true;
    }
    if (error) {
        *error = QString::fromLocal8Bit(process.readAllStandardError()).trimmed();
        if (error->isEmpty() && process.error() == QProcess::FailedToStart)
            *error = process.errorString();
    }
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished();
    }
    return false;
}
