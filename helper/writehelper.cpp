#include "writehelper.h"

#include "drives.h"

#include <QCoreApplication>
#include <QRegularExpression>
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <limits>

namespace {

enum ExitCode
{
    Done = 0,
    Failed = 1,
    WrongArguments = 2,
    TargetNotAllowed = 3
};

// A positive decimal number that fits a qint64, written plainly (no sign, blank or leading zero).
bool parsePositive(const QString &text, quint64 *value)
{
    static const QRegularExpression plainNumber("^[1-9][0-9]{0,18}$");
    if (!plainNumber.match(text).hasMatch())
        return false;
    *value = text.toULongLong();
    return *value <= quint64(std::numeric_limits<qint64>::max());
}

// The identity the window saw: "--diskseq=N" and "--size=BYTES" after the verify flag, each at
// most once. They come from an unprivileged caller, so anything malformed is refused; other
// arguments there are ignored.
bool parseIdentity(const QStringList &arguments, DriveIdentity *identity)
{
    quint64 diskseq = 0;
    quint64 size = 0;
    for (qsizetype i = 5; i < arguments.size(); ++i) {
        const QString &argument = arguments.at(i);
        for (const auto &[prefix, value] :
             {std::pair{QLatin1String("--diskseq="), &diskseq}, std::pair{QLatin1String("--size="), &size}}) {
            if (argument.startsWith(prefix) &&
                (*value != 0 || !parsePositive(argument.mid(prefix.size()), value)))
                return false;
        }
    }
    identity->diskseq = diskseq;
    identity->sizeBytes = qint64(size);
    return true;
}

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
    DriveIdentity expected;
    if (arguments.size() < 5 || !parseIdentity(arguments, &expected)) {
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
    if (!writeImage(imagePath, targetPath, verify, expected, progress, &error)) {
        emitLine(out, "ERROR " + error);
        return Failed;
    }
    emitLine(out, "DONE");
    return Done;
}
