#include "downloader.h"

#include "filehasher.h"
#include "imageoutput.h"
#include "networkrequest.h"
#include "piecequeue.h"
#include "unpackjob.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>

namespace {
// The most that is read at once and that the network layer buffers, so memory stays flat when the
// network is faster than the disk or the unpacking.
constexpr qint64 pieceSize = 256 * 1024;
// What waits for the unpacking thread: enough to keep it busy while the network stalls briefly.
constexpr qint64 queueCapacity = 16 * pieceSize;
// The most taken from the reply in one pass of the event loop while more is on its way.
constexpr qint64 passLimit = 4 * pieceSize;
constexpr int transferTimeoutMs = 30000;
} // namespace

Downloader::Downloader(QNetworkAccessManager *network, QObject *parent) : QObject(parent), network(network)
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
    QString error;
    if (!output->open(imagePath, &error))
        return failAtOnce(error);
    request(url);
}

// A file URL is read whole again: it costs no more than hashing what is kept.
void Downloader::resume(const QUrl &url, const QString &path, qint64 maxBytes)
{
    begin(maxBytes, Unpacking::Never);
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
            [this, url](bool ok, const QString &error) { onPartHashed(url, ok, error); });
    partHasher->start(path, hash);
}

void Downloader::begin(qint64 maxBytes, Unpacking how)
{
    cancelled = false;
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
    localReply = url.isLocalFile();
    QNetworkRequest get = networkRequest(url, transferTimeoutMs);
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

void Downloader::onReadyRead()
{
    takePieces();
}

void Downloader::onTransferProgress(qint64 bytes, qint64 total)
{
    takeAnswer();
    Q_EMIT progress(keptBytes + bytes, total < 0 ? -1 : keptBytes + total);
}

void Downloader::onFinished()
{
    replyFinished = true;
    replyError = replyFailureText();
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
    takeAnswer();
    const qint64 before = received;
    while (reply->bytesAvailable() > 0 &&
           (bodyArrived() || (received - before < passLimit && queue->acceptsMore())))
        pass(reply->read(pieceSize));
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

// The length of the body as sent, or -1 while unknown. A body sent compressed is longer once decoded,
// so its announced length counts for nothing.
qint64 Downloader::announcedLength() const
{
    const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
    return length.isValid() && !reply->hasRawHeader("Content-Encoding") ? length.toLongLong() : -1;
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
    if (!bodyIsImage())
        return;
    hash.addData(piece);
    received += piece.size();
    if (head.size() < imageFormatHeadSize)
        head += piece.left(imageFormatHeadSize - head.size());
    queue->push(piece);
}

// What is stored as sent stays for the next download to continue; an image being unpacked goes.
void Downloader::dropOutput()
{
    if (output && unpacking == Unpacking::Never)
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
    const QString error = failureText();
    if (!error.isEmpty())
        return failAtOnce(error);
    output.reset();
    Q_EMIT finished(true, QString(), QString::fromLatin1(hash.hexResult()));
}

// A complete image counts, even when a cancel came too late to stop anything.
QString Downloader::failureText() const
{
    if (unpacked->ok() && replyError.isEmpty())
        return QString();
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
            return reply->errorString();
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
