// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "growingfilesource.h"

#include <QObject>
#include <QString>
#include <QUrl>

class Downloader;
class QNetworkAccessManager;

// The source of a pass for an image on the network: the download goes as sent into a file (the
// cache's part, continued with a Range request after an interruption), and the pass reads that
// file from its first byte while it grows: a continued download feeds the kept part first, then
// what the line brings.
class DownloadSource : public QObject
{
    Q_OBJECT

public:
    explicit DownloadSource(QNetworkAccessManager *network, QObject *parent = nullptr);
    // A running download is abandoned; the file keeps what arrived.
    ~DownloadSource() override;
    Q_DISABLE_COPY(DownloadSource)

    // Starts fetching url into path, continuing what path holds. False with a German text when
    // path cannot be read.
    bool start(const QUrl &url, const QString &path, qint64 maxBytes, QString *error = nullptr);
    ByteSource &bytes() { return reader; }
    // Abandons the download as the destructor does; no signal follows.
    void stop();
    qint64 waitedMs() const { return reader.waitedMs(); }
    // As the downloader's: the file's size once the server has named it, else -1.
    qint64 expectedTotal() const;
    // As the downloader's: a body whose end cannot be known fails, for a caller without a checksum.
    void setUnknownEndRefused(bool refused);
    // After finished(): whether the transfer stopped on the way, and the encoding the server
    // named for the body though it was asked for none.
    bool wasInterrupted() const { return interrupted; }
    QByteArray contentEncoding() const { return encoding; }

Q_SIGNALS:
    // Of the file as sent, the bytes kept counted (total -1 while unknown).
    void progress(qint64 received, qint64 total);
    // The download's end: ok when the file holds all of it, else a German text.
    void finished(bool ok, const QString &error);

private:
    void onFinished(bool ok, const QString &error);

    Downloader *downloader = nullptr;
    GrowingFileSource reader;
    bool interrupted = false;
    QByteArray encoding;
};
