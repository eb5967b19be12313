#include "imagecache.h"

#include "fail.h"
#include "installation.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {

// Everything in the cache but real folders; a link counts as a file, whatever it points to.
QFileInfoList cacheFiles()
{
    const QFileInfoList entries =
        QDir(Installation::imageCache())
            .entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    QFileInfoList files;
    for (const QFileInfo &entry : entries)
        if (entry.isSymLink() || !entry.isDir())
            files.append(entry);
    return files;
}

} // namespace

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
    for (const QFileInfo &entry : cacheFiles()) {
        QFile file(entry.filePath());
        if (!file.remove())
            return fail(error, QStringLiteral("„%1“ konnte nicht gelöscht werden: %2")
                                   .arg(QDir::toNativeSeparators(entry.filePath()), file.errorString()));
    }
    return true;
}
