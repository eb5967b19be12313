#include "installation.h"

#include "counterreport.h"
#include "downloader.h"
#include "filehasher.h"
#include "fileunpacker.h"
#include "germannumber.h"
#include "imagecache.h"
#include "imageformat.h"
#include "localcopy.h"
#include "sleepinhibitor.h"
#include "writejob.h"

#include <QDir>
#include <QFileInfo>
#include <QLockFile>
#include <QNetworkAccessManager>
#include <QStandardPaths>
#include <QStorageInfo>
#include <QTemporaryDir>
#include <cerrno>
#include <csignal>
#include <unistd.h>

namespace {

bool runningAsRoot()
{
    return ::geteuid() == 0;
}

// Without pkexec no password prompt can be shown, so a user's run would fail only after the
// whole download.
QString launcherRefusal()
{
    if (runningAsRoot() ||
        !QStandardPaths::findExecutable(WriteJob::launcherCommand().constFirst()).isEmpty())
        return QString();
    return QStringLiteral(
        "Die Passwortabfrage kann nicht gezeigt werden: pkexec ist nicht installiert. Bitte "
        "das Paket „pkexec“ (polkit) installieren oder den Installer als root starten.");
}

// The process that made a working folder: its name starts with the process id.
bool ownerIsRunning(const QString &folderName)
{
    bool ok = false;
    const qint64 pid = folderName.section(QLatin1Char('-'), 0, 0).toLongLong(&ok);
    if (!ok || pid <= 0)
        return false;
    return pid == ::getpid() || ::kill(pid_t(pid), 0) == 0 || errno != ESRCH;
}

// A file that cannot be read counts as raw: copying it then says why.
bool isPackedFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) &&
           detectImageFormat(file.read(imageFormatHeadSize)) != ImageFormat::Raw;
}

QString cancelText(Installation::CardState card)
{
    switch (card) {
    case Installation::CardState::Unchanged:
        return QStringLiteral("Abgebrochen. Die Karte wurde nicht verändert.");
    case Installation::CardState::Unverified:
        return QStringLiteral("Abgebrochen. Die Karte ist beschrieben, aber nicht geprüft; sie sollte neu "
                              "bespielt werden.");
    default:
        return QStringLiteral("Abgebrochen. Die Karte ist unvollständig beschrieben, startet so nicht und "
                              "muss neu bespielt werden.");
    }
}

} // namespace

Installation::Installation(QNetworkAccessManager *network, QObject *parent)
    : QObject(parent), network(network), sleepInhibitor(new SleepInhibitor(this))
{
    if (!network) {
        ownNetwork = std::make_unique<QNetworkAccessManager>();
        this->network = ownNetwork.get();
    }
}

// The parts go first, without a signal: the helper is stopped before its image is removed.
Installation::~Installation()
{
    stopParts();
}

void Installation::start(const InstallRequest &request)
{
    this->request = request;
    currentOutcome = Outcome::None;
    card = CardState::Unchanged;
    pendingFailure.clear();
    enterStep(Step::Checking, QStringLiteral("Prüfe Karte und Speicherplatz …"));
    QString refusal = refusalOf(request);
    if (refusal.isEmpty())
        refusal = launcherRefusal();
    if (refusal.isEmpty())
        refusal = checkTarget();
    if (refusal.isEmpty())
        refusal = makeWorkingFolder();
    if (!refusal.isEmpty())
        return finish(Outcome::Failed, refusal);
    sleepInhibitor->acquire(QStringLiteral("Tobra wird auf eine Speicherkarte geschrieben."));
    if (request.isLocal())
        takeImageFile(request.localImage);
    else if (cachedImage().isEmpty())
        downloadStraight();
    else if (QFileInfo::exists(cachedImage()))
        checkCachedImage();
    else
        downloadIntoCache();
}

void Installation::setCountConsent(bool consent)
{
    request.countConsent = consent;
}

void Installation::cancel()
{
    if (!isRunning() || cancelRequested)
        return;
    cancelRequested = true;
    Q_EMIT logLine(QStringLiteral("Abbruch angefordert …"));
    if (localCopy || fileUnpacker || cacheCheck)
        finish(Outcome::Cancelled, cancelText(card));
    else if (downloader)
        downloader->cancel();
    else if (writeJob)
        writeJob->cancel();
}

bool Installation::isRunning() const
{
    return currentStep != Step::Idle && currentStep != Step::Finished;
}

QString Installation::workingFolder() const
{
    return workDir ? workDir->path() : QString();
}

QString Installation::workingRoot()
{
    return QStandardPaths::writableLocation(QStandardPaths::CacheLocation) + QStringLiteral("/work");
}

QString Installation::imageCache()
{
    return QStandardPaths::writableLocation(QStandardPaths::CacheLocation) + QStringLiteral("/images");
}

void Installation::removeLeftovers()
{
    const QDir root(workingRoot());
    for (const QString &name : root.entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::NoSymLinks)) {
        if (!ownerIsRunning(name))
            QDir(root.filePath(name)).removeRecursively();
    }
}

// The disk chosen from an earlier listing must still be there and be the same disk.
QString Installation::checkTarget()
{
    QString error;
    const QList<DriveInfo> drives = listDrives(&error);
    if (drives.isEmpty() && !error.isEmpty())
        return error;
    return targetRefusal(request.target, drives);
}

// Below the user's cache, on disk rather than in a RAM-backed /tmp; only the user may enter.
QString Installation::makeWorkingFolder()
{
    removeLeftovers();
    const QString root = workingRoot();
    QDir().mkpath(root);
    QFile::setPermissions(root, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    workDir = std::make_unique<QTemporaryDir>(root + QStringLiteral("/%1-XXXXXX").arg(::getpid()));
    if (!workDir->isValid()) {
        workDir.reset();
        return QStringLiteral("Der Arbeitsordner unter %1 konnte nicht angelegt werden.").arg(root);
    }
    imagePath = workDir->filePath(QStringLiteral("tobra.img"));
    return QString();
}

// The image must fit onto the card, and diskBytes (the image, and what else is still to be
// stored for it) into the working folder's file system.
QString Installation::sizeRefusal(qint64 imageBytes, qint64 diskBytes) const
{
    if (request.target.sizeBytes > 0 && imageBytes > request.target.sizeBytes)
        return QStringLiteral("Das Image (%1) ist größer als die Speicherkarte (%2).")
            .arg(germanSize(imageBytes), germanSize(request.target.sizeBytes));
    const qint64 free = QStorageInfo(workDir->path()).bytesAvailable();
    if (free >= 0 && diskBytes > free)
        return QStringLiteral(
                   "Im Arbeitsordner %1 ist zu wenig Platz frei: Das Image braucht %2, frei sind %3.")
            .arg(workingRoot(), germanSize(diskBytes), germanSize(free));
    return QString();
}

// No image larger than the card is taken in.
qint64 Installation::imageLimit() const
{
    return request.target.sizeBytes > 0 ? request.target.sizeBytes : -1;
}

// The working copy of an image file, which is never changed itself: unpacked when it is packed,
// else copied (cloned where the file system can). A packed file's unpacked size shows only while
// it is unpacked, which stops at the limit.
void Installation::takeImageFile(const QString &path)
{
    if (isPackedFile(path))
        return unpackImageFile(path);
    const qint64 size = QFileInfo(path).size();
    const QString refusal = sizeRefusal(size, size);
    if (!refusal.isEmpty())
        return finish(Outcome::Failed, refusal);
    copyImageFile(path);
}

void Installation::copyImageFile(const QString &path)
{
    enterStep(Step::Fetching, request.isLocal() ? QStringLiteral("Kopiere lokales Image …")
                                                : QStringLiteral("Kopiere das Image in den Arbeitsordner …"));
    localCopy = new LocalCopy(this);
    connect(localCopy, &LocalCopy::progress, this, &Installation::progress);
    connect(localCopy, &LocalCopy::finished, this, &Installation::onImageCopied);
    localCopy->start(path, imagePath);
}

void Installation::unpackImageFile(const QString &path)
{
    enterStep(Step::Fetching, request.isLocal() ? QStringLiteral("Entpacke lokales Image …")
                                                : QStringLiteral("Entpacke das Image …"));
    fileUnpacker = new FileUnpacker(this);
    connect(fileUnpacker, &FileUnpacker::progress, this, &Installation::progress);
    connect(fileUnpacker, &FileUnpacker::finished, this, &Installation::onImageCopied);
    fileUnpacker->start(path, imagePath, imageLimit());
}

void Installation::onImageCopied(bool ok, const QString &error)
{
    if (localCopy)
        localCopy->deleteLater();
    if (fileUnpacker)
        fileUnpacker->deleteLater();
    localCopy = nullptr;
    fileUnpacker = nullptr;
    if (ok)
        injectRoms();
    else
        finish(Outcome::Failed, error);
}

// Without a checksum to name it, nothing is cached: the image goes straight into the working
// folder, unpacked on the way.
void Installation::downloadStraight()
{
    enterStep(Step::Fetching, QStringLiteral("Lade %1 herunter …").arg(request.version.title));
    makeDownloader()->start(imageUrl(request.imageBase, request.version), imagePath, imageLimit());
}

// The download is kept as sent beside the cached image and continues what an interrupted one left.
// Another installer fetching the same image at the same time owns that file: this run then
// fetches without the cache.
void Installation::downloadIntoCache()
{
    QDir().mkpath(imageCache());
    QFile::setPermissions(imageCache(),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    const QString part = partialImage();
    partLock = std::make_unique<QLockFile>(lockOf(part));
    partLock->setStaleLockTime(0);
    if (!partLock->tryLock(0)) {
        partLock.reset();
        Q_EMIT logLine(QStringLiteral(
            "Ein anderer Installer lädt dieses Image gerade herunter; es wird ohne den Cache geladen."));
        return downloadStraight();
    }
    enterStep(Step::Fetching, QStringLiteral("Lade %1 herunter …").arg(request.version.title));
    keptBytes = QFileInfo(part).size();
    if (keptBytes > 0)
        Q_EMIT logLine(QStringLiteral("Der unterbrochene Download wird fortgesetzt; %1 liegen schon vor.")
                           .arg(germanSize(keptBytes)));
    makeDownloader()->resume(imageUrl(request.imageBase, request.version), part, imageLimit());
}

Downloader *Installation::makeDownloader()
{
    downloader = new Downloader(network, this);
    connect(downloader, &Downloader::progress, this, &Installation::onDownloadProgress);
    connect(downloader, &Downloader::finished, this, &Installation::onDownloaded);
    return downloader;
}

// The announced length of a raw image is its size: one that cannot fit stops with the first
// bytes, not after the whole download. A download into the cache needs room for the rest of it
// and then for the working copy. A packed image's size shows only while it is unpacked; that,
// like a raw body without a length, stops at the downloader's limit.
void Installation::onDownloadProgress(qint64 received, qint64 total)
{
    if (!pendingFailure.isEmpty())
        return;
    const std::optional<ImageFormat> format = downloader->format();
    if (total > 0 && format && !sizeChecked) {
        sizeChecked = true;
        const qint64 diskBytes = cachedImage().isEmpty() ? total : 2 * total - keptBytes;
        if (*format == ImageFormat::Raw)
            pendingFailure = sizeRefusal(total, diskBytes);
    }
    if (pendingFailure.isEmpty())
        Q_EMIT progress(received, total);
    else
        downloader->cancel();
}

// A download that fails keeps its bytes in the cache to be continued; one that arrived whole but
// does not match its checksum would never match, and goes.
void Installation::onDownloaded(bool ok, const QString &error, const QString &sha256Hex)
{
    downloader->deleteLater();
    downloader = nullptr;
    if (!ok && cancelRequested)
        return finish(Outcome::Cancelled, cancelText(card));
    if (!ok)
        return finish(Outcome::Failed, pendingFailure.isEmpty()
                                           ? QStringLiteral("Download fehlgeschlagen: %1").arg(error)
                                           : pendingFailure);
    Q_EMIT logLine(QStringLiteral("Download fertig, SHA-256 %1").arg(sha256Hex));
    if (request.expectedSha256.isEmpty()) {
        Q_EMIT logLine(QStringLiteral(
            "Hinweis: In der tobra.json steht keine Prüfsumme, das Image wird nicht verglichen."));
        return injectRoms();
    }
    if (request.expectedSha256 != sha256Hex) {
        if (partLock)
            QFile::remove(partialImage());
        return finish(Outcome::Failed,
                      QStringLiteral("Die Prüfsumme des Downloads stimmt nicht mit der tobra.json überein.\n"
                                     "Erwartet: %1\nErhalten: %2")
                          .arg(request.expectedSha256, sha256Hex));
    }
    Q_EMIT logLine(QStringLiteral("Prüfsumme stimmt."));
    if (partLock)
        takeImageFile(keepInCache());
    else
        injectRoms();
}

void Installation::checkCachedImage()
{
    enterStep(Step::Fetching, QStringLiteral("Prüfe %1 im Cache …").arg(request.version.title));
    Q_EMIT logLine(QStringLiteral("Das Image wird aus dem Cache genommen: %1").arg(cachedImage()));
    cacheDigest.reset();
    cacheCheck = new FileHasher(this);
    connect(cacheCheck, &FileHasher::progress, this, &Installation::progress);
    connect(cacheCheck, &FileHasher::finished, this, &Installation::onCacheChecked);
    cacheCheck->start(cachedImage(), cacheDigest);
}

// A cached image that no longer matches its checksum (changed, damaged, cut short) is fetched
// again.
void Installation::onCacheChecked(bool ok)
{
    cacheCheck->deleteLater();
    cacheCheck = nullptr;
    if (ok && cacheDigest.hexResult() == request.expectedSha256.toLatin1()) {
        Q_EMIT logLine(QStringLiteral("Prüfsumme des Images im Cache stimmt."));
        return takeImageFile(cachedImage());
    }
    Q_EMIT logLine(QStringLiteral("Das Image im Cache ist verändert und wird neu heruntergeladen."));
    QFile::remove(cachedImage());
    downloadIntoCache();
}

// Only a download with a checksum to compare is cached: the checksum names it.
QString Installation::cachedImage() const
{
    if (request.expectedSha256.isEmpty())
        return QString();
    return imageCache() + QLatin1Char('/') + request.expectedSha256;
}

QString Installation::partialImage() const
{
    return cachedImage() + QStringLiteral(".part");
}

// The cache holds the most recent image only: an image is large. What another installer is still
// downloading stays. Returns where the verified download now is.
QString Installation::keepInCache()
{
    QDir cache(imageCache());
    const QStringList ours{partialImage(), lockOf(partialImage())};
    for (const QString &name : cache.entryList(QDir::Files)) {
        const QString path = cache.filePath(name);
        if (!ours.contains(path) && !isLockedByOther(path))
            cache.remove(name);
    }
    return QFile::rename(partialImage(), cachedImage()) ? cachedImage() : partialImage();
}

void Installation::injectRoms()
{
    enterStep(Step::Injecting, QStringLiteral("Kopiere ROM-Dateien ins Image …"));
    QString error;
    if (copyRomsIntoImage(&error))
        startWriting();
    else
        finish(Outcome::Failed, error);
}

void Installation::startWriting()
{
    enterStep(Step::Writing, QStringLiteral("Schreibe auf die Karte …"));
    if (!runningAsRoot())
        Q_EMIT logLine(
            QStringLiteral("Für den Zugriff auf die Karte wird gleich nach dem Passwort gefragt."));
    card = CardState::Unfinished;
    writeJob = new WriteJob(this);
    connect(writeJob, &WriteJob::phaseChanged, this, &Installation::onPhaseChanged);
    connect(writeJob, &WriteJob::progress, this, &Installation::progress);
    connect(writeJob, &WriteJob::finished, this, &Installation::onWritten);
    writeJob->start(imagePath, request.target.path, true, request.target.identity());
}

void Installation::onPhaseChanged(const QString &phase)
{
    if (phase != QLatin1String("verify"))
        return;
    card = CardState::Unverified;
    enterStep(Step::Verifying, QStringLiteral("Prüfe die Karte …"));
}

void Installation::onWritten(bool ok, const QString &error)
{
    const QString launcherLine = writeJob->launcherMessage();
    writeJob->deleteLater();
    writeJob = nullptr;
    if (cancelRequested)
        return finish(Outcome::Cancelled, cancelText(card));
    if (!ok) {
        if (!launcherLine.isEmpty())
            Q_EMIT logLine(QStringLiteral("pkexec: %1").arg(launcherLine));
        return finish(Outcome::Failed, error);
    }
    card = CardState::Written;
    workDir.reset();
    Q_EMIT logLine(QStringLiteral("Installation abgeschlossen."));
    reportInstall();
    finish(Outcome::Succeeded, QString());
}

// Tells the counter which listed image was installed, if the user agreed. The report goes on by
// itself and never delays or changes the end; it belongs to the network manager, which outlives
// the run.
void Installation::reportInstall()
{
    if (!request.isLocal() && request.countConsent && !request.counterUrl.isEmpty())
        CounterReport::send(request.counterUrl, request.version.image, network);
}

void Installation::enterStep(Step next, const QString &text)
{
    currentStep = next;
    Q_EMIT stepChanged(next, text);
}

void Installation::finish(Outcome result, const QString &text)
{
    stopParts();
    currentOutcome = result;
    cancelRequested = false;
    sizeChecked = false;
    keptBytes = 0;
    enterStep(Step::Finished, QString());
    Q_EMIT finished(result == Outcome::Succeeded, text);
}

// Ends whatever still runs, without signals, and removes the working folder.
void Installation::stopParts()
{
    delete localCopy;
    localCopy = nullptr;
    delete fileUnpacker;
    fileUnpacker = nullptr;
    delete downloader;
    downloader = nullptr;
    delete cacheCheck;
    cacheCheck = nullptr;
    partLock.reset();
    delete writeJob;
    writeJob = nullptr;
    sleepInhibitor->release();
    workDir.reset();
}
