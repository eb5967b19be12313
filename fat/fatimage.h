// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QBitArray>
#include <QByteArray>
#include <QDateTime>
#include <QFile>
#include <QList>
#include <QSet>
#include <QString>

// Where a 32-byte directory entry lies. Cluster 0 stands for the fixed FAT16 root region.
struct EntryLocation
{
    quint32 cluster = 0;
    quint32 offset = 0; // inside that cluster or root region
};

// Layout of the opened volume, taken from its boot sector. Offsets are absolute within the image file.
struct FatGeometry
{
    quint64 partitionOffset = 0; // boot sector of the volume
    quint32 bytesPerSector = 0;
    quint32 sectorsPerCluster = 0;
    quint32 bytesPerCluster = 0;
    quint32 reservedSectors = 0;
    quint32 fatCount = 0;
    quint32 sectorsPerFat = 0;
    quint32 rootCluster = 0; // 0 on FAT16: directory cluster 0 means the fixed root region
    quint32 fatType = 32;
    quint32 rootEntryCount = 0; // FAT16 only
    quint64 rootDirOffset = 0;  // FAT16 only
    quint32 endOfChainMin = 0x0FFFFFF8;
    quint32 endOfChainMark = 0x0FFFFFFF;
    quint32 firstDataSector = 0;
    quint32 clusterCount = 0; // valid cluster numbers: 2 … clusterCount + 1
    quint32 fsInfoSector = 0; // FAT32 only
    quint64 volumeEnd = 0;    // first byte after the volume
    quint64 partitionEnd = 0; // first byte after its MBR partition; the image's end for a bare volume
};

// The installer's own FAT16/FAT32 writer. It finds the volume inside a disk image (bare, or
// behind an MBR), holds the first FAT in memory (read as it is used) and writes 8.3-named files into the root
// or a directory directly below it. Every read and write stays inside the volume, whatever the boot sector or
// the FAT say. Failures return false and a German text in the optional error.
class FatImage
{
public:
    FatImage() = default;
    ~FatImage() { close(); }
    Q_DISABLE_COPY(FatImage)

    // Opens the image read-write (or only for reading, where nothing is to be written), finds and
    // checks the volume and reads the start of the first FAT (the rest is read as it is used).
    // Writes nothing. On failure the object must not be used for writing; close() it.
    bool open(const QString &path, QString *error = nullptr, QIODevice::OpenMode access = QIODevice::ReadWrite);
    // The same on a device opened read-write that the caller owns and keeps open meanwhile, such as
    // an image held in memory.
    bool open(QIODevice *image, QString *error = nullptr);
    // Closes the image and forgets the FAT. Safe at any time, also twice.
    void close();
    const FatGeometry &geometry() const { return geo; }
    // The time written into the entries of the files written from now on; while none is set, the
    // time of each write.
    void setStampTime(const QDateTime &time) { stampTime = time; }

    // Creates dirName/fileName or replaces that file's contents (keeping its entry and creation
    // stamps), then writes every FAT copy. dirName is a directory in the root; empty = the root.
    // A failure before the FAT is written leaves the FAT on disk and in memory unchanged; a name,
    // space or FAT piece that fails is noticed before the first byte is written.
    bool writeFile(const QString &dirName, const QString &fileName, const QByteArray &data,
                   QString *error = nullptr);

    // Building blocks, public for tests.

    // Up to length bytes at an absolute offset; empty when the range leaves the volume (the
    // image file while open() is still looking for it) or the seek fails.
    QByteArray readAt(quint64 offset, quint64 length);
    // True only if the range lies inside the volume and every byte was written.
    bool writeAt(quint64 offset, const QByteArray &bytes);
    quint64 clusterOffset(quint32 n) const;
    QByteArray readCluster(quint32 n);
    // Entry n of the in-memory FAT (FAT32: without the top four bits); end of chain outside it.
    quint32 fatEntry(quint32 n);
    // Sets entry n in memory; FAT32 keeps the entry's top four bits.
    void setFatEntry(quint32 n, quint32 value);
    bool isValidCluster(quint32 n) const { return n >= 2 && n - 2 < geo.clusterCount; }
    // The clusters of the chain starting at first, in order. Ends at an end mark, at a number
    // outside the volume and before the first cluster seen twice (a loop).
    QList<quint32> chain(quint32 first);

    // The 11-byte short name of an 8.3 name, its case byte (0x08 lower-case base, 0x10
    // lower-case extension) and whether its letter case would need a long name.
    static bool toShortName(const QString &name, QByteArray *shortName, quint8 *caseFlags = nullptr,
                            bool *mixedCase = nullptr, QString *error = nullptr);
    // Cluster 0: the whole FAT16 root region; otherwise one cluster. Empty on a short read.
    QByteArray readDirBlock(quint32 cluster);
    // Looks a short name up in the directory starting at dirCluster (0 = FAT16 root region).
    bool findEntry(quint32 dirCluster, const QByteArray &shortName, EntryLocation *location = nullptr,
                   QByteArray *entry = nullptr);
    // First cluster of a directory directly below the root, or of the root for an empty name.
    bool resolveDir(const QString &dirName, quint32 *cluster, QString *error = nullptr);
    bool writeDirEntry(const EntryLocation &location, const QByteArray &entry);

    // Frees the chain starting at cluster, in memory.
    void freeChain(quint32 cluster);
    // Finds count free clusters (lowest first) and links them into a chain, in memory. On
    // failure the FAT is unchanged and list empty.
    bool allocateClusters(quint32 count, QList<quint32> *list);
    // A free entry slot in the directory. A full FAT32 directory grows by a cluster in the in-memory
    // FAT; *grown then tells the caller to zero that cluster before writing the entry.
    bool findFreeSlot(quint32 dirCluster, EntryLocation *location, bool *grown, QString *error = nullptr);
    // Writes the changed parts of the in-memory FAT over every copy, brings the FSInfo free
    // count and next-free hint up to date and flushes the file.
    bool flushFat(QString *error = nullptr);
    // Drops the FAT changes not written yet: the FAT is read from the disk again as it is used.
    void reloadFat();

private:
    struct PlannedFile; // a write worked out in memory

    bool locateVolume(const QByteArray &sector0, QString *error);
    bool readGeometry(const QByteArray &boot, QString *error);
    bool loadFat(QString *error);
    quint64 fatCopyOffset(quint32 copy) const;
    quint32 fatEntrySize() const { return geo.fatType == 32 ? 4 : 2; }
    bool isInWindow(quint64 offset, quint64 length) const;
    bool planFile(const QString &dirName, const QString &fileName, qsizetype size, PlannedFile *plan,
                  QString *error);
    bool planEntry(quint32 dirCluster, const QString &dirName, const QString &fileName, const QDateTime &now,
                   PlannedFile *plan, QString *error);
    QSet<quint32> clustersSeen(quint32 dirCluster, const EntryLocation *except);
    bool writeContents(const PlannedFile &plan, const QByteArray &data, QString *error);
    bool writeData(const QList<quint32> &clusters, const QByteArray &data);
    bool appendDirCluster(const QList<quint32> &dirChain, EntryLocation *location, QString *error);
    quint64 fsInfoOffset() const;
    QByteArray updatedFsInfo();
    bool writeFat(const QByteArray &fsInfo, QString *error);
    void loadFatPiece(quint64 offset);
    bool checkFatReadable(QString *error) const;

    QFile file;
    QIODevice *device = nullptr; // file, or the caller's device
    QDateTime stampTime;
    FatGeometry geo;
    // The first FAT, read piece by piece as it is used: a write touches a few pieces, so even on
    // a large volume it reads and writes back little. Empty while closed.
    QByteArray fat;
    QBitArray fatPieceLoaded;
    QBitArray fatPieceDirty;     // changed since loaded or written
    bool fatUnreadable = false;  // a piece failed to load: nothing may be written back
    qint64 freeClusterDelta = 0; // change of the free cluster count since the FAT was last written
    // The part of the file reads and writes may touch: the file while open() looks for the
    // volume, the volume afterwards.
    quint64 windowBegin = 0;
    quint64 windowEnd = 0;
};
