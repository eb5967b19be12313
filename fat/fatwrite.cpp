// SPDX-License-Identifier: GPL-3.0-or-later
// Writing a file: cluster allocation, directory slots, data, and writing the FAT back.
#include "fail.h"
#include "fatimage.h"
#include "fatlayout.h"

#include <QDateTime>

using namespace FatLayout;

namespace {

constexpr quint64 maxFileSize = 0xFFFFFFFF;
// Contiguous clusters are written together, up to this many bytes at a time.
constexpr quint64 maxWriteRun = 4 * 1024 * 1024;

// FAT time stamps cover 1980-01-01 to 2107-12-31; a clock outside that is pinned to the nearest end.
QDateTime representable(const QDateTime &time)
{
    const QDateTime first(QDate(1980, 1, 1), QTime(0, 0));
    const QDateTime last(QDate(2107, 12, 31), QTime(23, 59, 59));
    return qBound(first, time, last);
}

quint16 fatTime(const QTime &time)
{
    return quint16(time.hour() * 2048 + time.minute() * 32 + time.second() / 2);
}

quint16 fatDate(const QDate &date)
{
    return quint16((date.year() - 1980) * 512 + date.month() * 32 + date.day());
}

QByteArray newEntry(const QByteArray &shortName, quint8 caseFlags, const QDateTime &now)
{
    QByteArray entry(entrySize, '\0');
    entry.replace(0, Dir::nameLength, shortName);
    entry[Dir::caseFlags] = char(caseFlags);
    putU16(entry, Dir::createTime, fatTime(now.time()));
    putU16(entry, Dir::createDate, fatDate(now.date()));
    putU16(entry, Dir::accessDate, fatDate(now.date()));
    return entry;
}

void completeEntry(QByteArray &entry, quint32 firstCluster, quint32 size, const QDateTime &now)
{
    entry[Dir::attributes] = char(Dir::attrArchive);
    putU16(entry, Dir::firstClusterHigh, quint16(firstCluster >> 16));
    putU16(entry, Dir::firstClusterLow, quint16(firstCluster & 0xFFFF));
    putU16(entry, Dir::writeTime, fatTime(now.time()));
    putU16(entry, Dir::writeDate, fatDate(now.date()));
    putU32(entry, Dir::fileSize, size);
}

// Offset of the first free or never used entry in a directory block, or -1.
int firstFreeSlot(const QByteArray &block)
{
    for (int offset = 0; offset + entrySize <= block.size(); offset += entrySize) {
        const quint8 first = u8(block, offset);
        if (first == Dir::endMarker || first == Dir::deletedMarker)
            return offset;
    }
    return -1;
}

bool reachesAny(const QList<quint32> &clusters, const QSet<quint32> &seen)
{
    for (const quint32 n : clusters)
        if (seen.contains(n))
            return true;
    return false;
}

// Freeing or filling a cluster that another chain also holds would destroy what that chain holds.
QString damagedText(const QString &dirName, const QString &fileName)
{
    const QString path = dirName.isEmpty() ? fileName : dirName + QLatin1Char('/') + fileName;
    return QStringLiteral("Das Dateisystem im Image ist beschädigt: Cluster für „%1“ gehören schon zu einer "
                          "anderen Datei oder einem Verzeichnis. Das Image wurde nicht verändert.")
        .arg(path);
}

} // namespace

struct FatImage::PlannedFile
{
    EntryLocation location;
    QByteArray entry;            // complete, as it will be written
    QList<quint32> clusters;     // for the data, linked in the in-memory FAT
    bool directoryGrown = false; // location.cluster is new to the directory and still to be zeroed
    QSet<quint32> seen;          // the clusters of every other chain the write can see
    QByteArray fsInfo;           // the updated FSInfo sector; empty when it is not kept up to date
};

bool FatImage::writeFile(const QString &dirName, const QString &fileName, const QByteArray &data,
                         QString *error)
{
    if (!device || fat.isEmpty())
        return fail(error, QStringLiteral("Image ist nicht geöffnet"));
    if (quint64(data.size()) > maxFileSize)
        return fail(error, QStringLiteral("Datei ist zu groß für FAT"));
    // Every change is worked out in memory first, so each FAT piece the write needs has been read
    // before the first byte reaches the image. A piece that could not be read explains any other
    // refusal best.
    PlannedFile plan;
    const bool planned = planFile(dirName, fileName, data.size(), &plan, error);
    const bool readable = checkFatReadable(error);
    if (!planned || !readable || !writeContents(plan, data, error)) {
        reloadFat();
        return false;
    }
    return writeFat(plan.fsInfo, error);
}

bool FatImage::planFile(const QString &dirName, const QString &fileName, qsizetype size, PlannedFile *plan,
                        QString *error)
{
    quint32 dirCluster = 0;
    const QDateTime now = representable(stampTime.isValid() ? stampTime : QDateTime::currentDateTime());
    if (!resolveDir(dirName, &dirCluster, error) ||
        !planEntry(dirCluster, dirName, fileName, now, plan, error))
        return false;
    const quint64 clustersNeeded = (quint64(size) + geo.bytesPerCluster - 1) / geo.bytesPerCluster;
    if (!allocateClusters(quint32(clustersNeeded), &plan->clusters))
        return fail(error, QStringLiteral("Nicht genug freier Platz im Image für %1 (%2 Bytes)")
                               .arg(fileName, QString::number(size)));
    if (reachesAny(plan->clusters, plan->seen) ||
        (plan->directoryGrown && plan->seen.contains(plan->location.cluster)))
        return fail(error, damagedText(dirName, fileName));
    completeEntry(plan->entry, plan->clusters.value(0, 0), quint32(size), now);
    plan->fsInfo = updatedFsInfo();
    return true;
}

// The entry to replace (its old chain freed), or a new one in a free slot.
bool FatImage::planEntry(quint32 dirCluster, const QString &dirName, const QString &fileName,
                         const QDateTime &now, PlannedFile *plan, QString *error)
{
    QByteArray shortName;
    quint8 caseFlags = 0;
    bool mixedCase = false;
    if (!toShortName(fileName, &shortName, &caseFlags, &mixedCase, error))
        return false;
    if (findEntry(dirCluster, shortName, &plan->location, &plan->entry)) {
        if (u8(plan->entry, Dir::attributes) & Dir::attrDirectory)
            return fail(error, QStringLiteral("\"%1\" ist im Image ein Verzeichnis").arg(fileName));
        plan->seen = clustersSeen(dirCluster, &plan->location);
        if (reachesAny(chain(firstCluster(plan->entry)), plan->seen))
            return fail(error, damagedText(dirName, fileName));
        freeChain(firstCluster(plan->entry));
        return true;
    }
    plan->seen = clustersSeen(dirCluster, nullptr);
    if (mixedCase)
        return fail(error, QStringLiteral("\"%1\": gemischte Groß-/Kleinschreibung bräuchte lange "
                                          "Dateinamen, das wird nicht unterstützt")
                               .arg(fileName));
    plan->entry = newEntry(shortName, caseFlags, now);
    return findFreeSlot(dirCluster, &plan->location, &plan->directoryGrown, error);
}

// Everything but the FAT itself: a new directory cluster, the data and the entry.
bool FatImage::writeContents(const PlannedFile &plan, const QByteArray &data, QString *error)
{
    if (plan.directoryGrown &&
        !writeAt(clusterOffset(plan.location.cluster), QByteArray(qsizetype(geo.bytesPerCluster), '\0')))
        return fail(error, QStringLiteral("Verzeichnis konnte nicht erweitert werden"));
    if (!writeData(plan.clusters, data))
        return fail(error, QStringLiteral("Schreiben der Daten ins Image fehlgeschlagen"));
    if (!writeDirEntry(plan.location, plan.entry))
        return fail(error, QStringLiteral("Verzeichniseintrag konnte nicht geschrieben werden"));
    return true;
}

void FatImage::freeChain(quint32 cluster)
{
    for (const quint32 n : chain(cluster))
        setFatEntry(n, 0);
}

bool FatImage::allocateClusters(quint32 count, QList<quint32> *list)
{
    list->clear();
    if (count == 0)
        return true;
    if (count > geo.clusterCount)
        return false;
    QList<quint32> found;
    found.reserve(count);
    for (quint32 n = 2; isValidCluster(n) && quint32(found.size()) < count; ++n) {
        if (fatEntry(n) == 0)
            found.append(n);
    }
    if (quint32(found.size()) < count)
        return false;
    for (qsizetype i = 0; i + 1 < found.size(); ++i)
        setFatEntry(found[i], found[i + 1]);
    setFatEntry(found.last(), geo.endOfChainMark);
    *list = found;
    return true;
}

bool FatImage::findFreeSlot(quint32 dirCluster, EntryLocation *location, bool *grown, QString *error)
{
    *grown = false;
    const QString unreadable = QStringLiteral("Verzeichnis nicht lesbar");
    if (dirCluster == 0) {
        const QByteArray root = readDirBlock(0);
        if (root.isEmpty())
            return fail(error, unreadable);
        const int slot = firstFreeSlot(root);
        if (slot < 0)
            return fail(error,
                        QStringLiteral("Das Wurzelverzeichnis ist voll (bei FAT16 nicht erweiterbar)"));
        *location = EntryLocation{0, quint32(slot)};
        return true;
    }
    // A directory whose first cluster lies outside the volume has nothing to link a new cluster to.
    const QList<quint32> dirChain = chain(dirCluster);
    if (dirChain.isEmpty())
        return fail(error, unreadable);
    for (const quint32 cluster : dirChain) {
        const QByteArray block = readDirBlock(cluster);
        if (block.isEmpty())
            return fail(error, unreadable);
        const int slot = firstFreeSlot(block);
        if (slot >= 0) {
            *location = EntryLocation{cluster, quint32(slot)};
            return true;
        }
    }
    *grown = appendDirCluster(dirChain, location, error);
    return *grown;
}

bool FatImage::appendDirCluster(const QList<quint32> &dirChain, EntryLocation *location, QString *error)
{
    QList<quint32> added;
    if (!allocateClusters(1, &added))
        return fail(error, QStringLiteral("Kein Platz, um das Verzeichnis zu erweitern"));
    // Linked from the last cluster walked; on a looping chain that also cuts the loop.
    setFatEntry(dirChain.last(), added[0]);
    *location = EntryLocation{added[0], 0};
    return true;
}

bool FatImage::writeData(const QList<quint32> &clusters, const QByteArray &data)
{
    const quint64 clustersPerRun = qMax<quint64>(1, maxWriteRun / geo.bytesPerCluster);
    qsizetype i = 0;
    while (i < clusters.size()) {
        qsizetype end = i + 1;
        while (end < clusters.size() && clusters[end] == clusters[end - 1] + 1 &&
               quint64(end - i) < clustersPerRun)
            ++end;
        const qsizetype runBytes = (end - i) * qsizetype(geo.bytesPerCluster);
        QByteArray piece = data.mid(i * qsizetype(geo.bytesPerCluster), runBytes);
        piece.append(QByteArray(runBytes - piece.size(), '\0'));
        if (!writeAt(clusterOffset(clusters[i]), piece))
            return false;
        i = end;
    }
    return true;
}
