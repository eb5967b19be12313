#include "downloader.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>

namespace {
// The most that is read at once and that the network layer buffers ahead of the disk, so memory
// stays flat when the network is faster than the disk. Pieces of this size also stay in the CPU
// cache between hashing and writing; larger ones measured slower.
constexpr qint64 pieceSize = 256 * 1024;
constexpr int transferTimeoutMs = 30000;

QNetworkRequest downloadRequest(const QUrl &url)
{
    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
    request.setTransferTimeout(transferTimeoutMs);
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    request.setHeader(QNetworkRequest::UserAgentHeader, QByteArrayLiteral(TOBRA_USER_AGENT));
    return request;
}
} // namespace

Downloader::Downloader(QNetworkAccessManager *network, QObject *parent) : QObject(parent), network(network)
{}

// A download still running when its owner goes away is abandoned: the transfer stops and the
// partial file goes. The reply may already be gone with its manager.
Downloader::~Downloader()
{
    if (reply) {
        reply->disconnect(this);
        reply->abort();
        reply->deleteLater();
    }
    if (file.isOpen()) {
        file.close();
        file.remove();
    }
}

void Downloader::start(const QUrl &url, const QString &path)
{
    cancelled = false;
    writeFailed = false;
    piecePending = false;
    hash.reset();
    file.setFileName(path);
    // Unbuffered, so that every write reports what reached the disk; a buffered write would
    // only fail at close, where a full disk went unnoticed.
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered)) {
        Q_EMIT finished(false, QStringLiteral("Datei kann nicht angelegt werden: %1").arg(file.errorString()),
                        QString());
        return;
    }
    reply = network->get(downloadRequest(url));
    reply->setReadBufferSize(pieceSize);
    connect(reply, &QNetworkReply::readyRead, this, &Downloader::onReadyRead);
    connect(reply, &QNetworkReply::downloadProgress, this, &Downloader::progress);
    connect(reply, &QNetworkReply::finished, this, &Downloader::onFinished);
}

void Downloader::cancel()
{
    cancelled = true;
    if (reply)
        reply->abort();
}

// Stores at most one piece per call: a reply for a local file holds the whole file ready to read,
// so bounded pieces keep memory flat, and returning to the event loop between them keeps cancel
// and the window responsive.
void Downloader::onReadyRead()
{
    storePiece();
    scheduleNextPiece();
}

void Downloader::onFinished()
{
    if (morePending())
        scheduleNextPiece();
    else
        finish();
}

bool Downloader::morePending() const
{
    return reply && reply->isOpen() && reply->bytesAvailable() > 0 && !writeFailed && !cancelled;
}

void Downloader::storePiece()
{
    if (!reply || !reply->isOpen())
        return;
    const QByteArray piece = reply->read(pieceSize);
    if (piece.isEmpty())
        return;
    hash.addData(piece);
    if (file.write(piece) != piece.size() && !writeFailed) {
        writeFailed = true;
        reply->abort();
    }
}

void Downloader::scheduleNextPiece()
{
    if (piecePending || !morePending())
        return;
    piecePending = true;
    QNetworkReply *const current = reply;
    // With the reply as context the call is dropped when the reply is deleted first; the
    // comparison drops it when a later download has taken over.
    QTimer::singleShot(0, current, [this, current] {
        piecePending = false;
        if (reply != current)
            return;
        storePiece();
        if (morePending())
            scheduleNextPiece();
        else if (current->isFinished())
            finish();
    });
}

void Downloader::finish()
{
    QNetworkReply *const done = reply;
    if (!done)
        return;
    reply.clear();
    done->deleteLater();
    file.close();
    const QString error = errorText(done);
    if (error.isEmpty()) {
        Q_EMIT finished(true, QString(), QString::fromLatin1(hash.hexResult()));
        return;
    }
    file.remove();
    Q_EMIT finished(false, error, QString());
}

QString Downloader::errorText(QNetworkReply *done) const
{
    if (cancelled)
        return QStringLiteral("Abgebrochen");
    if (writeFailed)
        return QStringLiteral(
            "Schreiben der heruntergeladenen Datei fehlgeschlagen (Platz im temporären Ordner?)");
    const int status = done->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (done->error() != QNetworkReply::NoError) {
        if (status == 404)
            return QStringLiteral("Das Image wurde auf dem Server nicht gefunden (HTTP 404)");
        if (status < 400)
            return done->errorString();
    } else if (status == 0 || status == 200) {
        return incompleteText(done);
    }
    return QStringLiteral("Server antwortet mit HTTP %1").arg(status);
}

// The network layer at times reports a connection closed before the announced length as a
// regular end; the length the server announced tells. Compressed bodies announce no length.
QString Downloader::incompleteText(QNetworkReply *done) const
{
    const QVariant announced = done->header(QNetworkRequest::ContentLengthHeader);
    const qint64 received = file.size();
    if (!announced.isValid() || done->hasRawHeader("Content-Encoding") || received == announced.toLongLong())
        return QString();
    return QStringLiteral("Download unvollständig: %1 von %2 Bytes empfangen")
        .arg(received)
        .arg(announced.toLongLong());
}
