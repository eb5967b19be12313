// SPDX-License-Identifier: GPL-3.0-or-later
// The in-memory FAT: loading on use, entries, chains, and writing it back with the FSInfo hints.
#include "fail.h"
#include "fatimage.h"
#include "fatlayout.h"

#include <cstring>

using namespace FatLayout;

namespace {

constexpr quint32 fat32ValueMask = 0x0FFFFFFF;
// A multiple of every sector size, so pieces are whole sectors; entries never straddle pieces.
constexpr quint64 fatPieceSize = 64 * 1024;

QString fatUnreadableText()
{
    return QStringLiteral("FAT konnte nicht gelesen werden");
}

} // namespace

// Only the part of the first FAT that holds entries for the volume's clusters is used; a hostile
// FAT size cannot make us read gigabytes. The first piece is read now, to refuse a volume whose
// FAT cannot be read at all.
bool FatImage::loadFat(QString *error)
{
    const quint64 fatBytes = quint64(geo.sectorsPerFat) * geo.bytesPerSector;
    const quint64 usedBytes = (quint64(geo.clusterCount) + 2) * fatEntrySize();
    const quint64 size =
        qMin(fatBytes, (usedBytes + geo.bytesPerSector - 1) / geo.bytesPerSector * geo.bytesPerSector);
    if (fatBytes < usedBytes)
        return fail(error, fatUnreadableText());
    fat = QByteArray(qsizetype(size), Qt::Uninitialized);
    const qsizetype pieces = qsizetype((size + fatPieceSize - 1) / fatPieceSize);
    fatPieceLoaded = QBitArray(pieces);
    fatPieceDirty = QBitArray(pieces);
    loadFatPiece(0);
    if (!checkFatReadable(error)) {
        fat.clear();
        return false;
    }
    return true;
}

bool FatImage::checkFatReadable(QString *error) const
{
    return !fatUnreadable || fail(error, fatUnreadableText());
}

// An unreadable piece reads as all end marks: walks stop there and nothing is allocated in it.
void FatImage::loadFatPiece(quint64 offset)
{
    const qsizetype piece = qsizetype(offset / fatPieceSize);
    if (fatPieceLoaded.testBit(piece))
        return;
    const quint64 begin = quint64(piece) * fatPieceSize;
    const quint64 length = qMin(fatPieceSize, quint64(fat.size()) - begin);
    const QByteArray bytes = readAt(fatCopyOffset(0) + begin, length);
    if (quint64(bytes.size()) == length) {
        std::memcpy(fat.data() + begin, bytes.constData(), length);
    } else {
        std::memset(fat.data() + begin, 0xFF, length);
        fatUnreadable = true;
    }
    fatPieceLoaded.setBit(piece);
}

quint32 FatImage::fatEntry(quint32 n)
{
    const quint64 offset = quint64(n) * fatEntrySize();
    if (offset + fatEntrySize() > quint64(fat.size()))
        return geo.endOfChainMark;
    loadFatPiece(offset);
    if (geo.fatType == 16)
        return u16(fat, int(offset));
    return u32(fat, int(offset)) & fat32ValueMask;
}

void FatImage::setFatEntry(quint32 n, quint32 value)
{
    const quint64 offset = quint64(n) * fatEntrySize();
    if (offset + fatEntrySize() > quint64(fat.size()))
        return;
    const quint32 old = fatEntry(n);
    quint32 stored = 0;
    if (geo.fatType == 16) {
        stored = value & 0xFFFF;
        putU16(fat, int(offset), quint16(stored));
    } else {
        stored = value & fat32ValueMask;
        putU32(fat, int(offset), (u32(fat, int(offset)) & ~fat32ValueMask) | stored);
    }
    freeClusterDelta += (old != 0 ? 0 : -1) + (stored != 0 ? 0 : 1);
    fatPieceDirty.setBit(qsizetype(offset / fatPieceSize));
}

QList<quint32> FatImage::chain(quint32 first)
{
    QList<quint32> clusters;
    QBitArray seen;
    for (quint32 n = first; isValidCluster(n); n = fatEntry(n)) {
        if (seen.isEmpty())
            seen.resize(qsizetype(geo.clusterCount) + 2);
        if (seen.testBit(n))
            break;
        seen.setBit(n);
        clusters.append(n);
    }
    return clusters;
}

void FatImage::reloadFat()
{
    fatPieceLoaded.fill(false);
    fatPieceDirty.fill(false);
    fatUnreadable = false;
    freeClusterDelta = 0;
}

// The FSInfo sector is worked out first: counting the free clusters may need FAT pieces not read yet.
bool FatImage::flushFat(QString *error)
{
    const QByteArray fsInfo = updatedFsInfo();
    return checkFatReadable(error) && writeFat(fsInfo, error);
}

bool FatImage::writeFat(const QByteArray &fsInfo, QString *error)
{
    const QString unwritable = QStringLiteral("FAT konnte nicht geschrieben werden");
    for (quint32 copy = 0; copy < geo.fatCount; ++copy) {
        for (qsizetype piece = 0; piece < fatPieceDirty.size(); ++piece) {
            if (!fatPieceDirty.testBit(piece))
                continue;
            const quint64 begin = quint64(piece) * fatPieceSize;
            const QByteArray bytes = fat.mid(qsizetype(begin), qsizetype(fatPieceSize));
            if (!writeAt(fatCopyOffset(copy) + begin, bytes))
                return fail(error, unwritable);
        }
    }
    fatPieceDirty.fill(false);
    freeClusterDelta = 0;
    if ((!fsInfo.isEmpty() && !writeAt(fsInfoOffset(), fsInfo)) || (device == &file && !file.flush()))
        return fail(error, unwritable);
    return true;
}

quint64 FatImage::fsInfoOffset() const
{
    return quint64(geo.fsInfoSector) * geo.bytesPerSector + geo.partitionOffset;
}

// The free count and next-free hints are kept right, as the checking tools expect: the count
// moves by what this write freed and allocated, and is counted anew when it was not valid.
// Only a sector inside the reserved area that carries both signatures is taken for FSInfo; without
// one the result is empty.
QByteArray FatImage::updatedFsInfo()
{
    if (geo.fsInfoSector == 0 || geo.fsInfoSector == 0xFFFF || geo.fsInfoSector >= geo.reservedSectors)
        return QByteArray();
    QByteArray sector = readAt(fsInfoOffset(), sectorSize);
    if (sector.size() != sectorSize || u32(sector, 0) != FsInfo::leadSignature ||
        u32(sector, FsInfo::structSignatureOffset) != FsInfo::structSignature)
        return QByteArray();
    const quint32 stored = u32(sector, FsInfo::freeCountOffset);
    qint64 freeCount = stored <= geo.clusterCount ? stored + freeClusterDelta : -1;
    if (freeCount < 0 || freeCount > qint64(geo.clusterCount)) {
        freeCount = 0;
        for (quint32 n = 2; isValidCluster(n); ++n)
            freeCount += fatEntry(n) == 0 ? 1 : 0;
    }
    quint32 firstFree = 2;
    while (isValidCluster(firstFree) && fatEntry(firstFree) != 0)
        ++firstFree;
    putU32(sector, FsInfo::freeCountOffset, quint32(freeCount));
    putU32(sector, FsInfo::nextFreeOffset, isValidCluster(firstFree) ? firstFree : FsInfo::unknown);
    return sector;
}
