// SPDX-License-Identifier: GPL-3.0-or-later
#include "writejob.h"

#include "imagestream.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QSocketNotifier>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace {

bool runningAsRoot()
{
    return ::geteuid() == 0;
}

QString cancelledText()
{
    return QStringLiteral(
        "Abgebrochen. Die Karte ist unvollständig beschrieben und muss neu bespielt werden.");
}

QString verifyFlag(bool verify)
{
    return verify ? QStringLiteral("--verify") : QStringLiteral("--no-verify");
}

QString cancelledUntouchedText()
{
    return QStringLiteral("Abgebrochen. Die Karte wurde nicht verändert.");
}

// The exit codes by which pkexec reports a refused or abandoned authentication.
bool isPkexecRefusal(int exitCode)
{
    return !runningAsRoot() && (exitCode == 126 || exitCode == 127);
}

// pkexec ends with 127 and a line of its own when it cannot ask at all (no polkit authority,
// no authentication agent); a refused password says "Not authorized".
bool isPromptUnavailable(int exitCode, const QString &message)
{
    return !runningAsRoot() && exitCode == 127 && !message.isEmpty() &&
           !message.contains(QLatin1String("Not authorized"));
}

constexpr int maxErrorOutput = 4096;

} // namespace

WriteJob::WriteJob(QObject *parent) : QObject(parent)
{
    connect(&process, &QProcess::finished, this, &WriteJob::onFinished);
    connect(&process, &QProcess::errorOccurred, this, &WriteJob::onError);
    connect(&process, &QProcess::readyReadStandardError, this, &WriteJob::onErrorOutput);
    connect(&input, &StreamPipe::drained, this, &WriteJob::drained);
}

WriteJob::~WriteJob()
{
    // The process is destroyed after this body; cut it off first so that none of our slots
    // runs on a half-destroyed object, then make sure the helper does not outlive us.
    process.disconnect(this);
    closeOutputPipe();
    input.close();
    if (process.state() == QProcess::NotRunning)
        return;
    process.kill();
    process.waitForFinished(-1);
}

void WriteJob::reset()
{
    outputBuffer.clear();
    lastError.clear();
    errorOutput.clear();
    launcherLine.clear();
    phase.clear();
    input.close();
    streaming = false;
    streamTotal = -1;
    imageBytesSent = 0;
    touchReported = false;
    doneSeen = false;
    cancelled = false;
    reported = false;
}

void WriteJob::start(const QString &imagePath, const QString &devicePath, bool verify,
                     const DriveIdentity &identity)
{
    reset();
    launch({imagePath, devicePath, verifyFlag(verify)}, identity, -1);
}

void WriteJob::startStream(const QString &devicePath, bool verify, const DriveIdentity &identity,
                           qint64 imageBytes)
{
    reset();
    streaming = true;
    streamTotal = imageBytes > 0 ? imageBytes : -1;
    int inputEnd = -1;
    if (!input.open(&inputEnd))
        return onError(QProcess::FailedToStart);
    launch({QStringLiteral("--stdin"), devicePath, verifyFlag(verify)}, identity, inputEnd);
}

// Starts the helper with its arguments after "--write-helper" up to the verify flag; inputEnd,
// if not -1, becomes its standard input and is closed here once the child has it.
void WriteJob::launch(const QStringList &helperArguments, const DriveIdentity &identity, int inputEnd)
{
    int outputWriteEnd = -1;
    if (!openOutputPipe(&outputWriteEnd)) {
        if (inputEnd >= 0)
            ::close(inputEnd);
        return onError(QProcess::FailedToStart);
    }
    process.setStandardOutputFile(QProcess::nullDevice());
    // An empty name gives the file form back the plain input channel it never writes to.
    process.setStandardInputFile(inputEnd >= 0 ? QProcess::nullDevice() : QString());
    process.setChildProcessModifier([outputWriteEnd, inputEnd] {
        ::dup2(outputWriteEnd, STDOUT_FILENO);
        if (inputEnd >= 0)
            ::dup2(inputEnd, STDIN_FILENO);
    });

    const QString helper = helperExecutable();
    QStringList arguments = QStringList{QStringLiteral("--write-helper")} + helperArguments;
    if (identity.diskseq != 0)
        arguments << QStringLiteral("--diskseq=%1").arg(identity.diskseq);
    if (identity.sizeBytes > 0)
        arguments << QStringLiteral("--size=%1").arg(identity.sizeBytes);
    if (streaming && streamTotal > 0)
        arguments << QStringLiteral("--image-size=%1").arg(streamTotal);
    QString program = helper;
    // pkexec tells the helper whom it runs for; started by root directly, it reads as root, also
    // when this installer itself was started through pkexec or sudo and inherited their variables.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("PKEXEC_UID"));
    process.setProcessEnvironment(environment);
    if (!runningAsRoot()) {
        QStringList launcher = launcherCommand();
        program = launcher.takeFirst();
        arguments = launcher + QStringList{helper} + arguments;
    }
    process.start(program, arguments, QIODevice::ReadWrite);
    ::close(outputWriteEnd);
    if (inputEnd >= 0)
        ::close(inputEnd);
}

void WriteJob::cancel()
{
    cancelled = true;
    if (!isRunning())
        return;
    // The stream form's helper stops at the end of its input (the card's first MiB stays zero)
    // and still tells whether it had begun to write. The file form's is stopped by its output
    // closing: its next line ends it.
    input.close();
    if (!streaming)
        closeOutputPipe();
    process.kill();
}

// The read end stays with us (non-blocking, watched by a notifier); the write end is for the
// child only and is closed here as soon as the child has it.
bool WriteJob::openOutputPipe(int *writeEnd)
{
    closeOutputPipe();
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0)
        return false;
    ::fcntl(ends[0], F_SETFL, O_NONBLOCK);
    *writeEnd = ends[1];
    output = new QSocketNotifier(ends[0], QSocketNotifier::Read, this);
    connect(output, &QSocketNotifier::activated, this, &WriteJob::onOutput);
    return true;
}

// The notifier may be the sender of the running slot: it goes later, and is switched off now.
void WriteJob::closeOutputPipe()
{
    if (!output)
        return;
    output->setEnabled(false);
    ::close(int(output->socket()));
    output->deleteLater();
    output = nullptr;
}

// Appends whatever the pipe holds now to the buffer; true once the pipe's other end is closed,
// that is, the helper has gone.
bool WriteJob::drainOutputPipe()
{
    char chunk[4096];
    for (;;) {
        const ssize_t n = ::read(int(output->socket()), chunk, sizeof chunk);
        if (n > 0)
            outputBuffer.append(chunk, n);
        else if (n == 0)
            return true;
        else if (errno != EINTR)
            return false;
    }
}

bool WriteJob::isRunning() const
{
    return process.state() != QProcess::NotRunning;
}

QString WriteJob::launcherMessage() const
{
    return launcherLine;
}

QString WriteJob::lastErrorLine() const
{
    const QList<QByteArray> lines = errorOutput.trimmed().split('\n');
    return QString::fromLocal8Bit(lines.constLast().trimmed());
}

void WriteJob::onErrorOutput()
{
    errorOutput.append(process.readAllStandardError());
    if (errorOutput.size() > maxErrorOutput)
        errorOutput = errorOutput.right(maxErrorOutput);
}

QStringList WriteJob::launcherCommand()
{
    return {QStringLiteral("pkexec")};
}

QString WriteJob::helperExecutable()
{
    const QString executable = QCoreApplication::applicationFilePath();
    // Inside a mounted AppImage the executable vanishes with the mount, which the root
    // process cannot see; the AppImage file itself can be started again.
    const QString appImage = qEnvironmentVariable("APPIMAGE");
    const QString appDir = qEnvironmentVariable("APPDIR");
    if (appImage.isEmpty() || appDir.isEmpty() || !executable.startsWith(appDir))
        return executable;
    const QFileInfo appImageFile(appImage);
    return appImageFile.isAbsolute() && appImageFile.exists() ? appImage : executable;
}

void WriteJob::onOutput()
{
    if (output && drainOutputPipe())
        closeOutputPipe();
    for (const QString &line : takeHelperLines(&outputBuffer))
        interpretLine(parseHelperLine(line));
}

void WriteJob::interpretLine(const HelperLine &line)
{
    switch (line.kind) {
    case HelperLine::Done:
        doneSeen = true;
        break;
    case HelperLine::Error:
        lastError = line.text;
        break;
    case HelperLine::Progress:
        // A cancelled stream-form helper still runs to the end of its input: it only says how
        // far it got.
        if (cancelled)
            break;
        if (line.text != phase) {
            phase = line.text;
            Q_EMIT phaseChanged(phase);
        }
        // The stream form's helper writes before it knows the total unless it was given.
        Q_EMIT progress(line.done,
                        streaming && line.text == QLatin1String("write") ? streamTotal : line.total);
        break;
    case HelperLine::Ready:
        if (streaming && !cancelled) {
            input.resume();
            Q_EMIT ready();
        }
        break;
    case HelperLine::Writing:
        touchReported = true;
        break;
    case HelperLine::Ignored:
        break;
    }
}

void WriteJob::onFinished(int exitCode, QProcess::ExitStatus status)
{
    onOutput();
    onErrorOutput();
    closeOutputPipe();
    input.close();
    if (reported)
        return;
    if (cancelled)
        report(false, streaming && !cardTouched() ? cancelledUntouchedText() : cancelledText());
    else if (doneSeen && exitCode == 0 && status == QProcess::NormalExit)
        report(true, QString());
    else if (!lastError.isEmpty())
        report(false, lastError);
    else
        reportFailure(exitCode);
}

void WriteJob::reportFailure(int exitCode)
{
    if (isPkexecRefusal(exitCode))
        launcherLine = lastErrorLine();
    if (isPromptUnavailable(exitCode, launcherLine))
        report(
            false,
            QStringLiteral(
                "Die Passwortabfrage konnte nicht gezeigt werden: Es läuft kein polkit-Dienst oder kein "
                "Authentifizierungsagent. Bitte polkit und den Authentifizierungsagenten der Arbeitsumgebung "
                "installieren und starten, oder den Installer als root starten."));
    else if (isPkexecRefusal(exitCode))
        report(false,
               QStringLiteral("Keine Berechtigung: Die Passwortabfrage wurde abgebrochen oder abgelehnt."));
    else
        report(false, QStringLiteral("Der Schreib-Helfer wurde unerwartet beendet (Code %1).").arg(exitCode));
}

void WriteJob::onError(QProcess::ProcessError err)
{
    if (err != QProcess::FailedToStart || reported)
        return;
    closeOutputPipe();
    input.close();
    if (runningAsRoot())
        report(false, QStringLiteral("Der Schreib-Helfer konnte nicht gestartet werden."));
    else
        report(false,
               QStringLiteral("pkexec konnte nicht gestartet werden. Bitte polkit installieren oder den "
                              "Installer als root starten."));
}

void WriteJob::report(bool ok, const QString &error)
{
    reported = true;
    Q_EMIT finished(ok, error);
}

bool WriteJob::send(const QByteArray &bytes)
{
    if (!streaming || reported || !input.isAccepting())
        return false;
    for (qsizetype offset = 0; offset < bytes.size(); offset += ImageStream::maxDataFrame) {
        const QByteArray payload = bytes.mid(offset, ImageStream::maxDataFrame);
        input.write(ImageStream::dataHeader(payload.size()) + payload);
        imageBytesSent += payload.size();
    }
    return true;
}

qint64 WriteJob::queuedBytes() const
{
    return input.queued();
}

void WriteJob::goAhead()
{
    if (!streaming || !input.write(ImageStream::goAheadFrame(imageBytesSent)))
        return;
    input.finish();
}

void WriteJob::abortStream()
{
    if (!streaming)
        return;
    input.dropUntaken();
    if (input.write(ImageStream::abortFrame()))
        input.finish();
}

bool WriteJob::cardTouched() const
{
    return streaming ? touchReported : isRunning() || reported;
}
