// SPDX-License-Identifier: GPL-3.0-or-later
#include "writehelper.h"

#include "drives.h"
#include "helperarguments.h"

#include <QCoreApplication>
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace {

enum ExitCode
{
    Done = 0,
    Failed = 1,
    WrongArguments = 2,
    TargetNotAllowed = 3
};

// Qt's own warnings would land on stderr, which the helper keeps silent.
void discardMessage(QtMsgType, const QMessageLogContext &, const QString &)
{}

// Standard input as the image's channel: blocking, whatever the sender set on its end.
int blockingStandardInput()
{
    const int flags = ::fcntl(STDIN_FILENO, F_GETFL);
    if (flags >= 0 && (flags & O_NONBLOCK))
        ::fcntl(STDIN_FILENO, F_SETFL, flags & ~O_NONBLOCK);
    return STDIN_FILENO;
}

} // namespace

void emitLine(QTextStream &out, const QString &text)
{
    QString line = text;
    line.replace(QLatin1Char('\n'), QLatin1Char(' '));
    out << line << '\n';
    out.flush();
}

bool isAllowedTarget(const QString &devicePath, QString *enumerationError)
{
    const QList<DriveInfo> drives = listDrives(enumerationError);
    return std::any_of(drives.cbegin(), drives.cend(),
                       [&devicePath](const DriveInfo &drive) { return drive.path == devicePath; });
}

int runWriteHelper(int argc, char **argv)
{
    qInstallMessageHandler(discardMessage);
    // The installer cancels a helper it may not kill (pkexec made it root) by closing the pipe
    // it reads: the next line then ends the helper. An ignored SIGPIPE, inherited through
    // pkexec, would let it write on to the end.
    std::signal(SIGPIPE, SIG_DFL);
    QList<QByteArray> rawArguments;
    for (int i = 0; i < argc; ++i)
        rawArguments << QByteArray(argv[i]);
    QCoreApplication application(argc, argv);
    QTextStream out(stdout);
    HelperArguments arguments;
    if (!parseHelperArguments(rawArguments, &arguments)) {
        emitLine(out, QStringLiteral("ERROR Falsche Argumente für den Schreib-Helfer"));
        return WrongArguments;
    }
    const QString &targetPath = arguments.devicePath;

    QString enumerationError;
    if (!isAllowedTarget(targetPath, &enumerationError)) {
        emitLine(out, QStringLiteral("ERROR %1 ist kein erlaubtes Ziel (nur Wechseldatenträger bis 2 TB). %2")
                          .arg(targetPath, enumerationError));
        return TargetNotAllowed;
    }
    const ProgressCallback progress = [&out](const char *phase, qint64 done, qint64 total) {
        emitLine(out, QStringLiteral("PROGRESS %1 %2 %3")
                          .arg(QLatin1String(phase), QString::number(done), QString::number(total)));
    };
    QString error;
    const bool written = arguments.fromStandardInput
                             ? writeStream(blockingStandardInput(), targetPath, arguments.verify,
                                           arguments.identity, arguments.imageSize,
                                           {[&out] { emitLine(out, QStringLiteral("READY")); },
                                            [&out] { emitLine(out, QStringLiteral("WRITING")); }, progress},
                                           &error)
                             : writeImage(arguments.imagePath, targetPath, arguments.verify,
                                          arguments.identity, progress, &error);
    if (!written) {
        emitLine(out, QStringLiteral("ERROR ") + error);
        return Failed;
    }
    emitLine(out, QStringLiteral("DONE"));
    return Done;
}
