// SPDX-License-Identifier: GPL-3.0-or-later
#include "writehelper.h"

#include "cardfanout.h"
#include "drives.h"
#include "helperarguments.h"

#include <QCoreApplication>
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <mutex>
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

// The several-card form: every card's lines say "CARD <n>" (1-based), written whole from any card's
// thread; the run's own lines have no prefix.
int writeSeveralCards(const HelperArguments &arguments, QTextStream &out)
{
    std::mutex outputMutex;
    const auto emitCardLine = [&out, &outputMutex](int card, const QString &text) {
        const std::lock_guard lock(outputMutex);
        emitLine(out, QStringLiteral("CARD %1 %2").arg(card + 1).arg(text));
    };
    CardEvents events;
    events.held = [&](int card) { emitCardLine(card, QStringLiteral("READY")); };
    events.ready = [&out] { emitLine(out, QStringLiteral("READY")); };
    events.writing = [&](int card) { emitCardLine(card, QStringLiteral("WRITING")); };
    events.progress = [&](int card, const char *phase, qint64 done, qint64 total) {
        emitCardLine(card, QStringLiteral("PROGRESS %1 %2 %3")
                               .arg(QLatin1String(phase), QString::number(done), QString::number(total)));
    };
    events.finished = [&](int card, bool ok, const QString &error) {
        emitCardLine(card, ok ? QStringLiteral("DONE") : QStringLiteral("ERROR ") + error);
    };
    QString error;
    if (!writeStreamToCards(blockingStandardInput(), arguments.cards, arguments.verify, arguments.imageSize,
                            events, &error)) {
        emitLine(out, QStringLiteral("ERROR ") + error);
        return Failed;
    }
    emitLine(out, QStringLiteral("DONE"));
    return Done;
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

QString notAllowedText(const QString &devicePath, const QString &enumerationError)
{
    return QStringLiteral("%1 ist kein erlaubtes Ziel (nur Wechseldatenträger bis 2 TB). %2")
        .arg(devicePath, enumerationError);
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
    if (arguments.severalCards)
        return writeSeveralCards(arguments, out);
    const QString &targetPath = arguments.devicePath;

    QString enumerationError;
    if (!isAllowedTarget(targetPath, &enumerationError)) {
        emitLine(out, QStringLiteral("ERROR ") + notAllowedText(targetPath, enumerationError));
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
