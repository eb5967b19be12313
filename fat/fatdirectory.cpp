// SPDX-License-Identifier: GPL-3.0-or-later
// Short (8.3) names, directory lookup and directory entries.
#include "fail.h"
#include "fatimage.h"
#include "fatlayout.h"

using namespace FatLayout;

namespace {

struct LetterCase
{
    bool upper = false;
    bool lower = false;
};

// False at the first character an 8.3 name of ours may not hold; records the letter case seen.
bool scanNamePart(const QString &part, LetterCase *letterCase)
{
    for (const QChar c : part) {
        const char16_t u = c.unicode();
        if (u >= 'A' && u <= 'Z')
            letterCase->upper = true;
        else if (u >= 'a' && u <= 'z')
            letterCase->lower = true;
        else if (!((u >= '0' && u <= '9') || u == '_' || u == '-'))
            return false;
    }
    return true;
}

bool isSkippedEntry(const QByteArray &block, int offset)
{
    const quint8 attributes = u8(block, offset + Dir::attributes);
    return u8(block, offset) == Dir::deletedMarker || (attributes & Dir::longNameMask) == Dir::longName ||
           (attributes & Dir::attrVolumeLabel);
}

} // namespace

bool FatImage::toShortName(const QString &name, QByteArray *shortName, quint8 *caseFlags, bool *mixedCase,
                           QString *error)
{
    const int dot = name.lastIndexOf(QLatin1Char('.'));
    const QString base = dot < 0 ? name : name.left(dot);
    const QString extension = dot < 0 ? QString() : name.mid(dot + 1);
    if (base.isEmpty() || base.size() > 8 || extension.size() > 3)
        return fail(error, QStringLiteral("\"%1\" ist kein gültiger 8.3-Dateiname").arg(name));
    LetterCase baseCase;
    LetterCase extensionCase;
    if (!scanNamePart(base, &baseCase) || !scanNamePart(extension, &extensionCase))
        return fail(error, QStringLiteral("\"%1\" ist kein unterstützter 8.3-Dateiname").arg(name));

    QByteArray bytes(Dir::nameLength, ' ');
    bytes.replace(0, base.size(), base.toUpper().toLatin1());
    bytes.replace(8, extension.size(), extension.toUpper().toLatin1());
    if (shortName)
        *shortName = bytes;
    if (caseFlags)
        *caseFlags = (baseCase.lower && !baseCase.upper ? Dir::lowerCaseBase : 0) |
                     (extensionCase.lower && !extensionCase.upper ? Dir::lowerCaseExtension : 0);
    if (mixedCase)
        *mixedCase = (baseCase.lower && baseCase.upper) || (extensionCase.lower && extensionCase.upper);
    return true;
}

QByteArray FatImage::readDirBlock(quint32 cluster)
{
    const quint64 length = cluster == 0 ? quint64(geo.rootEntryCount) * entrySize : geo.bytesPerCluster;
    const QByteArray block = cluster == 0 ? readAt(geo.rootDirOffset, length) : readCluster(cluster);
    return quint64(block.size()) == length ? block : QByteArray();
}

bool FatImage::findEntry(quint32 dirCluster, const QByteArray &shortName, EntryLocation *location,
                         QByteArray *entry)
{
    const QList<quint32> blocks = dirCluster == 0 ? QList<quint32>{0} : chain(dirCluster);
    for (const quint32 cluster : blocks) {
        const QByteArray block = readDirBlock(cluster);
        if (block.isEmpty())
            return false;
        for (int offset = 0; offset + entrySize <= block.size(); offset += entrySize) {
            if (u8(block, offset) == Dir::endMarker)
                return false;
            if (isSkippedEntry(block, offset) || block.mid(offset, Dir::nameLength) != shortName)
                continue;
            if (location)
                *location = EntryLocation{cluster, quint32(offset)};
            if (entry)
                *entry = block.mid(offset, entrySize);
            return true;
        }
    }
    return false;
}

bool FatImage::resolveDir(const QString &dirName, quint32 *cluster, QString *error)
{
    if (dirName.isEmpty()) {
        *cluster = geo.rootCluster;
        return true;
    }
    QByteArray shortName;
    if (!toShortName(dirName, &shortName, nullptr, nullptr, error))
        return false;
    QByteArray entry;
    if (!findEntry(geo.rootCluster, shortName, nullptr, &entry))
        return fail(error, QStringLiteral("Das Verzeichnis \"%1\" gibt es im Image nicht").arg(dirName));
    if (!(u8(entry, Dir::attributes) & Dir::attrDirectory))
        return fail(error, QStringLiteral("\"%1\" ist im Image kein Verzeichnis").arg(dirName));
    const quint32 first = firstCluster(entry);
    *cluster = first == 0 ? geo.rootCluster : first;
    return true;
}

bool FatImage::writeDirEntry(const EntryLocation &location, const QByteArray &entry)
{
    const bool inRoot = location.cluster == 0;
    const quint64 blockSize = inRoot ? quint64(geo.rootEntryCount) * entrySize : geo.bytesPerCluster;
    if (entry.size() != entrySize || quint64(location.offset) + entrySize > blockSize ||
        (!inRoot && !isValidCluster(location.cluster)))
        return false;
    const quint64 blockOffset = inRoot ? geo.rootDirOffset : clusterOffset(location.cluster);
    return writeAt(blockOffset + location.offset, entry);
}

// On a damaged volume a cluster may belong to more than one chain. What the write can see: the
// root's and the directory's own chains and every chain an entry of the directory starts, but
// the one at except, which the write replaces.
QSet<quint32> FatImage::clustersSeen(quint32 dirCluster, const EntryLocation *except)
{
    const QList<quint32> blocks = dirCluster == 0 ? QList<quint32>{0} : chain(dirCluster);
    QSet<quint32> seen(blocks.cbegin(), blocks.cend());
    seen.remove(0);
    for (const quint32 n : chain(geo.rootCluster))
        seen.insert(n);
    for (const quint32 cluster : blocks) {
        const QByteArray block = readDirBlock(cluster);
        for (int offset = 0; offset + entrySize <= block.size() && u8(block, offset) != Dir::endMarker;
             offset += entrySize) {
            const bool replaced = except && except->cluster == cluster && except->offset == quint32(offset);
            if (isSkippedEntry(block, offset) || replaced)
                continue;
            for (const quint32 n : chain(firstCluster(block.mid(offset, entrySize))))
                seen.insert(n);
        }
    }
    return seen;
}
