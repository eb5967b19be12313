// SPDX-License-Identifier: GPL-3.0-or-later
#include "installation.h"

#include "cardfeed.h"
#include "counterreport.h"
#include "downloadsource.h"
#include "filesource.h"
#include "germannumber.h"
#include "imagecache.h"
#include "imageformat.h"
#include "imagepass.h"
#include "pacewatch.h"
#include "privatefolder.h"
#include "sleepinhibitor.h"
#include "writejob.h"

#include <QDir>
#include <QFileInfo>
#include <QLockFile>
#include <QNetworkAccessManager>
#include <QStandardPaths>
#include <QStorageInfo>
#include <QTemporaryDir>
#include <QTimer>
#include <cerrno>
#include <csignal>
#include <unistd.h>

namespace {

constexpr int progressIntervalMs = 200;

bool runningAsRoot()
{
    return ::geteuid() == 0;
}

// Without pkexec no password prompt can be shown.
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

// A file that cannot be read counts as packed: its size then says nothing.
bool isRawFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) &&
           detectImageFormat(file.read(imageFormatHeadSize)) == ImageFormat::Raw;
}

QString cardText(Installation::CardState card)
{
    switch (card) {
    case Installation::CardState::Unchanged:
        return QStringLiteral("Die Karte wurde nicht verändert.");
    case Installation::CardState::Unverified:
        return QStringLiteral(
            "Die Karte ist beschrieben, aber nicht geprüft; sie sollte neu bespielt werden.");
    default:
        return QStringLiteral(
            "Die Karte ist unvollständig beschrieben, startet so nicht und muss neu bespielt "
            "werden.");
    }
}

// A card's text without a closing sentence on the card's state, which the job says itself.
QString withoutCardSentence(const QString &text)
{
    const QStringList sentences{
        cardText(Installation::CardState::Unchanged), cardText(Installation::CardState::Unfinished),
        cardText(Installation::CardState::Unverified),
        QStringLiteral("Die Karte ist unvollständig beschrieben und muss neu bespielt werden."),
        QStringLiteral("Die Karte hat jetzt keinen nutzbaren Datenträger und muss neu beschrieben werden.")};
    for (const QString &sentence : sentences)
        if (text.endsWith(sentence))
            return text.chopped(sentence.size()).trimmed();
    return text.trimmed();
}

} // namespace

Installation::Installation(QNetworkAccessManager *networkManager, QObject *parent)
    : QObject(parent), network(networkManager), sleepInhibitor(new SleepInhibitor(this))
{
    if (!networkManager) {
        ownNetwork = std::make_unique<QNetworkAccessManager>();
        this->network = ownNetwork.get();
    }
}

// The parts go first, without a signal: the helper is stopped before the working folder goes.
Installation::~Installation()
{
    stopParts();
}

// Every refusal comes before the helper is started, and the helper's own ones (identity, size,
// a fake card) before the first byte is fetched.
void Installation::start(const InstallRequest &newRequest)
{
    request = newRequest;
    currentOutcome = Outcome::None;
    downloadInterrupted = false;
    cards.clear();
    cardFailedOnItsOwn = false;
    for (const DriveInfo &drive : newRequest.targets) {
        CardReport report;
        report.drive = drive;
        cards.append(report);
    }
    failure.clear();
    enterStep(Step::Checking, cardsText(QStringLiteral("Prüfe Karte und Speicherplatz …"),
                                        QStringLiteral("Prüfe Karten und Speicherplatz …")));
    QString refusal = refusalOf(newRequest);
    if (refusal.isEmpty())
        refusal = launcherRefusal();
    if (refusal.isEmpty())
        refusal = checkTarget();
    if (refusal.isEmpty() && knownImageBytes() > 0)
        refusal = sizeRefusal(knownImageBytes(), 0);
    if (refusal.isEmpty())
        refusal = readRoms();
    if (refusal.isEmpty())
        refusal = makeWorkingFolder();
    if (refusal.isEmpty() && !cachedImage().isEmpty())
        refusal = prepareCache();
    if (!refusal.isEmpty())
        return finish(Outcome::Failed, refusal);
    sleepInhibitor->acquire(QStringLiteral("Tobra wird auf eine Speicherkarte geschrieben."));
    holdCard();
}

Installation::CardState Installation::cardState() const
{
    return cards.isEmpty() ? CardState::Unchanged : cards.constFirst().state;
}

QString Installation::reportLine(const CardReport &report)
{
    switch (report.stage) {
    case CardReport::Stage::Verified:
        return QStringLiteral("%1: geschrieben und geprüft.").arg(report.drive.label);
    case CardReport::Stage::Failed:
        return QStringLiteral("%1: nicht fertig – %2")
            .arg(report.drive.label, QString(report.reason).replace(QLatin1Char('\n'), QLatin1Char(' ')));
    case CardReport::Stage::Verifying:
        return QStringLiteral("%1: wird geprüft …").arg(report.drive.label);
    case CardReport::Stage::Writing:
        return QStringLiteral("%1: wird geschrieben …").arg(report.drive.label);
    case CardReport::Stage::Waiting:
        break;
    }
    return QStringLiteral("%1: wartet …").arg(report.drive.label);
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
    stop(QString());
}

QString Installation::waitingFor(Step step, const InstallRequest &request)
{
    return step == Step::Fetching && !request.isLocal() ? QStringLiteral("warte auf den Server") : QString();
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
    return cacheLocation() + QStringLiteral("/work");
}

QString Installation::imageCache()
{
    return cacheLocation() + QStringLiteral("/images");
}

void Installation::removeLeftovers()
{
    if (!checkPrivateFolder(workingRoot(), FolderUse::Existing))
        return;
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
    return targetRefusal(request.targets, drives);
}

// Below the user's cache, on disk rather than in a RAM-backed /tmp; only the user may enter. It
// holds no image, only what a pass holds back beyond its memory bound.
QString Installation::makeWorkingFolder()
{
    const QString root = workingRoot();
    QString error;
    if (!checkPrivateFolder(root, FolderUse::Create, &error))
        return error;
    removeLeftovers();
    workDir = std::make_unique<QTemporaryDir>(root + QStringLiteral("/%1-XXXXXX").arg(::getpid()));
    if (!workDir->isValid()) {
        workDir.reset();
        return QStringLiteral("Der Arbeitsordner unter %1 konnte nicht angelegt werden.").arg(root);
    }
    return QString();
}

// The image must fit onto a card, and diskBytes (what is still to be downloaded) into the file
// system of the folder it goes to. With several cards, one too small is refused by the helper
// before its first byte while the others are written; the run is refused when none can hold it.
QString Installation::sizeRefusal(qint64 imageBytes, qint64 diskBytes) const
{
    const qint64 largest = largestCardBytes();
    if (largest > 0 && imageBytes > largest)
        return cardTooSmallText(imageBytes, largest);
    const QString folder = QFileInfo(partPath).path();
    const qint64 free = diskBytes > 0 ? QStorageInfo(folder).bytesAvailable() : -1;
    if (free >= 0 && diskBytes > free)
        return QStringLiteral("In %1 ist zu wenig Platz frei: Der Download braucht %2, frei sind %3.")
            .arg(folder, germanSize(diskBytes), germanSize(free));
    return QString();
}

// The size of the largest card, the most any image may have; -1 when a card's size is unknown.
qint64 Installation::largestCardBytes() const
{
    qint64 largest = 0;
    for (const DriveInfo &target : request.targets) {
        if (target.sizeBytes <= 0)
            return -1;
        largest = qMax(largest, target.sizeBytes);
    }
    return largest;
}

// The unpacked image's size where it is known before the first byte: from the list, or a raw
// file's own; -1 otherwise.
qint64 Installation::knownImageBytes() const
{
    if (request.isLocal())
        return isRawFile(request.localImage) ? QFileInfo(request.localImage).size() : -1;
    if (request.version.imageSize > 0)
        return request.version.imageSize;
    if (!cachedImage().isEmpty() && QFileInfo::exists(cachedImage()) && isRawFile(cachedImage()))
        return QFileInfo(cachedImage()).size();
    return -1;
}

// The helper is started first: the password is asked and the card held and checked before the
// first byte is fetched, so the network's time limits are not spent on the prompt.
void Installation::holdCard()
{
    if (!runningAsRoot())
        Q_EMIT logLine(QStringLiteral("Für den Zugriff auf %1 wird gleich nach dem Passwort gefragt.")
                           .arg(cardsText(QStringLiteral("die Karte"), QStringLiteral("die Karten"))));
    writeJob = new WriteJob(this);
    connect(writeJob, &WriteJob::ready, this, &Installation::onCardReady);
    connect(writeJob, &WriteJob::phaseChanged, this, &Installation::onPhaseChanged);
    connect(writeJob, &WriteJob::progress, this, &Installation::onCardProgress);
    connect(writeJob, &WriteJob::cardWriting, this, &Installation::onCardWriting);
    connect(writeJob, &WriteJob::cardProgress, this, &Installation::onCardBytes);
    connect(writeJob, &WriteJob::cardFinished, this, &Installation::onCardEnded);
    connect(writeJob, &WriteJob::finished, this, &Installation::onRunFinished);
    QList<StreamCard> streamCards;
    for (const DriveInfo &target : std::as_const(request.targets))
        streamCards.append(StreamCard{target.path, target.identity()});
    const qint64 imageBytes = knownImageBytes();
    for (CardReport &report : cards)
        report.total = imageBytes;
    writeJob->startStream(streamCards, true, imageBytes);
}

void Installation::onCardReady()
{
    QString error;
    ByteSource *source = openSource(&error);
    if (!source)
        return stop(error);
    startPass(*source);
}

ByteSource *Installation::openSource(QString *error)
{
    if (request.isLocal())
        return openFile(request.localImage, error);
    if (!cachedImage().isEmpty() && QFileInfo::exists(cachedImage())) {
        Q_EMIT logLine(QStringLiteral("Das Image wird aus dem Cache genommen: %1").arg(cachedImage()));
        return openFile(cachedImage(), error);
    }
    return openDownload(error);
}

ByteSource *Installation::openFile(const QString &path, QString *error)
{
    fileSource = std::make_unique<FileSource>([](qint64, qint64) {});
    if (!fileSource->open(path, error))
        return nullptr;
    sourceBytes = QFileInfo(path).size();
    return fileSource.get();
}

// With a checksum to name it, the download is kept as sent beside the cached image and continues
// what an interrupted one left; without one, or while another installer fetches the same image
// into the cache, it goes into the working folder and with it.
ByteSource *Installation::openDownload(QString *error)
{
    partPath = workDir->filePath(QStringLiteral("download"));
    if (!cachedImage().isEmpty()) {
        partLock = std::make_unique<QLockFile>(lockOf(partialImage()));
        partLock->setStaleLockTime(0);
        if (partLock->tryLock(0))
            partPath = partialImage();
        else
            partLock.reset();
        if (!partLock)
            Q_EMIT logLine(QStringLiteral(
                "Ein anderer Installer lädt dieses Image gerade herunter; es wird ohne den Cache geladen."));
    }
    keptBytes = QFileInfo(partPath).size();
    if (keptBytes > 0)
        Q_EMIT logLine(QStringLiteral("Der unterbrochene Download wird fortgesetzt; %1 liegen schon vor.")
                           .arg(germanSize(keptBytes)));
    download = new DownloadSource(network, this);
    // Without a checksum only the end of the body tells a cut-off image.
    download->setUnknownEndRefused(request.expectedSha256.isEmpty());
    connect(download, &DownloadSource::progress, this, &Installation::onDownloadProgress);
    connect(download, &DownloadSource::finished, this, &Installation::onDownloadFinished);
    if (!download->start(imageUrl(request.imageBase, request.version), partPath, -1, error))
        return nullptr;
    return &download->bytes();
}

QString Installation::passText() const
{
    const QString cardWords = cardsText(QStringLiteral("die Karte"), QStringLiteral("die Karten"));
    if (request.isLocal())
        return QStringLiteral("Schreibe das lokale Image auf %1 …").arg(cardWords);
    if (!download)
        return QStringLiteral("Schreibe %1 aus dem Cache auf %2 …").arg(request.version.title, cardWords);
    return QStringLiteral("Lade %1 herunter und schreibe es auf %2 …").arg(request.version.title, cardWords);
}

// The card's feed hands the image to the helper only as fast as the helper takes it; the pass
// waits for it, and the source for the pass.
void Installation::startPass(ByteSource &source)
{
    feed = new CardFeed([this](const QByteArray &piece) { return writeJob && writeJob->send(piece); },
                        [this] { return writeJob && writeJob->queuedBytes() <= WriteJob::streamHighWater; },
                        largestCardBytes(), this);
    connect(writeJob, &WriteJob::drained, feed, &CardFeed::moveOn);
    pass = new ImagePass(source, *feed, roms, workDir->path(), QDateTime::currentDateTime(),
                         knownImageBytes(), largestCardBytes(), this);
    connect(pass, &ImagePass::finished, this, &Installation::onPassFinished);
    const QString text = passText();
    pace = new PaceWatch(
        [this] { return pass ? pass->sourceWaitedMs() : 0; }, [this] { return feed ? feed->waitedMs() : 0; },
        download ? QStringLiteral("Die Leitung") : QStringLiteral("Das Lesen des Images"),
        cardsText(QStringLiteral("Die Karte"), QStringLiteral("Die langsamste Karte")), this);
    connect(pace, &PaceWatch::paceChanged, this, [this, text](const QString &paceText) {
        Q_EMIT activityChanged(paceText.isEmpty() ? text : text + QLatin1Char(' ') + paceText);
    });
    progressTimer = new QTimer(this);
    connect(progressTimer, &QTimer::timeout, this, [this] {
        if (sourceBytes <= 0 && download)
            sourceBytes = download->expectedTotal();
        Q_EMIT progress(pass->bytesTaken(), sourceBytes);
    });
    progressTimer->start(progressIntervalMs);
    enterStep(Step::Fetching, text);
    pass->start();
}

// The first length tells whether the rest of a download fits beside the cache, and the length of a
// raw image whether it fits onto the card.
void Installation::onDownloadProgress(qint64 received, qint64 total)
{
    Q_UNUSED(received)
    sourceBytes = total;
    if (sizeChecked || total <= 0)
        return;
    sizeChecked = true;
    QFile part(partPath);
    const bool raw = part.open(QIODevice::ReadOnly) && part.size() >= imageFormatHeadSize &&
                     detectImageFormat(part.read(imageFormatHeadSize)) == ImageFormat::Raw;
    const QString refusal = sizeRefusal(raw ? total : -1, total - keptBytes);
    if (!refusal.isEmpty())
        stop(refusal);
}

// A download that fails keeps its bytes to be continued.
void Installation::onDownloadFinished(bool ok, const QString &error)
{
    downloadInterrupted = !ok && download->wasInterrupted();
    if (!ok)
        stop(downloadFailureText(error));
}

// The checksum decides: only a matching image gets the go-ahead, which has the helper write the
// first MiB and read everything back.
void Installation::onPassFinished(bool complete, const QString &imageError, const QString &sha256Hex)
{
    progressTimer->stop();
    // Its last sample would put the pass's pace into the read-back's line.
    pace->disconnect(this);
    if (!complete && pass->sourceDamaged() && !request.isLocal())
        dropPart();
    if (!complete && !imageError.isEmpty())
        return stop(imageError);
    if (!complete && fileSource)
        return stop(QStringLiteral("Lesen der Image-Datei fehlgeschlagen: %1").arg(fileSource->readError()));
    if (!complete)
        return; // the download or the card has said, or is about to say, why
    Q_EMIT progress(pass->bytesTaken(), pass->bytesTaken());
    const QString refusal = checksumRefusal(sha256Hex);
    if (!refusal.isEmpty()) {
        dropPart();
        return stop(refusal);
    }
    keepInCache();
    for (const RomFile &rom : std::as_const(roms))
        Q_EMIT logLine(QStringLiteral("Rom/%1 geschrieben (%2)").arg(rom.name, germanSize(rom.data.size())));
    goAheadGiven = true;
    writeJob->goAhead();
}

QString Installation::checksumRefusal(const QString &sha256Hex)
{
    if (request.isLocal())
        return QString();
    Q_EMIT logLine(download ? QStringLiteral("Download fertig, SHA-256 %1").arg(sha256Hex)
                            : QStringLiteral("SHA-256 des Images aus dem Cache: %1").arg(sha256Hex));
    if (request.expectedSha256.isEmpty()) {
        Q_EMIT logLine(QStringLiteral(
            "Hinweis: In der tobra.json steht keine Prüfsumme, das Image wird nicht verglichen."));
        return QString();
    }
    if (request.expectedSha256 != sha256Hex)
        return QStringLiteral("Die Prüfsumme des Images stimmt nicht mit der tobra.json überein.\n"
                              "Erwartet: %1\nErhalten: %2")
                   .arg(request.expectedSha256, sha256Hex) +
               encodingHint(download ? download->contentEncoding() : QByteArray());
    Q_EMIT logLine(QStringLiteral("Prüfsumme stimmt."));
    return QString();
}

// A server that packs the image on the way (Content-Encoding) sends other bytes than the file
// the checksum names: then no download can match.
QString Installation::encodingHint(const QByteArray &encoding)
{
    if (encoding.isEmpty())
        return QString();
    return QStringLiteral("\nDer Server hat das Image zusätzlich gepackt gesendet (Content-Encoding: %1); "
                          "so kann die Prüfsumme nie stimmen. Bitte dem Anbieter der Liste melden.")
        .arg(QString::fromLatin1(encoding));
}

// A part kept in the cache is where the next attempt goes on.
QString Installation::downloadFailureText(const QString &error) const
{
    QString text = QStringLiteral("Download fehlgeschlagen: %1").arg(error);
    if (partLock && QFileInfo(partialImage()).size() > 0)
        text += QStringLiteral("\nDer nächste Versuch setzt dort fort, wo dieser aufgehört hat.");
    return text;
}

// What can never match goes: a download that arrived whole but differs, a damaged packed file,
// a cached image that changed.
void Installation::dropPart()
{
    if (fileSource && !request.isLocal())
        QFile::remove(cachedImage());
    else if (partLock)
        QFile::remove(partialImage());
}

// The cache holds the most recent image only: an image is large. What another installer is still
// downloading stays.
void Installation::keepInCache()
{
    if (!partLock)
        return;
    QDir cache(imageCache());
    const QStringList ours{partialImage(), lockOf(partialImage())};
    for (const QString &name : cache.entryList(QDir::Files)) {
        const QString path = cache.filePath(name);
        if (!ours.contains(path) && !isLockedByOther(path))
            cache.remove(name);
    }
    QFile::rename(partialImage(), cachedImage());
}

void Installation::onPhaseChanged(const QString &phase)
{
    if (phase != QLatin1String("verify"))
        return;
    verifying = true;
    enterStep(Step::Verifying,
              cardsText(QStringLiteral("Prüfe die Karte …"), QStringLiteral("Prüfe die Karten …")));
}

void Installation::onCardProgress(qint64 done, qint64 total)
{
    if (verifying)
        Q_EMIT progress(done, total);
}

// The report of a card the helper still speaks of; null for a card that has ended or that the
// request does not have.
Installation::CardReport *Installation::openReport(int index)
{
    if (index < 0 || index >= cards.size() || cards.at(index).stage >= CardReport::Stage::Verified)
        return nullptr;
    return &cards[index];
}

void Installation::onCardWriting(int index)
{
    CardReport *report = openReport(index);
    if (!report)
        return;
    report->stage = CardReport::Stage::Writing;
    report->state = CardState::Unfinished;
    Q_EMIT cardChanged(index);
}

void Installation::onCardBytes(int index, const QString &phase, qint64 done, qint64 total)
{
    CardReport *report = openReport(index);
    if (!report)
        return;
    if (phase == QLatin1String("verify")) {
        report->stage = CardReport::Stage::Verifying;
        report->state = CardState::Unverified;
    }
    report->done = done;
    report->total = total;
    Q_EMIT cardChanged(index);
}

// A card's own end. One that fails while the run goes on keeps its own reason; one stopped with
// the run (a cancel, a checksum mismatch) only says what it holds, the run's text says why.
void Installation::onCardEnded(int index, bool ok, const QString &error)
{
    CardReport *open = openReport(index);
    if (!open)
        return;
    CardReport &report = *open;
    if (ok) {
        report.stage = CardReport::Stage::Verified;
        report.state = CardState::Written;
        report.done = report.total;
    } else {
        report.state =
            writeJob && writeJob->cardTouched(index) ? stateAfterFailure(report) : CardState::Unchanged;
        report.stage = CardReport::Stage::Failed;
        const bool stoppedWithRun = cancelRequested || !failure.isEmpty();
        report.reason = cardText(report.state);
        if (!stoppedWithRun && !error.isEmpty()) {
            report.reason.prepend(withoutCardSentence(error) + QLatin1Char('\n'));
            cardFailedOnItsOwn = true;
        }
        if (cards.size() > 1 && !stoppedWithRun)
            Q_EMIT logLine(reportLine(report));
    }
    Q_EMIT cardChanged(index);
}

// The helper's side ends every run that got as far as starting it, after each card's own end.
// A cancel that came too late to stop a verified write changes nothing.
void Installation::onRunFinished(bool ok, const QString &error)
{
    const QString launcherLine = writeJob->launcherMessage();
    for (int index = 0; index < cards.size(); ++index)
        onCardEnded(index, ok, error);
    writeJob->deleteLater();
    writeJob = nullptr;
    stopPass();
    if (!cancelRequested)
        reportInstall();
    if (ok) {
        workDir.reset();
        if (cancelRequested)
            Q_EMIT logLine(cardsText(
                QStringLiteral(
                    "Der Abbruch kam zu spät: Die Karte ist schon fertig beschrieben und geprüft."),
                QStringLiteral(
                    "Der Abbruch kam zu spät: Die Karten sind schon fertig beschrieben und geprüft.")));
        Q_EMIT logLine(QStringLiteral("Installation abgeschlossen."));
        return finish(Outcome::Succeeded, cards.size() > 1 ? summary(QString()) : QString());
    }
    if (cancelRequested)
        return finish(Outcome::Cancelled, endText(QStringLiteral("Abgebrochen.")));
    if (!launcherLine.isEmpty())
        Q_EMIT logLine(QStringLiteral("pkexec: %1").arg(launcherLine));
    finish(Outcome::Failed, endText(failure.isEmpty() ? runError(error) : failure));
}

// Cards the helper never wrote to end with the run, unchanged.
void Installation::endOpenCards()
{
    for (int index = 0; index < cards.size(); ++index) {
        if (cards.at(index).stage >= CardReport::Stage::Verified)
            continue;
        cards[index].stage = CardReport::Stage::Failed;
        cards[index].reason = cardText(cards.at(index).state);
        Q_EMIT cardChanged(index);
    }
}

// What a failed card holds: the real first MiB comes only with the go-ahead, before the read-back.
Installation::CardState Installation::stateAfterFailure(const CardReport &report)
{
    return report.stage == CardReport::Stage::Verifying ? CardState::Unverified : CardState::Unfinished;
}

// The run's own reason: with several cards none where a card failed on its own, as its line
// says why and the helper's last word only counts them.
QString Installation::runError(const QString &error) const
{
    return cards.size() > 1 && cardFailedOnItsOwn ? QString() : error;
}

// The text of a failed run: with one card the reason and what the card holds (said once, though
// the helper's reason says it too); with several the reason, if there is one for the whole run,
// and a line per card.
QString Installation::endText(const QString &reason) const
{
    if (cards.size() > 1)
        return summary(reason);
    if (cancelRequested)
        return QStringLiteral("Abgebrochen. %1").arg(cardText(cardState()));
    return withoutCardSentence(reason) + QLatin1Char('\n') + cardText(cardState());
}

QString Installation::summary(const QString &reason) const
{
    int verified = 0;
    QStringList lines;
    for (const CardReport &report : cards) {
        verified += report.stage == CardReport::Stage::Verified ? 1 : 0;
        lines << reportLine(report);
    }
    const QString count =
        verified == cards.size()
            ? QStringLiteral("Alle %1 Karten sind geschrieben und geprüft:").arg(cards.size())
            : QStringLiteral("%1 von %2 Karten sind geschrieben und geprüft:")
                  .arg(verified)
                  .arg(cards.size());
    lines.prepend(count);
    if (!reason.isEmpty())
        lines.prepend(reason);
    return lines.join(QLatin1Char('\n'));
}

// Before anything in the cache is looked at: the folder is made private, and a link or other odd
// entry in it goes unfollowed, whatever name it has.
QString Installation::prepareCache()
{
    QString error;
    const int folder = openPrivateFolder(imageCache(), FolderUse::Create, &error);
    if (folder < 0)
        return error;
    removeOddEntries(folder);
    ::close(folder);
    return QString();
}

// Only a download with a checksum to compare is cached: the checksum names it.
QString Installation::cachedImage() const
{
    if (request.isLocal() || request.expectedSha256.isEmpty())
        return QString();
    return imageCache() + QLatin1Char('/') + request.expectedSha256;
}

QString Installation::partialImage() const
{
    return cachedImage() + QStringLiteral(".part");
}

// Stops the pass at once, a blocked stage woken; the helper is told that the image must not be
// used, and its end ends the run. reason is empty for a cancel; the first reason counts.
void Installation::stop(const QString &reason)
{
    if (failure.isEmpty())
        failure = reason;
    stopPass();
    if (!writeJob) {
        endOpenCards();
        return finish(cancelRequested ? Outcome::Cancelled : Outcome::Failed,
                      endText(cancelRequested ? QStringLiteral("Abgebrochen.") : failure));
    }
    if (cancelRequested || goAheadGiven)
        writeJob->cancel();
    else
        writeJob->abortStream();
}

// Tells the counter which listed image was installed, if the user agreed. The report goes on by
// itself and never delays or changes the end; it belongs to the network manager, which outlives
// the run.
void Installation::reportInstall()
{
    if (request.isLocal() || !request.countConsent || request.counterUrl.isEmpty())
        return;
    for (const CardReport &report : std::as_const(cards))
        if (report.stage == CardReport::Stage::Verified)
            CounterReport::send(request.counterUrl, request.version.image, network);
}

void Installation::enterStep(Step next, const QString &text)
{
    currentStep = next;
    Q_EMIT stepChanged(next, text);
}

void Installation::finish(Outcome result, const QString &text)
{
    endOpenCards();
    stopParts();
    currentOutcome = result;
    cancelRequested = false;
    sizeChecked = false;
    goAheadGiven = false;
    verifying = false;
    keptBytes = 0;
    sourceBytes = -1;
    enterStep(Step::Finished, QString());
    Q_EMIT finished(result == Outcome::Succeeded, text);
}

// The feed is stopped first, which wakes a pass waiting for the card; the download keeps what
// arrived for the next run to continue.
// The parts go later: this may run inside a signal of theirs.
void Installation::stopPass()
{
    if (feed)
        feed->stop();
    if (pass)
        pass->stop();
    if (download)
        download->stop();
    for (QObject *part : std::initializer_list<QObject *>{pace, progressTimer, pass, feed, download}) {
        if (part) {
            part->disconnect(this);
            part->deleteLater();
        }
    }
    pace = nullptr;
    progressTimer = nullptr;
    pass = nullptr;
    feed = nullptr;
    download = nullptr;
    fileSource.reset();
    partLock.reset();
}

// Ends whatever still runs, without signals, and removes the working folder.
void Installation::stopParts()
{
    stopPass();
    delete writeJob;
    writeJob = nullptr;
    sleepInhibitor->release();
    workDir.reset();
}
