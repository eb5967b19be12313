// SPDX-License-Identifier: GPL-3.0-or-later
#include "versionlistloader.h"

#include "keptversionlist.h"
#include "networkrequest.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>

namespace {

constexpr int listTimeoutMs = 15000;

} // namespace

VersionListLoader::VersionListLoader(QNetworkAccessManager &networkManager, QObject *parent)
    : QObject(parent), network(networkManager)
{}

VersionListLoader::~VersionListLoader()
{
    abandon();
}

void VersionListLoader::load(const QUrl &listUrl)
{
    abandon();
    body.clear();
    url = listUrl;
    reply = network.get(networkRequest(url, listTimeoutMs));
    // Without a bound the reply would take in whatever the server sends, faster than it is read.
    reply->setReadBufferSize(maxListBytes + 1);
    connect(reply, &QNetworkReply::readyRead, this, &VersionListLoader::onReadyRead);
    connect(reply, &QNetworkReply::finished, this, &VersionListLoader::onFinished);
}

// An older request still running when the list is reloaded must not report as well.
void VersionListLoader::abandon()
{
    if (!reply)
        return;
    reply->disconnect(this);
    reply->abort();
    reply->deleteLater();
    reply = nullptr;
}

// Taken as it arrives, so that the size is known before the reply has buffered more.
void VersionListLoader::onReadyRead()
{
    if (readWithinLimit(reply))
        return;
    reply->abort(); // finishes the reply, which reports as too large
}

bool VersionListLoader::readWithinLimit(QNetworkReply *source)
{
    if (source->isOpen())
        body += source->read(maxListBytes + 1 - body.size());
    return body.size() <= maxListBytes;
}

void VersionListLoader::onFinished()
{
    QNetworkReply *finished = reply;
    reply = nullptr;
    finished->deleteLater();
    if (!readWithinLimit(finished))
        return failOrOfferKept(
            Failure::Faulty,
            QStringLiteral("Die Versionsliste ist größer als 1 MiB und wird nicht gelesen."));
    if (finished->error() != QNetworkReply::NoError)
        return failOrOfferKept(
            Failure::Unavailable,
            QStringLiteral("Fehler beim Laden der Versionsliste: %1").arg(finished->errorString()));
    VersionList list;
    QString error;
    if (!parseVersionList(body, &list, &error))
        return failOrOfferKept(Failure::Faulty, error);
    // Not kept, the list is still good for this run.
    keepVersionList(url, body);
    Q_EMIT loaded(list);
}

void VersionListLoader::failOrOfferKept(Failure failure, const QString &message)
{
    KeptVersionList kept;
    if (keptVersionList(url, &kept))
        Q_EMIT keptListOffered(kept.list, kept.loadedAt, message);
    else
        Q_EMIT failed(failure, message);
}
