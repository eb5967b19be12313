#include "writehelper.h"

#include "drives.h"

#include <QCoreApplication>
#include <algorithm>
#include <csignal>
#include <cstdio>

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

} // namespace

void emitLine(QTextStream &out, const QString &text)
{
    QString line = text;
    line.replace('\n', ' ');
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
    QCoreApplication application(argc, argv);
    QTextStream out(stdout);
    const QStringList arguments = application.arguments();
    if (arguments.size() < 5) {
        emitLine(out, "ERROR Falsche Argumente für den Schreib-Helfer");
        return WrongArguments;
    }
    const QString imagePath = arguments.at(2);
    const QString targetPath = arguments.at(3);
    const bool verify = arguments.at(4) == "--verify";

    QString enumerationError;
    if (!isAllowedTarget(targetPath, &enumerationError)) {
        emitLine(out, QString("ERROR %1 ist kein erlaubtes Ziel (nur Wechseldatenträger bis 2 TB). %2")
                          .arg(targetPath, enumerationError));
        return TargetNotAllowed;
    }
    const ProgressCallback progress = [&out](const char *phase, qint64 done, qint64 total) {
        emitLine(out, QString("PROGRESS %1 %2 %3")
                          .arg(QLatin1String(phase), QString::number(done), QString::number(total)));
    };
    QString error;
    if (!writeImage(imagePath, targetPath, verify, progress, &error)) {
        emitLine(out, "ERROR " + error);
        return Failed;
    }
    emitLine(out, "DONE");
    return Done;
}
