// SPDX-License-Identifier: GPL-3.0-or-later
#include "imagecache.h"

#include "fail.h"
#include "germannumber.h"
#include "installation.h"
#include "privatefolder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>

namespace {

// Everything in the cache but real folders; a link counts as a file, whatever it points to. A cache
// folder that cannot be used safely (for root: a link on the way, or others may change it) shows
// nothing, and *error says why.
QFileInfoList cacheFiles(QString *error = nullptr)
{
    if (!checkPrivateFolder(Installation::imageCache(), FolderUse::Existing, error))
        return {};
    const QFileInfoList entries =
        QDir(Installation::imageCache())
            .entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    QFileInfoList files;
    for (const QFileInfo &entry : entries)
        if (entry.isSymLink() || !entry.isDir())
            files.append(entry);
    return files;
}

// Whether anything, a dangling link too, is still at path.
bool isPresent(const QString &path)
{
    const QFileInfo info(path);
    return info.exists() || info.isSymLink();
}

} // namespace

QString lockOf(const QString &partPath)
{
    return partPath.endsWith(QLatin1String(".lock")) ? partPath : partPath + QStringLiteral(".lock");
}

bool isLockedByOther(const QString &path)
{
    QLockFile lock(lockOf(path));
    lock.setStaleLockTime(0);
    if (!lock.tryLock(0))
        return true;
    lock.unlock();
    return false;
}

qint64 imageCacheBytes()
{
    qint64 total = 0;
    for (const QFileInfo &file : cacheFiles())
        if (!file.isSymLink() && file.isFile())
            total += file.size();
    return total;
}

bool emptyImageCache(QString *error)
{
    QString unsafe;
    const QFileInfoList files = cacheFiles(&unsafe);
    if (!unsafe.isEmpty())
        return fail(error, unsafe);
    for (const QFileInfo &entry : files) {
        if (isLockedByOther(entry.filePath()))
            continue;
        // A lock left by a dead installer goes with the check of its partial file.
        QFile file(entry.filePath());
        if (!file.remove() && isPresent(entry.filePath()))
            return fail(error, QStringLiteral("„%1“ konnte nicht gelöscht werden: %2")
                                   .arg(QDir::toNativeSeparators(entry.filePath()), file.errorString()));
    }
    return true;
}

bool clearImageCache(QStringList *report, QString *error)
{
    const qint64 bytes = imageCacheBytes();
    if (!emptyImageCache(error))
        return false;
    const qint64 kept = imageCacheBytes();
    *report << QStringLiteral("Cache geleert: %1 freigegeben.").arg(germanSize(bytes - kept));
    if (kept > 0)
        *report << QStringLiteral(
                       "Was ein anderer laufender Installer gerade herunterlädt, bleibt im Cache (%1).")
                       .arg(germanSize(kept));
    return true;
}
