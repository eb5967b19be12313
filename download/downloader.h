#pragma once

#include "sha256.h"

#include <QFile>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrl>

class QNetworkAccessManager;
class QNetworkReply;

// Fetches one file over HTTP(S) or from a file URL into a local file, hashing the bytes with
// SHA-256 as they arrive. Runs on the event loop of the thread that owns it.
class Downloader : public QObject
{
    Q_OBJECT

public:
    // The manager is not owned.
    explicit Downloader(QNetworkAccessManager *network, QObject *parent = nullptr);
    // A running download is abandoned without finished(); its partial file is removed.
    ~Downloader() override;
    Q_DISABLE_COPY(Downloader)

    // Downloads url into path, replacing its content. Emits exactly one finished() per call,
    // already before returning when path cannot be created. Call only while idle.
    void start(const QUrl &url, const QString &path);
    // Ends the running download; it finishes with "Abgebrochen" and its file is removed.
    // While idle it does nothing visible.
    void cancel();

Q_SIGNALS:
    // Bytes received so far and the expected total (-1 while unknown).
    void progress(qint64 received, qint64 total);
    // ok with the SHA-256 of the file's bytes as 64 lower-case hex digits, or a German message;
    // on failure the file has been removed.
    void finished(bool ok, const QString &error, const QString &sha256Hex);

private Q_SLOTS:
    void onReadyRead();
    void onFinished();

private:
    bool morePending() const;
    void storePiece();
    void scheduleNextPiece();
    void finish();
    QString errorText(QNetworkReply *done) const;
    QString incompleteText(QNetworkReply *done) const;

    QNetworkAccessManager *network;
    QPointer<QNetworkReply> reply; // owned by the manager, which may go first
    QFile file;
    Sha256 hash;
    bool cancelled = false;
    bool writeFailed = false;
    bool piecePending = false; // a call to store the next piece is queued
};
