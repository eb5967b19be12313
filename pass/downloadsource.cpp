// SPDX-License-Identifier: GPL-3.0-or-later
#include "downloadsource.h"

#include "downloader.h"
#include "fail.h"

#include <QFile>

DownloadSource::DownloadSource(QNetworkAccessManager *network, QObject *parent)
    : QObject(parent), downloader(new Downloader(network, this))
{
    connect(downloader, &Downloader::progress, this, [this](qint64 received, qint64 total) {
        reader.grew();
        Q_EMIT progress(received, total);
    });
    connect(downloader, &Downloader::finished, this,
            [this](bool ok, const QString &error) { onFinished(ok, error); });
}

// The reader is woken before the downloader goes, which keeps what arrived.
DownloadSource::~DownloadSource()
{
    reader.stop();
    delete downloader;
}

qint64 DownloadSource::expectedTotal() const
{
    return downloader ? downloader->expectedTotal() : -1;
}

// Later: this may run inside the downloader's own signal.
void DownloadSource::stop()
{
    reader.stop();
    if (!downloader)
        return;
    downloader->disconnect(this);
    downloader->cancel();
    downloader->deleteLater();
    downloader = nullptr;
}

bool DownloadSource::start(const QUrl &url, const QString &path, qint64 maxBytes, QString *error)
{
    QFile part(path);
    if (!part.open(QIODevice::Append))
        return fail(error, QStringLiteral("Datei kann nicht angelegt werden: %1").arg(part.errorString()));
    part.close();
    if (!reader.open(path, error))
        return false;
    downloader->resume(url, path, maxBytes);
    return true;
}

void DownloadSource::setUnknownEndRefused(bool refused)
{
    downloader->setUnknownEndRefused(refused);
}

void DownloadSource::onFinished(bool ok, const QString &error)
{
    interrupted = downloader->wasInterrupted();
    encoding = downloader->contentEncoding();
    if (ok)
        reader.complete();
    else
        reader.fail();
    Q_EMIT finished(ok, error);
}
