// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "sha256.h"
#include "unpack.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrl>
#include <memory>
#include <optional>

class FileHasher;
class ImageOutput;
class PieceQueue;
class QNetworkAccessManager;
class QNetworkReply;
class UnpackJob;

// Fetches one image over HTTP(S) or from a file URL into a local file, hashing the bytes with
// SHA-256 as they arrive. A packed image (xz, zstd, gzip, bzip2 or a ZIP archive with one file,
// told by its first bytes) is unpacked on a thread of its own while it arrives; anything else is
// stored unchanged. Runs on the event loop of the thread that owns it.
class Downloader : public QObject
{
    Q_OBJECT

public:
    // The manager is not owned.
    explicit Downloader(QNetworkAccessManager *networkManager, QObject *parent = nullptr);
    // A running download is abandoned without finished(); the partial file of start() is removed.
    ~Downloader() override;
    Q_DISABLE_COPY(Downloader)

    // Downloads url and puts the image into imagePath, replacing its content; an image larger than
    // maxImageBytes (when not negative) ends the download at once. Emits exactly one finished()
    // per call, already before returning when imagePath cannot be created. Call only while idle.
    void start(const QUrl &url, const QString &imagePath, qint64 maxImageBytes = -1);
    // Downloads url into path as sent, without unpacking, and continues what path already holds:
    // its bytes are hashed first and only the rest is asked for (HTTP Range). A server that sends
    // the whole file anyway replaces them, and so does a file URL. The digest covers the whole
    // file. On failure, a cancel too, path keeps every byte that arrived, for the next call to
    // continue; a server that has nothing past them (HTTP 416) leaves them as the whole file.
    // Otherwise as start().
    void resume(const QUrl &url, const QString &path, qint64 maxBytes = -1);
    // Ends the running download; it finishes with "Abgebrochen" and the file of start() is removed. Once
    // every byte has arrived only the unpacking of a packed image is left to stop: a raw image
    // then finishes as it would have. While idle it does nothing visible.
    void cancel();
    // The file's size as sent, the bytes kept counted, once the server has named it; -1 before or
    // without a length. The progress signal may lag behind it: a reply's own signal is held back
    // between bursts.
    qint64 expectedTotal() const;
    // How the image is packed, once its first bytes have arrived; empty before.
    std::optional<ImageFormat> format() const;
    // Whether a body whose end cannot be known (no length, no chunked end, not packed in a format
    // with an end of its own) fails as soon as that shows, instead of counting as complete however
    // early it stops: for a caller without a checksum to tell a cut-off image. Off by default;
    // stays set for later calls.
    void setUnknownEndRefused(bool refused);
    // Whether the last download failed because its transfer stopped on the way (timed out,
    // connection broken, body cut short), which trying again may mend.
    bool wasInterrupted() const { return interrupted; }
    // The Content-Encoding the server named for the last body though it was asked for none
    // ("gzip"); empty without one. The bytes were taken as sent all the same.
    QByteArray contentEncoding() const { return encoding; }

Q_SIGNALS:
    // Bytes received so far and the expected total (-1 while unknown), of the file as sent; for a
    // file URL the bytes read. A resumed download counts the bytes it continues.
    void progress(qint64 received, qint64 total);
    // ok with the SHA-256 of the bytes received (the packed file) as 64 lower-case hex digits, or
    // a German message; on failure the image file of start() has been removed.
    void finished(bool ok, const QString &error, const QString &sha256Hex);

private Q_SLOTS:
    void onReadyRead();
    void onTransferProgress(qint64 received, qint64 total);
    void onFinished();

private:
    void begin(qint64 maxBytes, Unpacking how);
    void failAtOnce(const QString &error);
    void onPartHashed(const QUrl &url, bool ok, const QString &error);
    void request(const QUrl &url);
    void get(const QUrl &url);
    bool isRedirect() const;
    bool followRedirect();
    bool endUnknowable() const;
    bool refuseIfEndUnknowable();
    bool stopIfDiskRunsFull();
    void stopTransfer();
    static QString unknownEndText();
    QString transferFailureText() const;
    bool transferBroke() const;
    void takeAnswer();
    int httpStatus() const;
    qint64 contentRangeStart() const;
    void takePieces();
    bool bodyArrived() const;
    qint64 announcedLength() const;
    bool bodyIsImage() const;
    void pass(const QByteArray &piece);
    void endInput();
    void dropOutput();
    void onUnpacked(const UnpackResult &unpacked);
    void finishIfDone();
    QString failureText() const;
    QString replyFailureText() const;
    QString incompleteText() const;

    QNetworkAccessManager *network;
    QString outputPath;
    int redirects = 0;
    bool unknownEndRefused = false;
    QString ownFailure;       // the downloader's own reason to stop, which beats the reply's
    bool partUseless = false; // a kept part that no later call could complete
    bool interrupted = false;
    QByteArray encoding;
    qint64 nextSpaceCheck = 0;
    QPointer<QNetworkReply> reply; // owned by the manager, which may go first
    bool localReply = false;       // a file URL's reply: finished at once, its bytes still unread
    bool replyFinished = false;
    QString replyError;
    Sha256 hash;
    qint64 received = 0; // bytes taken from the reply
    QByteArray head;     // the first bytes of the body, which tell its format
    Unpacking unpacking = Unpacking::ByFormat;
    qint64 keptBytes = 0;             // of a resumed download: already in the file, not asked for
    FileHasher *partHasher = nullptr; // hashes the kept bytes before the rest is asked for
    bool inputEnded = false;
    bool cancelled = false;
    std::unique_ptr<ImageOutput> output;
    std::unique_ptr<PieceQueue> queue;
    std::unique_ptr<UnpackJob> job; // declared last: it uses output and queue until it is gone
    std::optional<UnpackResult> unpacked;
};
