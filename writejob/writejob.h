// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "drives.h"
#include "helperoutput.h"
#include "streampipe.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QProcess>
#include <QString>
#include <QStringList>

class QSocketNotifier;

// One card of a several-card run: its path and the identity it had when it was chosen.
struct StreamCard
{
    QString devicePath;
    DriveIdentity identity;
};

// The GUI-side handle of one write of an image to a card: starts the write helper (through
// pkexec unless we are root), turns its output lines into signals and its end into exactly one
// finished(ok, error) per run. One object serves any number of runs, one at a time, each either
// from an image file (start) or from bytes handed over while they arrive (startStream).
class WriteJob : public QObject
{
    Q_OBJECT

public:
    explicit WriteJob(QObject *parent = nullptr);
    // Kills a helper that is still running and waits until it has gone; no signal follows.
    ~WriteJob() override;
    Q_DISABLE_COPY(WriteJob)

    // Starts writing imagePath to devicePath; the outcome arrives as one finished(). A known
    // identity (non-zero parts) goes to the helper, which refuses a disk that no longer has it.
    void start(const QString &imagePath, const QString &devicePath, bool verify,
               const DriveIdentity &identity = DriveIdentity());
    // Starts the helper for devicePath with the image coming from us through its standard input.
    // The helper opens and holds the card and makes every check (identity, allowed target,
    // unmounting, size when imageBytes is known, the fake-card check) before it says ready();
    // only then are bytes sent. imageBytes: the unpacked image size when known, else -1 (the
    // progress total, and the helper refuses a card too small before anything is written).
    void startStream(const QString &devicePath, bool verify, const DriveIdentity &identity = DriveIdentity(),
                     qint64 imageBytes = -1);
    // Several cards from one helper, so the password is asked once. Each card is held and checked
    // on its own, gets the same bytes, and ends on its own with cardFinished(); ready() comes once
    // every card is checked and at least one is held. With one card this is the form above.
    void startStream(const QList<StreamCard> &cards, bool verify, qint64 imageBytes = -1);
    // The cards of the running (or last) run: 1 for the one-card forms.
    int cardCount() const;
    // Queues image bytes for the helper, in order from offset 0, any size (framed here). False
    // once the run has ended (then nothing was queued).
    bool send(const QByteArray &bytes);
    // Bytes queued but not yet taken by the helper's pipe. A producer pauses while this is above
    // streamHighWater and resumes on drained().
    qint64 queuedBytes() const;
    static constexpr qint64 streamHighWater = 8 * 1024 * 1024;
    // Every byte is sent and the image is accepted: the helper writes the real first MiB, reads
    // everything back and ends with DONE, then finished(true, "").
    void goAhead();
    // The image must not be used: the helper stops, the card's first MiB stays zero, then
    // finished(false, text).
    void abortStream();
    // True once the helper has reported that it started writing to the card in this run; it
    // reports that before it changes the card. The file form reports nothing before writing:
    // there it is true from the start.
    bool cardTouched() const;
    // That card (0-based, in the order given) got its first image byte: its first MiB was zeroed.
    bool cardTouched(int card) const;

    // Stops a running helper, which then ends the run with the cancel text; idle, it only
    // marks the (not yet started) run as cancelled until the next start().
    void cancel();
    // True while the helper process (or pkexec) exists in any state.
    bool isRunning() const;
    // pkexec's own last line when it ended the run without running the helper (a refusal, or no
    // prompt possible); empty otherwise.
    QString launcherMessage() const;

    // The command that raises privileges: the program, then its leading arguments.
    static QStringList launcherCommand();
    // The program file the helper runs: the running executable, or the AppImage it came from.
    static QString helperExecutable();

Q_SIGNALS:
    void phaseChanged(const QString &phase);
    void progress(qint64 done, qint64 total);
    void finished(bool ok, const QString &error);
    // Stream form: the helper holds the card and its checks passed; bytes may be sent now.
    void ready();
    // Stream form: queuedBytes() fell to half of streamHighWater or below.
    void drained();
    // Per card, 0-based in the order given; the one-card forms use card 0. The card got its first
    // image byte (stream forms; the file form says it at its start).
    void cardWriting(int card);
    // phase "write" or "verify"; total -1 while not known.
    void cardProgress(int card, const QString &phase, qint64 done, qint64 total);
    // That card's own end, once per card and before finished(); ok: written and verified (or
    // written, without verification).
    void cardFinished(int card, bool ok, const QString &error);

private Q_SLOTS:
    void onOutput();
    void onFinished(int exitCode, QProcess::ExitStatus status);
    void onError(QProcess::ProcessError err);
    void onErrorOutput();

private:
    void reset();
    void launch(const QStringList &helperArguments, const DriveIdentity &identity, int inputEnd);
    bool openOutputPipe(int *writeEnd);
    void closeOutputPipe();
    bool drainOutputPipe();
    void interpretLine(const HelperLine &line);
    void interpretCardLine(int card, const HelperLine &line);
    qint64 progressTotal(const HelperLine &line) const;
    void reportProgress(const QString &linePhase, qint64 done, qint64 total);
    void reportSlowestCard();
    void endCard(int card, bool ok, const QString &error);
    void report(bool ok, const QString &error);
    void reportFailure(int exitCode);
    QString lastErrorLine() const;

    // What the run knows of each card; one for the one-card forms.
    struct CardRun
    {
        bool touched = false;
        bool ended = false;
        QString phase;
        qint64 done = 0;
        qint64 total = -1;
    };

    QProcess process;
    QList<CardRun> cardRuns{CardRun()};
    bool severalCards = false; // the helper's several-card form: its card lines say "CARD <n>"
    // The helper's standard output is a pipe of our own, not QProcess's: closing our end is
    // what stops a helper that pkexec runs as root, where kill() is not permitted. Its next
    // line then ends it with SIGPIPE. Null while no pipe is open; its socket is our read end.
    QSocketNotifier *output = nullptr;
    QByteArray outputBuffer;
    QString lastError;
    QByteArray errorOutput; // the tail of pkexec's and the helper's standard error
    QString launcherLine;
    QString phase;
    // The stream form: the helper's standard input and what has been handed to it.
    StreamPipe input{streamHighWater / 2};
    bool streaming = false;
    qint64 streamTotal = -1;
    qint64 imageBytesSent = 0;
    bool touchReported = false;
    bool doneSeen = false;
    bool cancelled = false;
    bool reported = false;
};
