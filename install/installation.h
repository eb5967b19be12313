#pragma once

#include "drives.h"
#include "sha256.h"
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

    DriveInfo target; // as listed when the user chose it; checked again before anything starts

    QUrl counterUrl;           // where a successful install of a listed version is reported
    bool countConsent = false; // only with the user's consent

    bool isLocal() const { return useLocalImage || !localImage.isEmpty(); }
};

// The largest ROM file accepted; the smallest is 1 byte.
constexpr qint64 maxRomBytes = 8 * 1024 * 1024;

// Why the request cannot be started, as a German text for the user; empty when it can. Looks only
// at the request and the files it names: the image source, the ROM files, a chosen target.
QString refusalOf(const InstallRequest &request);

// Why the file cannot serve as a ROM (none chosen, missing, a folder, empty, over 8 MiB); empty
// when it can. noun names the file in the text, e.g. "ROM-Datei".
QString romRefusal(const QString &path, const QString &noun);

// The drive of the fresh listing that has the chosen drive's path; an empty path when none has.
DriveInfo freshDrive(const QList<DriveInfo> &fresh, const QString &path);
// Why the chosen drive may not be written now: gone from the fresh listing, or another disk
// (other sequence number or size) under its name; empty when it is still the same.
QString targetRefusal(const DriveInfo &chosen, const QList<DriveInfo> &fresh);

// More than a memory card would hold: perhaps an external disk with the user's data.
bool isLargeDrive(const DriveInfo &drive);
// The question before the drive is erased, sharper for a large drive; a window and a command
// line ask it alike.
QString eraseQuestion(const DriveInfo &drive);
// What the user is told after a verified write.
QString finishedText();

// Address of the entry's image file: its name resolved against base taken as a folder.
QUrl imageUrl(const QUrl &base, const VersionEntry &entry);

// The address of the install counter beside the version list; empty where the list has no
// server (a local file).
QUrl counterUrlFor(const QUrl &configUrl);

class Downloader;
class FatImage;
class FileHasher;
class FileUnpacker;
class LocalCopy;
class QNetworkAccessManager;
class QLockFile;
class QTemporaryDir;
class SleepInhibitor;
class WriteJob;

// One installation from its checks to its end, without widgets: checks the target and the
// sizes, fetches or copies the image into a private working folder, puts the ROM files in,
// has it written and verified, and reports to the counter. Keeps the computer from going to
// sleep meanwhile. Runs on the event loop of its thread.
class Installation : public QObject
{
    Q_OBJECT

public:
    enum class Step
    {
        Idle,
        Checking,
        Fetching,
        Injecting,
        Writing,
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

    // The manager is not owned; without one the installation makes its own.
    explicit Installation(QNetworkAccessManager *network = nullptr, QObject *parent = nullptr);
    // A running installation stops: the helper is stopped and the working folder removed;
    // no signal follows.
    ~Installation() override;
    Q_DISABLE_COPY(Installation)

    // Starts the request; the outcome arrives as exactly one finished(), possibly before this
    // returns (a refused request). Call only while not running.
    void start(const InstallRequest &request);
    // The user's consent to the counter report may change until the report is due.
    void setCountConsent(bool consent);
    // Ends a running installation in any step; it finishes with ok false and outcome()
    // Cancelled. Does nothing while not running.
    void cancel();

    bool isRunning() const;
    Step step() const { return currentStep; }
    Outcome outcome() const { return currentOutcome; }
    CardState cardState() const { return card; }
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
    // Bytes done and total of the running step (total -1 while unknown).
    void progress(qint64 done, qint64 total);
    // A line for the log.
    void logLine(const QString &text);
    // The one end of a run: ok after a verified write, else the German reason (for a cancel,
    // what happened to the card).
    void finished(bool ok, const QString &text);

private:
    QString checkTarget();
    QString makeWorkingFolder();
    QString sizeRefusal(qint64 imageBytes, qint64 diskBytes) const;
    qint64 imageLimit() const;
    void takeImageFile(const QString &path);
    void copyImageFile(const QString &path);
    void unpackImageFile(const QString &path);
    void onImageCopied(bool ok, const QString &error);
    void downloadStraight();
    void downloadIntoCache();
    Downloader *makeDownloader();
    void onDownloadProgress(qint64 received, qint64 total);
    void onDownloaded(bool ok, const QString &error, const QString &sha256Hex);
    void checkCachedImage();
    void onCacheChecked(bool ok);
    QString cachedImage() const;
    QString partialImage() const;
    QString keepInCache();
    void injectRoms();
    bool copyRomsIntoImage(QString *error);
    bool writeRomFile(FatImage &image, const QString &sourcePath, const QString &targetName, QString *error);
    void startWriting();
    void onPhaseChanged(const QString &phase);
    void onWritten(bool ok, const QString &error);
    void reportInstall();
    void enterStep(Step next, const QString &text);
    void finish(Outcome result, const QString &text);
    void stopParts();

    QNetworkAccessManager *network = nullptr;
    std::unique_ptr<QNetworkAccessManager> ownNetwork;
    InstallRequest request;
    std::unique_ptr<QTemporaryDir> workDir;
    QString imagePath;
    Downloader *downloader = nullptr;
    FileHasher *cacheCheck = nullptr;
    std::unique_ptr<QLockFile> partLock; // held while this run downloads into the cache
    Sha256 cacheDigest;
    LocalCopy *localCopy = nullptr;
    FileUnpacker *fileUnpacker = nullptr;
    WriteJob *writeJob = nullptr;
    SleepInhibitor *sleepInhibitor; // held from the start to the end of a run
    QString pendingFailure;         // why the running download is being stopped
    bool sizeChecked = false;
    qint64 keptBytes = 0; // of an interrupted download, continued by the running one
    bool cancelRequested = false;
    Step currentStep = Step::Idle;
    Outcome currentOutcome = Outcome::None;
    CardState card = CardState::Unchanged;
};
