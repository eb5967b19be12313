// SPDX-License-Identifier: GPL-3.0-or-later
#include "downloader.h"

#include "filehasher.h"
#include "germannumber.h"
#include "imageoutput.h"
#include "networkrequest.h"
#include "piecequeue.h"
#include "unpackjob.h"

#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QStorageInfo>

namespace {
// The most that is read at once and that the network layer buffers, so memory stays flat when the
// network is faster than the disk or the unpacking.
constexpr qint64 pieceSize = 256 * 1024;
// What waits for the unpacking thread: enough to keep it busy while the network stalls briefly.
constexpr qint64 queueCapacity = 16 * pieceSize;
// The most taken from the reply in one pass of the event loop while more is on its way.
constexpr qint64 passLimit = 4 * pieceSize;
constexpr int transferTimeoutMs = 30000;
// As many as the network layer would follow.
constexpr int maxRedirects = 20;
// How often the free space is looked at, and how much of it a download leaves for the rest of
// the system: a twentieth of the file system, at most 64 MiB, and at least what may still be on
// its way to the disk.
constexpr qint64 spaceCheckSpacing = 1024 * 1024;
constexpr qint64 maxSpaceReserve = 64 * 1024 * 1024;
constexpr qint64 minSpaceReserve = queueCapacity + spaceCheckSpacing;

bool isTimeout(QNetworkReply::NetworkError error)
{
    return error == QNetworkReply::OperationCanceledError || error == QNetworkReply::TimeoutError;
}

bool isBrokenConnection(QNetworkReply::NetworkError error)
{
    return error == QNetworkReply::RemoteHostClosedError ||
           error == QNetworkReply::NetworkSessionFailedError ||
           error == QNetworkReply::TemporaryNetworkFailureError ||
           error == QNetworkReply::UnknownNetworkError;
}

// Where the network layer itself would go: http and https only, never from https to http.
bool isSafeRedirect(const QUrl &from, const QUrl &to)
{
    const QString scheme = to.scheme().toLower();
    if (scheme != QLatin1String("http") && scheme != QLatin1String("https"))
        return false;
    return scheme == QLatin1String("https") || from.scheme().toLower() != QLatin1String("https");
}
} // namespace

Downloader::Downloader(QNetworkAccessManager *networkManager, QObject *parent)
    : QObject(parent), network(networkManager)
{}

// A download still running when its owner goes away is abandoned: the transfer stops and the
// partial file goes, or stays to be continued. The reply may already be gone with its manager.
Downloader::~Downloader()
{
    job.reset();
    if (reply) {
        reply->disconnect(this);
        reply->abort();
        reply->deleteLater();
    }
    dropOutput();
}

void Downloader::start(const QUrl &url, const QString &imagePath, qint64 maxImageBytes)
{
    begin(maxImageBytes, Unpacking::ByFormat);
    outputPath = imagePath;
    QString error;
    if (!output->open(imagePath, &error))
        return failAtOnce(error);
    request(url);
}

// A file URL is read whole again: it costs no more than hashing what is kept.
void Downloader::resume(const QUrl &url, const QString &path, qint64 maxBytes)
{
    begin(maxBytes, Unpacking::Never);
    outputPath = path;
    QString error;
    if (!output->openToContinue(path, &error))
        return failAtOnce(error);
    if (url.isLocalFile())
        output->startAfresh();
    keptBytes = output->continuesFrom();
    if (keptBytes == 0)
        return request(url);
    QFile part(path);
    if (part.open(QIODevice::ReadOnly))
        head = part.read(imageFormatHeadSize);
    partHasher = new FileHasher(this);
    connect(partHasher, &FileHasher::progress, this, [this](qint64 done) { Q_EMIT progress(done, -1); });
    connect(partHasher, &FileHasher::finished, this,
            [this, url](bool ok, const QString &hashError) { onPartHashed(url, ok, hashError); });
    partHasher->start(path, hash);
}

void Downloader::begin(qint64 maxBytes, Unpacking how)
{
    cancelled = false;
    partUseless = false;
    interrupted = false;
    encoding.clear();
    ownFailure.clear();
    redirects = 0;
    nextSpaceCheck = 0;
    replyFinished = false;
    inputEnded = false;
    replyError.clear();
    received = 0;
    keptBytes = 0;
    head.clear();
    unpacked.reset();
    hash.reset();
    unpacking = how;
    output = std::make_unique<ImageOutput>(maxBytes);
}

void Downloader::failAtOnce(const QString &error)
{
    dropOutput();
    Q_EMIT finished(false, error, QString());
}

// A kept part that cannot be read cannot be continued.
void Downloader::onPartHashed(const QUrl &url, bool ok, const QString &error)
{
    partHasher->deleteLater();
    partHasher = nullptr;
    if (ok)
        return request(url);
    output->startAfresh();
    failAtOnce(error);
}

void Downloader::request(const QUrl &url)
{
    queue = std::make_unique<PieceQueue>(queueCapacity, [this] {
        QMetaObject::invokeMethod(this, &Downloader::takePieces, Qt::QueuedConnection);
    });
    job = std::make_unique<UnpackJob>(
        *queue, *output, this, [this](const UnpackResult &result) { onUnpacked(result); }, unpacking);
    get(url);
}

// Redirects are followed here rather than by the network layer, which joins the headers of
// every answer on the way: the length and range read are then the final answer's own. The bytes
// are asked for as stored, so that they are what the list's checksum names.
void Downloader::get(const QUrl &url)
{
    localReply = url.isLocalFile();
    QNetworkRequest get = networkRequest(url, transferTimeoutMs);
    get.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    get.setRawHeader("Accept-Encoding", "identity");
    if (keptBytes > 0)
        get.setRawHeader("Range", "bytes=" + QByteArray::number(keptBytes) + '-');
    reply = network->get(get);
    reply->setReadBufferSize(pieceSize);
    connect(reply, &QNetworkReply::readyRead, this, &Downloader::onReadyRead);
    if (!localReply)
        connect(reply, &QNetworkReply::downloadProgress, this, &Downloader::onTransferProgress);
    connect(reply, &QNetworkReply::finished, this, &Downloader::onFinished);
}

void Downloader::cancel()
{
    cancelled = true;
    if (partHasher) {
        partHasher->stop();
        partHasher->deleteLater();
        partHasher = nullptr;
        return failAtOnce(QStringLiteral("Abgebrochen"));
    }
    if (!job)
        return;
    // Takes the last bytes when all have arrived, which leaves nothing to cancel but unpacking.
    takePieces();
    if (reply && !inputEnded)
        reply->abort();
    queue->stop();
}

std::optional<ImageFormat> Downloader::format() const
{
    if (head.size() < imageFormatHeadSize)
        return std::nullopt;
    return detectImageFormat(head);
}

void Downloader::setUnknownEndRefused(bool refused)
{
    unknownEndRefused = refused;
}

void Downloader::onReadyRead()
{
    takePieces();
}

void Downloader::onTransferProgress(qint64 bytes, qint64 total)
{
    if (isRedirect())
        return;
    takeAnswer();
    Q_EMIT progress(keptBytes + bytes, total < 0 ? -1 : keptBytes + total);
}

void Downloader::onFinished()
{
    if (isRedirect() && followRedirect())
        return;
    replyFinished = true;
    replyError = replyFailureText();
    encoding = reply->rawHeader("Content-Encoding").trimmed();
    if (encoding.compare("identity", Qt::CaseInsensitive) == 0)
        encoding.clear();
    // A transfer ended here, for a cancel, a refusal or a failed unpacking, broke for no other reason.
    interrupted = !cancelled && ownFailure.isEmpty() && (!unpacked || unpacked->ok()) && transferBroke();
    if (replyError.isEmpty()) {
        takePieces();
    } else if (!inputEnded) {
        inputEnded = true;
        queue->stop();
    }
    finishIfDone();
}

// Hands what the reply holds to the unpacking thread: while bytes are on their way only as much as
// the queue takes, so memory stays flat, and at most passLimit at once, so the event loop stays
// responsive; once every byte has arrived all of it, so the input ends. A local file's reply has
// its bytes at hand but unread: they arrive as they are read, and so does the progress.
void Downloader::takePieces()
{
    if (!reply || !reply->isOpen() || inputEnded || (cancelled && !bodyArrived()))
        return;
    if (isRedirect()) {
        reply->skip(reply->bytesAvailable());
        return;
    }
    takeAnswer();
    const qint64 before = received;
    while (reply->bytesAvailable() > 0 &&
           (bodyArrived() || (received - before < passLimit && queue->acceptsMore())))
        pass(reply->read(pieceSize));
    if (inputEnded || (head.size() >= imageFormatHeadSize && refuseIfEndUnknowable()))
        return;
    if ((bodyArrived() || (localReply && replyFinished)) && reply->bytesAvailable() == 0)
        endInput();
    else if (reply->bytesAvailable() > 0 && received - before >= passLimit)
        QMetaObject::invokeMethod(this, &Downloader::takePieces, Qt::QueuedConnection);
    if (localReply && received > before)
        Q_EMIT progress(received, announcedLength());
}

bool Downloader::bodyArrived() const
{
    if (replyFinished && !localReply)
        return true;
    const qint64 length = announcedLength();
    const qint64 present = localReply ? received : received + reply->bytesAvailable();
    return length >= 0 && present >= length;
}

qint64 Downloader::expectedTotal() const
{
    const qint64 length = reply && !isRedirect() ? announcedLength() : -1;
    return length < 0 ? -1 : keptBytes + length;
}

// The length of the body as sent, or -1 while unknown. An encoded body is taken as it comes, so
// its length counts too.
qint64 Downloader::announcedLength() const
{
    const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
    return length.isValid() ? length.toLongLong() : -1;
}

bool Downloader::isRedirect() const
{
    return !localReply && httpStatus() / 100 == 3 &&
           reply->attribute(QNetworkRequest::RedirectionTargetAttribute).isValid();
}

// Asks for the redirect's target in place of the reply; false, with the reason kept, when the
// target is refused.
bool Downloader::followRedirect()
{
    const QUrl from = reply->url();
    const QUrl to = from.resolved(reply->attribute(QNetworkRequest::RedirectionTargetAttribute).toUrl());
    if (++redirects > maxRedirects) {
        ownFailure = QStringLiteral("Zu viele Weiterleitungen (mehr als %1)").arg(maxRedirects);
        return false;
    }
    if (!isSafeRedirect(from, to)) {
        ownFailure =
            QStringLiteral("Weiterleitung nach „%1“ abgelehnt: Sie ist unsicherer als die Adresse davor")
                .arg(to.toDisplayString());
        return false;
    }
    reply->disconnect(this);
    reply->deleteLater();
    get(to);
    return true;
}

// The end is known from a file, an announced length, a chunked body's last chunk or a packed
// format's own end (which the unpacking checks, now or when the kept file is unpacked).
bool Downloader::endUnknowable() const
{
    if (localReply || announcedLength() >= 0 ||
        reply->rawHeader("Transfer-Encoding").toLower().contains("chunked"))
        return false;
    return detectImageFormat(head) == ImageFormat::Raw;
}

// Stops a download whose completeness nobody could tell, before it is fetched in vain.
bool Downloader::refuseIfEndUnknowable()
{
    if (!unknownEndRefused || !ownFailure.isEmpty() || !bodyIsImage() || !endUnknowable())
        return false;
    ownFailure = unknownEndText();
    stopTransfer();
    return true;
}

// Stops a body without a length, which nobody could measure against the free space beforehand,
// before the disk is full rather than when it is: the system needs the last bytes too.
bool Downloader::stopIfDiskRunsFull()
{
    if (received < nextSpaceCheck || localReply || announcedLength() >= 0)
        return false;
    nextSpaceCheck = received + spaceCheckSpacing;
    const QStorageInfo disk(QFileInfo(outputPath).absolutePath());
    const qint64 reserve = qBound(minSpaceReserve, disk.bytesTotal() / 20, maxSpaceReserve);
    if (!disk.isValid() || disk.bytesAvailable() >= reserve)
        return false;
    ownFailure =
        QStringLiteral("Auf dem Datenträger von %1 ist kaum noch Platz frei; der Download wurde nach "
                       "%2 gestoppt, bevor er voll ist.")
            .arg(QFileInfo(outputPath).absolutePath(), germanSize(keptBytes + received));
    partUseless = true;
    stopTransfer();
    return true;
}

// Ends the transfer for a reason of the downloader's own, kept in ownFailure.
void Downloader::stopTransfer()
{
    if (reply && !replyFinished)
        reply->abort();
    if (queue && !inputEnded) {
        inputEnded = true;
        queue->stop();
    }
}

QString Downloader::unknownEndText()
{
    return QStringLiteral("Das Image kann nicht geprüft werden: Der Server nennt keine Länge und es gibt "
                          "keine Prüfsumme, ein unvollständiger Download bliebe unbemerkt.");
}

// A server that ignores the Range request sends the whole file (it may say so more than once on
// the way through redirects); it then replaces the bytes kept, before any piece is passed on.
void Downloader::takeAnswer()
{
    if (keptBytes == 0 || httpStatus() != 200)
        return;
    keptBytes = 0;
    hash.reset();
    head.clear();
    output->startAfresh();
}

int Downloader::httpStatus() const
{
    return reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
}

// The first byte of a partial answer, from "Content-Range: bytes FIRST-LAST/SIZE"; -1 without one.
qint64 Downloader::contentRangeStart() const
{
    const QByteArray range = reply->rawHeader("Content-Range").trimmed();
    const qint64 dash = range.indexOf('-');
    if (!range.startsWith("bytes ") || dash < 0)
        return -1;
    bool ok = false;
    const qint64 first = range.mid(6, dash - 6).toLongLong(&ok);
    return ok ? first : -1;
}

// An error page is no image, and neither is a partial answer that does not continue the bytes
// kept.
bool Downloader::bodyIsImage() const
{
    const int status = httpStatus();
    if (keptBytes > 0)
        return status == 206 && contentRangeStart() == keptBytes;
    return status == 0 || status == 200;
}

void Downloader::pass(const QByteArray &piece)
{
    if (!bodyIsImage() || inputEnded)
        return;
    hash.addData(piece);
    received += piece.size();
    if (head.size() < imageFormatHeadSize)
        head += piece.left(imageFormatHeadSize - head.size());
    queue->push(piece);
    stopIfDiskRunsFull();
}

// What is stored as sent stays for the next download to continue, unless it never can; an image
// being unpacked goes.
void Downloader::dropOutput()
{
    if (output && unpacking == Unpacking::Never && !partUseless)
        output->keep();
    else if (output)
        output->discard();
    output.reset();
}

void Downloader::endInput()
{
    inputEnded = true;
    queue->close();
}

// A failure of the unpacking thread ends the transfer at once instead of downloading the rest in vain.
void Downloader::onUnpacked(const UnpackResult &result)
{
    unpacked = result;
    if (!result.ok() && reply && !replyFinished)
        reply->abort();
    finishIfDone();
}

void Downloader::finishIfDone()
{
    if (!job || !unpacked || !replyFinished)
        return;
    job.reset();
    queue.reset();
    if (reply)
        reply->deleteLater();
    // A part at the limit or on a full disk would fail the same way however it was continued.
    if (unpacked->status == UnpackResult::Status::TooLarge ||
        unpacked->status == UnpackResult::Status::WriteFailed)
        partUseless = true;
    const QString error = failureText();
    if (!error.isEmpty())
        return failAtOnce(error);
    output.reset();
    Q_EMIT finished(true, QString(), QString::fromLatin1(hash.hexResult()));
}

// A complete image counts, even when a cancel came too late to stop anything.
QString Downloader::failureText() const
{
    if (!ownFailure.isEmpty())
        return ownFailure;
    if (unpacked->ok() && replyError.isEmpty())
        return unknownEndRefused && reply && endUnknowable() ? unknownEndText() : QString();
    if (cancelled)
        return QStringLiteral("Abgebrochen");
    switch (unpacked->status) {
    case UnpackResult::Status::Done:
    case UnpackResult::Status::InputEnded:
        return replyError;
    case UnpackResult::Status::WriteFailed:
        return QStringLiteral(
            "Schreiben der heruntergeladenen Datei fehlgeschlagen (Platz im Arbeitsordner?)");
    default:
        return unpackFailureText(*unpacked, output->maxBytes());
    }
}

QString Downloader::replyFailureText() const
{
    const int status = httpStatus();
    if (keptBytes > 0 && status == 416)
        return QString();
    if (reply->error() != QNetworkReply::NoError) {
        if (status == 404)
            return QStringLiteral("Das Image wurde auf dem Server nicht gefunden (HTTP 404)");
        if (status < 400)
            return transferFailureText();
    } else if (bodyIsImage()) {
        return incompleteText();
    }
    return QStringLiteral("Server antwortet mit HTTP %1").arg(status);
}

// The network layer at times reports a connection closed before the announced length as a
// regular end; the length the server announced tells.
QString Downloader::incompleteText() const
{
    const qint64 announced = announcedLength();
    const qint64 all = received + reply->bytesAvailable();
    if (announced < 0 || all == announced)
        return QString();
    return QStringLiteral("Download unvollständig: %1 von %2 Bytes empfangen").arg(all).arg(announced);
}

bool Downloader::transferBroke() const
{
    const QNetworkReply::NetworkError error = reply->error();
    if (error == QNetworkReply::NoError)
        return bodyIsImage() && !incompleteText().isEmpty();
    return isTimeout(error) || isBrokenConnection(error);
}

// A transfer that stops on the way says how: it timed out or the connection broke. The network
// layer reports its timeout as a cancel, which is not the user's.
QString Downloader::transferFailureText() const
{
    if (isTimeout(reply->error()))
        return QStringLiteral("Zeitüberschreitung: Der Server hat %1 Sekunden lang keine Daten gesendet.")
            .arg(transferTimeoutMs / 1000);
    if (isBrokenConnection(reply->error()))
        return QStringLiteral("Die Verbindung zum Server ist abgebrochen (%1).").arg(reply->errorString());
    return reply->errorString();
}
