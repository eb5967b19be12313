// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "drives.h"
#include "rompatcher.h"
#include "versionlist.h"

#include <QList>
#include <QObject>
#include <QString>
#include <QUrl>
#include <memory>

// Everything one installation needs, taken from a window or a command line.
struct InstallRequest
{
    // The image: a version of the list, fetched below imageBase, or a local file (useLocalImage
    // or a localImage given, which then wins over version).
    VersionEntry version;
    QUrl imageBase;
    bool useLocalImage = false;
    QString localImage;
    QString expectedSha256; // 64 lower-case hex digits; empty: the download is not compared

    QString romFile;
    bool useExt = false; // an extension ROM is wanted: extFile must then name one
    QString extFile;

    // One or more cards, each once, as listed when the user chose them; checked again before
    // anything starts. All of them get the same image from one pass.
    QList<DriveInfo> targets;

    QUrl counterUrl;           // where a successful install of a listed version is reported
    bool countConsent = false; // only with the user's consent

    bool isLocal() const { return useLocalImage || !localImage.isEmpty(); }
};

// The largest ROM file accepted; the smallest is 1 byte.
constexpr qint64 maxRomBytes = 8 * 1024 * 1024;

// Why the request cannot be started, as a German text for the user; empty when it can. Looks only
// at the request and the files it names: the image source, the ROM files, the chosen cards (at
// least one, none twice).
QString refusalOf(const InstallRequest &request);

// Why the file cannot serve as a ROM (none chosen, missing, a folder, empty, over 8 MiB); empty
// when it can. noun names the file in the text, e.g. "ROM-Datei".
QString romRefusal(const QString &path, const QString &noun);

// The drive of the fresh listing that has the chosen drive's path; an empty path when none has.
DriveInfo freshDrive(const QList<DriveInfo> &fresh, const QString &path);
// Why the chosen drive may not be written now: gone from the fresh listing, or another disk
// (other sequence number or size) under its name; empty when it is still the same.
QString targetRefusal(const DriveInfo &chosen, const QList<DriveInfo> &fresh);
// The first refusal of any of the chosen drives; empty when all are still the same.
QString targetRefusal(const QList<DriveInfo> &chosen, const QList<DriveInfo> &fresh);

// Why an image of imageBytes cannot go onto a card of cardBytes: it is larger.
QString cardTooSmallText(qint64 imageBytes, qint64 cardBytes);

// More than a memory card would hold: perhaps an external disk with the user's data.
bool isLargeDrive(const DriveInfo &drive);
// The question before the drive is erased, sharper for a large drive; a window and a command
// line ask it alike.
QString eraseQuestion(const DriveInfo &drive);
// The question for several cards at once: each named (label, size, path), each large drive marked.
// With one card the question above.
QString eraseQuestion(const QList<DriveInfo> &drives);
// What the user is told after a verified write.
QString finishedText();

// Address of the entry's image file: its name resolved against base taken as a folder.
QUrl imageUrl(const QUrl &base, const VersionEntry &entry);

// The address of the install counter beside the version list; empty where the list has no
// server (a local file).
QUrl counterUrlFor(const QUrl &configUrl);

class ByteSource;
class CardFeed;
class DownloadSource;
class FileSource;
class ImagePass;
class PaceWatch;
class QLockFile;
class QNetworkAccessManager;
class QTemporaryDir;
class QTimer;
class SleepInhibitor;
class WriteJob;

// One installation from its checks to its end, without widgets: checks the cards and the sizes,
// has one write helper hold every card (the password is asked once, before anything is fetched),
// then takes the image in one pass from its source (download, cache or local file) through the
// checksum, the unpacking and the ROM files onto the cards, gives the go-ahead only when the
// checksum matches, has each card read back, and reports each verified card to the counter. A
// card that fails on its own stops alone; the others go on. Keeps the computer from going to
// sleep meanwhile. Runs on the event loop of its thread.
class Installation : public QObject
{
    Q_OBJECT

public:
    enum class Step
    {
        Idle,
        Checking,
        Fetching, // the pass from the source onto the card
        Verifying,
        Finished
    };
    Q_ENUM(Step)
    enum class Outcome
    {
        None,
        Succeeded,
        Failed,
        Cancelled
    };
    Q_ENUM(Outcome)
    // What the card holds after the end: untouched, or possibly half-written (not bootable),
    // or written in full but not read back, or written and verified.
    enum class CardState
    {
        Unchanged,
        Unfinished,
        Unverified,
        Written
    };
    Q_ENUM(CardState)

    // One card of the running or last run, for a window's rows and the command line's lines.
    struct CardReport
    {
        enum class Stage
        {
            Waiting, // not yet written to: held and checked, or still being opened
            Writing,
            Verifying,
            Verified,
            Failed
        };
        DriveInfo drive;
        Stage stage = Stage::Waiting;
        CardState state = CardState::Unchanged; // what it holds now
        qint64 done = 0;                        // bytes written (Writing) or read back (Verifying)
        qint64 total = -1;                      // the image's bytes when known
        QString reason;                         // Failed: why, in German, ending with what the card holds
    };

    // The manager is not owned; without one the installation makes its own.
    explicit Installation(QNetworkAccessManager *networkManager = nullptr, QObject *parent = nullptr);
    // A running installation stops: the helper is stopped and the working folder removed;
    // no signal follows.
    ~Installation() override;
    Q_DISABLE_COPY(Installation)

    // Starts the request; the outcome arrives as exactly one finished(), possibly before this
    // returns (a refused request). Call only while not running.
    void start(const InstallRequest &newRequest);
    // The user's consent to the counter report may change until the report is due.
    void setCountConsent(bool consent);
    // Ends a running installation in any step; it finishes with ok false and outcome()
    // Cancelled, unless the card was already written and verified. Does nothing while not running.
    void cancel();

    bool isRunning() const;
    Step step() const { return currentStep; }
    Outcome outcome() const { return currentOutcome; }
    // The first card's state: with one card, what became of it.
    CardState cardState() const;
    // One report per card of the request, in its order; empty before the first start.
    QList<CardReport> cardReports() const { return cards; }
    // The line the command line prints per card at the end: „label“ (path): what became of it.
    static QString reportLine(const CardReport &report);
    // What a stall of the step waits for, for a progress display: the server while a listed
    // image is fetched; empty otherwise.
    static QString waitingFor(Step step, const InstallRequest &request);
    // Whether the last run failed because its download stopped on the way (timed out, connection
    // broken, cut short): starting it again at once may succeed.
    bool downloadWasInterrupted() const { return downloadInterrupted; }
    // The private working folder of the running installation; empty while none exists.
    QString workingFolder() const;

    // The folder below which every installation of this user makes its working folder.
    static QString workingRoot();
    // The folder that keeps the most recent verified download, named by its SHA-256.
    static QString imageCache();
    // Removes working folders that no running installer of this user owns any more.
    static void removeLeftovers();

Q_SIGNALS:
    // A new step, with the German status text for it.
    void stepChanged(Installation::Step step, const QString &text);
    // The running step's text changed, e.g. to say which side sets the pace; the step goes on.
    void activityChanged(const QString &text);
    // Bytes done and total of the running step (total -1 while unknown): of the source during the
    // pass, of the card during the read-back.
    void progress(qint64 done, qint64 total);
    // A line for the log.
    void logLine(const QString &text);
    // The one end of a run: ok after a verified write of every card. With one card the text is
    // empty on success, else the German reason and what became of the card; with several it sums
    // up every card.
    void finished(bool ok, const QString &text);
    // cardReports().at(index) changed: its stage, state or bytes.
    void cardChanged(int index);

private:
    QString checkTarget();
    QString makeWorkingFolder();
    QString prepareCache();
    QString sizeRefusal(qint64 imageBytes, qint64 diskBytes) const;
    QString readRoms();
    bool readRomFile(const QString &path, const QString &name, QString *error);
    qint64 knownImageBytes() const;
    void holdCard();
    void onCardReady();
    ByteSource *openSource(QString *error);
    ByteSource *openFile(const QString &path, QString *error);
    ByteSource *openDownload(QString *error);
    QString passText() const;
    // The text for one card or, in a run onto several, the one for several.
    QString cardsText(const QString &one, const QString &several) const
    {
        return request.targets.size() > 1 ? several : one;
    }
    void startPass(ByteSource &source);
    void onDownloadProgress(qint64 received, qint64 total);
    void onDownloadFinished(bool ok, const QString &error);
    void onPassFinished(bool complete, const QString &imageError, const QString &sha256Hex);
    QString checksumRefusal(const QString &sha256Hex);
    void dropPart();
    void keepInCache();
    void onPhaseChanged(const QString &phase);
    void onCardProgress(qint64 done, qint64 total);
    CardReport *openReport(int index);
    void onCardWriting(int index);
    void onCardBytes(int index, const QString &phase, qint64 done, qint64 total);
    void onCardEnded(int index, bool ok, const QString &error);
    void onRunFinished(bool ok, const QString &error);
    void endOpenCards();
    static CardState stateAfterFailure(const CardReport &report);
    QString runError(const QString &error) const;
    QString endText(const QString &reason) const;
    QString summary(const QString &reason) const;
    qint64 largestCardBytes() const;
    QString cachedImage() const;
    QString partialImage() const;
    void stop(const QString &reason);
    QString downloadFailureText(const QString &error) const;
    static QString encodingHint(const QByteArray &encoding);
    void reportInstall();
    void enterStep(Step next, const QString &text);
    void finish(Outcome result, const QString &text);
    void stopPass();
    void stopParts();

    QNetworkAccessManager *network = nullptr;
    std::unique_ptr<QNetworkAccessManager> ownNetwork;
    InstallRequest request;
    std::unique_ptr<QTemporaryDir> workDir;
    QList<RomFile> roms;
    WriteJob *writeJob = nullptr;
    DownloadSource *download = nullptr;
    std::unique_ptr<FileSource> fileSource;
    QString partPath;                    // where the download goes as sent
    std::unique_ptr<QLockFile> partLock; // held while this run downloads into the cache
    CardFeed *feed = nullptr;
    ImagePass *pass = nullptr;
    PaceWatch *pace = nullptr;
    QTimer *progressTimer = nullptr;
    SleepInhibitor *sleepInhibitor; // held from the start to the end of a run
    QString failure;                // why the run is being stopped; empty while it goes on or for a cancel
    qint64 sourceBytes = -1;        // the source's length, once known
    qint64 keptBytes = 0;           // of an interrupted download, continued by the running one
    bool sizeChecked = false;
    bool goAheadGiven = false;
    bool verifying = false;
    bool downloadInterrupted = false;
    bool cancelRequested = false;
    bool cardFailedOnItsOwn = false; // with its own reason, while the run went on
    Step currentStep = Step::Idle;
    Outcome currentOutcome = Outcome::None;
    QList<CardReport> cards;
};
