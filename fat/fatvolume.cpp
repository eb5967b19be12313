// SPDX-License-Identifier: GPL-3.0-or-later
// Opening the image: finding the volume, checking its boot sector, geometry and the in-memory FAT.
#include "fail.h"
#include "fatimage.h"
#include "fatlayout.h"

using namespace FatLayout;

namespace {

constexpr quint32 fat12MaxClusters = 4084;
constexpr quint32 fat16MaxClusters = 65524;
// Cluster numbers from 0x0FFFFFF7 on are the bad-cluster and end marks; no data cluster may have one.
constexpr quint32 fat32MaxClusters = 0x0FFFFFF5;

bool isPowerOfTwo(quint32 value)
{
    return value != 0 && (value & (value - 1)) == 0;
}

// The fields both layouts need, as the volume check and the partition-table sniffing see them.
bool hasPlausibleBasics(const QByteArray &boot)
{
    const quint32 bytesPerSector = u16(boot, Boot::bytesPerSector);
    return bytesPerSector >= 512 && bytesPerSector <= 4096 && isPowerOfTwo(bytesPerSector) &&
           isPowerOfTwo(u8(boot, Boot::sectorsPerCluster)) && u16(boot, Boot::reservedSectors) != 0 &&
           u8(boot, Boot::fatCount) != 0;
}

bool looksLikeBootSector(const QByteArray &sector)
{
    const quint8 jump = u8(sector, 0);
    if ((jump != 0xEB && jump != 0xE9) || !hasPlausibleBasics(sector))
        return false;
    const bool hasRootEntries = u16(sector, Boot::rootEntryCount) != 0;
    const bool hasFat16Size = u16(sector, Boot::sectorsPerFat16) != 0;
    if (hasRootEntries || hasFat16Size)
        return hasRootEntries && hasFat16Size;
    return u32(sector, Boot::sectorsPerFat32) != 0 && u32(sector, Boot::rootCluster) > 1;
}

bool isFatPartitionType(quint8 type)
{
    return type == 0x04 || type == 0x06 || type == 0x0B || type == 0x0C || type == 0x0E;
}

} // namespace

bool FatImage::open(const QString &path, QString *error, QIODevice::OpenMode access)
{
    close();
    file.setFileName(path);
    // Unbuffered: a failed write must show at the write that failed, not at some later seek.
    if (!file.open(access | QIODevice::ExistingOnly | QIODevice::Unbuffered))
        return fail(error, QStringLiteral("Image kann nicht geöffnet werden: %1").arg(file.errorString()));
    return open(&file, error);
}

bool FatImage::open(QIODevice *image, QString *error)
{
    if (image != &file)
        close();
    device = image;
    windowBegin = 0;
    windowEnd = quint64(qMax<qint64>(device->size(), 0));
    const QByteArray sector0 = readAt(0, sectorSize);
    if (sector0.size() < sectorSize)
        return fail(error, QStringLiteral("Image ist zu klein"));
    if (!locateVolume(sector0, error))
        return false;
    const QByteArray boot = readAt(geo.partitionOffset, sectorSize);
    if (boot.size() < sectorSize)
        return fail(error, QStringLiteral("Bootsektor der Partition nicht lesbar"));
    return readGeometry(boot, error) && loadFat(error);
}

void FatImage::close()
{
    file.close();
    device = nullptr;
    fat.clear();
    fatPieceLoaded.clear();
    fatPieceDirty.clear();
    fatUnreadable = false;
    freeClusterDelta = 0;
    geo = FatGeometry();
    windowBegin = windowEnd = 0;
}

bool FatImage::locateVolume(const QByteArray &sector0, QString *error)
{
    geo.partitionOffset = 0;
    geo.partitionEnd = windowEnd;
    if (looksLikeBootSector(sector0) || sector0.mid(Boot::fat32TypeText, 8) == "FAT32   ")
        return true;
    if (u8(sector0, 510) != 0x55 || u8(sector0, 511) != 0xAA)
        return true;
    for (int i = 0; i < 4; ++i) {
        const int entry = Mbr::firstEntry + i * Mbr::entryLength;
        const quint32 firstSector = u32(sector0, entry + Mbr::firstSectorOffset);
        if (isFatPartitionType(u8(sector0, entry + Mbr::typeOffset)) && firstSector != 0) {
            geo.partitionOffset = firstSector * Mbr::lbaSize;
            geo.partitionEnd =
                geo.partitionOffset + u32(sector0, entry + Mbr::sectorCountOffset) * Mbr::lbaSize;
            return true;
        }
    }
    return fail(error, QStringLiteral("Im Image wurde keine FAT-Partition (FAT16/FAT32) gefunden"));
}

bool FatImage::readGeometry(const QByteArray &boot, QString *error)
{
    geo.rootEntryCount = u16(boot, Boot::rootEntryCount);
    const bool fat16Layout = geo.rootEntryCount != 0;
    geo.bytesPerSector = u16(boot, Boot::bytesPerSector);
    geo.sectorsPerCluster = u8(boot, Boot::sectorsPerCluster);
    geo.reservedSectors = u16(boot, Boot::reservedSectors);
    geo.fatCount = u8(boot, Boot::fatCount);
    geo.sectorsPerFat = fat16Layout ? u16(boot, Boot::sectorsPerFat16) : u32(boot, Boot::sectorsPerFat32);
    geo.rootCluster = fat16Layout ? 0 : u32(boot, Boot::rootCluster);
    geo.fsInfoSector = fat16Layout ? 0 : u16(boot, Boot::fsInfoSector);
    const bool fat32Valid = geo.rootCluster >= 2 && u16(boot, Boot::sectorsPerFat16) == 0;
    if (!hasPlausibleBasics(boot) || geo.sectorsPerFat == 0 || (!fat16Layout && !fat32Valid))
        return fail(error, QStringLiteral("Die Partition ist kein gültiges FAT16/FAT32"));

    // 64-bit arithmetic: a hostile boot sector must not wrap the layout back into range.
    const quint32 total32 = u32(boot, Boot::totalSectors32);
    const quint64 totalSectors = total32 != 0 ? total32 : u16(boot, Boot::totalSectors16);
    const quint64 rootDirSectors =
        (quint64(geo.rootEntryCount) * entrySize + geo.bytesPerSector - 1) / geo.bytesPerSector;
    const quint64 metadataSectors = geo.reservedSectors + quint64(geo.fatCount) * geo.sectorsPerFat;
    const quint64 firstDataSector = metadataSectors + rootDirSectors;
    if (firstDataSector >= totalSectors)
        return fail(error, QStringLiteral("Ungültige Größenangaben im Bootsektor"));
    geo.firstDataSector = quint32(firstDataSector);
    geo.bytesPerCluster = geo.bytesPerSector * geo.sectorsPerCluster;
    geo.clusterCount = quint32((totalSectors - firstDataSector) / geo.sectorsPerCluster);

    if (fat16Layout) {
        if (geo.clusterCount <= fat12MaxClusters)
            return fail(error, QStringLiteral("FAT12 wird nicht unterstützt (nur FAT16 und FAT32)"));
        if (geo.clusterCount > fat16MaxClusters)
            return fail(error, QStringLiteral("Ungültige Clusteranzahl für FAT16"));
        geo.fatType = 16;
        geo.endOfChainMin = 0xFFF8;
        geo.endOfChainMark = 0xFFFF;
    } else {
        geo.clusterCount = qMin(geo.clusterCount, fat32MaxClusters);
    }
    geo.rootDirOffset = metadataSectors * geo.bytesPerSector + geo.partitionOffset;
    geo.volumeEnd = geo.partitionOffset + totalSectors * geo.bytesPerSector;
    if (quint64(device->size()) < geo.volumeEnd)
        return fail(error, QStringLiteral("Das Image ist kürzer als die Partition (beschädigt?)"));
    // Writes past the partition would land in the next one.
    if (geo.volumeEnd > geo.partitionEnd)
        return fail(error, QStringLiteral("Im Image reicht das FAT-Dateisystem über seine Partition hinaus"));
    windowBegin = geo.partitionOffset;
    windowEnd = geo.volumeEnd;
    return true;
}

quint64 FatImage::fatCopyOffset(quint32 copy) const
{
    return (geo.reservedSectors + quint64(copy) * geo.sectorsPerFat) * geo.bytesPerSector +
           geo.partitionOffset;
}

bool FatImage::isInWindow(quint64 offset, quint64 length) const
{
    return offset >= windowBegin && offset <= windowEnd && length <= windowEnd - offset;
}

QByteArray FatImage::readAt(quint64 offset, quint64 length)
{
    if (!device || !isInWindow(offset, length) || !device->seek(qint64(offset)))
        return QByteArray();
    return device->read(qint64(length));
}

bool FatImage::writeAt(quint64 offset, const QByteArray &bytes)
{
    if (!device || !isInWindow(offset, quint64(bytes.size())) || !device->seek(qint64(offset)))
        return false;
    return device->write(bytes) == bytes.size();
}

quint64 FatImage::clusterOffset(quint32 n) const
{
    return ((quint64(n) - 2) * geo.sectorsPerCluster + geo.firstDataSector) * geo.bytesPerSector +
           geo.partitionOffset;
}

QByteArray FatImage::readCluster(quint32 n)
{
    if (!isValidCluster(n))
        return QByteArray();
    return readAt(clusterOffset(n), geo.bytesPerCluster);
}
