// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "versionlist.h"

#include <QDateTime>
#include <QObject>
#include <QPointer>
#include <QUrl>

class QNetworkAccessManager;
class QNetworkReply;

// Fetches the version list (http, https or a file URL) and parses it. Reads at most
// maxListBytes: a longer or endless answer is abandoned rather than held in memory.
// A list accepted from a server is kept (keptversionlist.h); when a later load from the same
// address fails, the kept list is offered instead.
// Every load ends in exactly one loaded(), keptListOffered() or failed(), unless a later load()
// or the loader's end abandons it first.
class VersionListLoader : public QObject
{
    Q_OBJECT

public:
    static constexpr qint64 maxListBytes = 1024 * 1024;

    enum class Failure
    {
        Unavailable, // no answer, or an error status: message is "Fehler beim Laden …: <reason>"
        Faulty,      // an answer that is no acceptable list: message names the fault
    };
    Q_ENUM(Failure)

    explicit VersionListLoader(QNetworkAccessManager &networkManager, QObject *parent = nullptr);
    ~VersionListLoader() override;
    Q_DISABLE_COPY(VersionListLoader)

    // Starts fetching listUrl; a request still running is abandoned without a signal.
    void load(const QUrl &listUrl);

Q_SIGNALS:
    void loaded(const VersionList &list);
    // The load failed for the reason in message; list is the one last loaded from the same
    // address, at loadedAt.
    void keptListOffered(const VersionList &list, const QDateTime &loadedAt, const QString &message);
    void failed(VersionListLoader::Failure failure, const QString &message);

private:
    void abandon();
    void onReadyRead();
    void onFinished();
    void failOrOfferKept(VersionListLoader::Failure failure, const QString &message);
    // Appends what source has to the body, up to one byte past the limit; false once past it.
    bool readWithinLimit(QNetworkReply *source);

    QNetworkAccessManager &network;
    QPointer<QNetworkReply> reply;
    QUrl url; // of the running load
    QByteArray body;
};
