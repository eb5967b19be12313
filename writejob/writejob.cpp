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

// The options that follow a card's path: its identity as far as known.
QStringList identityArguments(const DriveIdentity &identity)
{
    QStringList arguments;
    if (identity.diskseq != 0)
        arguments << QStringLiteral("--diskseq=%1").arg(identity.diskseq);
    if (identity.sizeBytes > 0)
        arguments << QStringLiteral("--size=%1").arg(identity.sizeBytes);
    return arguments;
}

// The several-card form after "--write-helper": "--stdin-cards --verify [--image-size=N]", then
// "--card PATH [identity]" per card.
QStringList severalCardArguments(const QList<StreamCard> &cards, bool verify, qint64 imageBytes)
{
    QStringList arguments{QStringLiteral("--stdin-cards"), verifyFlag(verify)};
    if (imageBytes > 0)
        arguments << QStringLiteral("--image-size=%1").arg(imageBytes);
    for (const StreamCard &card : cards)
        arguments << QStringLiteral("--card") << card.devicePath << identityArguments(card.identity);
    return arguments;
}

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
    cardRuns = {CardRun()};
    severalCards = false;
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
    startStream(QList<StreamCard>{{devicePath, identity}}, verify, imageBytes);
}

void WriteJob::startStream(const QList<StreamCard> &cards, bool verify, qint64 imageBytes)
{
    reset();
    streaming = true;
    streamTotal = imageBytes > 0 ? imageBytes : -1;
    severalCards = cards.size() > 1;
    cardRuns = QList<CardRun>(qMax(cards.size(), qsizetype(1)));
    int inputEnd = -1;
    if (!input.open(&inputEnd))
        return onError(QProcess::FailedToStart);
    if (!severalCards)
        return launch({QStringLiteral("--stdin"), cards.value(0).devicePath, verifyFlag(verify)},
                      cards.value(0).identity, inputEnd);
    launch(severalCardArguments(cards, verify, streamTotal), DriveIdentity(), inputEnd);
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
    QStringList arguments =
        QStringList{QStringLiteral("--write-helper")} + helperArguments + identityArguments(identity);
    if (streaming && !severalCards && streamTotal > 0)
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
    if (severalCards && line.card > 0)
        return interpretCardLine(line.card - 1, line);
    if (line.card > 0)
        return;
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
        if (cancelled || severalCards)
            break;
        if (!streaming && !cardRuns[0].touched) {
            cardRuns[0].touched = true;
            Q_EMIT cardWriting(0);
        }
        reportProgress(line.text, line.done, progressTotal(line));
        Q_EMIT cardProgress(0, phase, line.done, progressTotal(line));
        break;
    case HelperLine::Ready:
        if (streaming && !cancelled) {
            input.resume();
            Q_EMIT ready();
        }
        break;
    case HelperLine::Writing:
        if (severalCards)
            break;
        touchReported = true;
        cardRuns[0].touched = true;
        Q_EMIT cardWriting(0);
        break;
    case HelperLine::Ignored:
        break;
    }
}

// The stream form's helper writes before it knows the total unless it was given.
qint64 WriteJob::progressTotal(const HelperLine &line) const
{
    return streaming && line.text == QLatin1String("write") ? streamTotal : line.total;
}

void WriteJob::reportProgress(const QString &linePhase, qint64 done, qint64 total)
{
    if (linePhase != phase) {
        phase = linePhase;
        Q_EMIT phaseChanged(phase);
    }
    Q_EMIT progress(done, total);
}

// A line of the several-card form about one card; a number beyond the cards is no line of ours.
void WriteJob::interpretCardLine(int card, const HelperLine &line)
{
    if (card >= cardRuns.size() || cardRuns.at(card).ended)
        return;
    CardRun &run = cardRuns[card];
    switch (line.kind) {
    case HelperLine::Writing:
        run.touched = true;
        touchReported = true;
        Q_EMIT cardWriting(card);
        break;
    case HelperLine::Progress:
        if (cancelled)
            break;
        run.phase = line.text;
        run.done = line.done;
        run.total = progressTotal(line);
        Q_EMIT cardProgress(card, run.phase, run.done, run.total);
        reportSlowestCard();
        break;
    case HelperLine::Done:
        endCard(card, true, QString());
        break;
    case HelperLine::Error:
        // A cancelled run ends every card with the cancel text instead.
        if (!cancelled)
            endCard(card, false, line.text);
        break;
    default:
        break;
    }
}

// The run's bar follows the card furthest behind among those still going: writing before
// verifying, fewer bytes before more.
void WriteJob::reportSlowestCard()
{
    const CardRun *slowest = nullptr;
    const auto behind = [](const CardRun &a, const CardRun &b) {
        const bool aVerifies = a.phase == QLatin1String("verify");
        const bool bVerifies = b.phase == QLatin1String("verify");
        return aVerifies != bVerifies ? !aVerifies : a.done < b.done;
    };
    for (const CardRun &run : std::as_const(cardRuns))
        if (!run.ended && !run.phase.isEmpty() && (!slowest || behind(run, *slowest)))
            slowest = &run;
    if (slowest)
        reportProgress(slowest->phase, slowest->done, slowest->total);
}

void WriteJob::endCard(int card, bool ok, const QString &error)
{
    cardRuns[card].ended = true;
    Q_EMIT cardFinished(card, ok, error);
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

// Every card without an end of its own ends with the run: cancelled, each with the text of its
// own state; otherwise with the run's outcome.
void WriteJob::report(bool ok, const QString &error)
{
    reported = true;
    for (int card = 0; card < cardRuns.size(); ++card) {
        if (cardRuns.at(card).ended)
            continue;
        const bool untouched = streaming && !cardRuns.at(card).touched;
        endCard(card, ok, cancelled ? (untouched ? cancelledUntouchedText() : cancelledText()) : error);
    }
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

bool WriteJob::cardTouched(int card) const
{
    if (!streaming)
        return card == 0 && cardTouched();
    return card >= 0 && card < cardRuns.size() && cardRuns.at(card).touched;
}

int WriteJob::cardCount() const
{
    return int(cardRuns.size());
}
