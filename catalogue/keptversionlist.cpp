// SPDX-License-Identifier: GPL-3.0-or-later
#include "keptversionlist.h"

#include "fail.h"
#include "versionlistloader.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

namespace {

bool isFromServer(const QUrl &url)
{
    return url.scheme() == QLatin1String("http") || url.scheme() == QLatin1String("https");
}

// One file per address, named by its checksum: an address may hold any character.
QString keptPath(const QUrl &url)
{
    const QByteArray digest =
        QCryptographicHash::hash(url.toEncoded(), QCryptographicHash::Sha256).toHex().left(32);
    return keptListFolder() + QLatin1Char('/') + QString::fromLatin1(digest) + QStringLiteral(".json");
}

} // namespace

QString keptListFolder()
{
    return QStandardPaths::writableLocation(QStandardPaths::CacheLocation) + QStringLiteral("/lists");
}

bool keepVersionList(const QUrl &url, const QByteArray &body, QString *error)
{
    if (!isFromServer(url))
        return true;
    QDir().mkpath(keptListFolder());
    QSaveFile file(keptPath(url));
    if (!file.open(QIODevice::WriteOnly) || file.write(body) != body.size() || !file.commit())
        return fail(error, QStringLiteral("Die Versionsliste konnte nicht in „%1“ aufbewahrt werden: %2")
                               .arg(QDir::toNativeSeparators(file.fileName()), file.errorString()));
    return true;
}

bool keptVersionList(const QUrl &url, KeptVersionList *kept)
{
    if (!isFromServer(url))
        return false;
    QFile file(keptPath(url));
    if (!file.open(QIODevice::ReadOnly))
        return false;
    VersionList list;
    if (!parseVersionList(file.read(VersionListLoader::maxListBytes), &list))
        return false;
    kept->list = list;
    kept->loadedAt = QFileInfo(file).lastModified();
    return true;
}

QString keptListText(const QDateTime &loadedAt)
{
    return QStringLiteral("Versionsliste vom %1 (zuletzt geladen)")
        .arg(loadedAt.toString(QStringLiteral("dd.MM.yyyy, HH:mm")));
}
