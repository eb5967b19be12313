// SPDX-License-Identifier: GPL-3.0-or-later
// Disk images come from the download and may be corrupt or hostile. Whatever the boot sector,
// the FAT and the directories say, opening and writing files must stay inside the volume. With
// TOBRA_FUZZ_FSCK set (slow; scripts/fuzz.sh runs a sample of the corpus that way) a volume
// that fsck.fat accepted must also be accepted after a successful write, and the written
// files must read back.
#include "fatfuzz.h"
#include "fatimage.h"
#include "fatlayout.h"
#include "fuzzcheck.h"

#include <cstring>

namespace {

struct FileToWrite
{
    QString dir;
    QString name;
    QByteArray data;
};

QList<FileToWrite> filesToWrite()
{
    QByteArray rom(1500, '\0');
    for (int i = 0; i < rom.size(); ++i)
        rom[i] = char(i * 7 + 1);
    return {{QString(), QStringLiteral("KICK.ROM"), rom},
            {QStringLiteral("DEVS"), QStringLiteral("PI.ROM"), rom.left(700)},
            {QString(), QStringLiteral("leer.txt"), QByteArray()}};
}

// Opening the image again finds the same volume and, if the writer still holds its FAT, the same
// FAT on disk: a write never touches the boot sector, and what it flushed is what it believes.
void checkReopened(FatImage &image, const QString &path)
{
    FatImage reopened;
    require(reopened.open(path), "a volume written to opens again");
    const FatGeometry &geo = image.geometry();
    if (geo.volumeEnd == 0) // the writer closed the image after a failure it could not undo
        return;
    const FatGeometry &again = reopened.geometry();
    require(again.partitionOffset == geo.partitionOffset && again.volumeEnd == geo.volumeEnd &&
                again.clusterCount == geo.clusterCount && again.fatType == geo.fatType,
            "a volume written to keeps its layout");
    for (quint32 n = 0; n < geo.clusterCount + 2; ++n)
        require(reopened.fatEntry(n) == image.fatEntry(n), "the FAT on disk is the FAT in memory");
}

// True when bytes [from, to) of the image after the run are those before it: the head, then zeros.
bool unchangedRange(const ImageFile &file, const QByteArray &head, quint64 from, quint64 to)
{
    const quint64 headEnd = qBound(from, quint64(head.size()), to);
    return file.read(from, headEnd - from) == head.mid(qsizetype(from), qsizetype(headEnd - from)) &&
           file.isZero(headEnd, to);
}

// The boot sector and the rest of the reserved area stay as they were; only the free count and
// next-free hint of FSInfo may change.
bool reservedAreaKept(const ImageFile &file, const QByteArray &head, const FatGeometry &geo)
{
    const quint64 length = quint64(geo.reservedSectors) * geo.bytesPerSector;
    QByteArray expected = head.mid(qsizetype(geo.partitionOffset), qsizetype(length));
    expected.append(QByteArray(qsizetype(length) - expected.size(), '\0'));
    const QByteArray after = file.read(geo.partitionOffset, length);
    const qsizetype hints =
        qsizetype(geo.fsInfoSector) * qsizetype(geo.bytesPerSector) + FatLayout::FsInfo::freeCountOffset;
    if (geo.fsInfoSector != 0 && geo.fsInfoSector < geo.reservedSectors)
        expected.replace(hints, 8, after.mid(hints, 8));
    return after == expected;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static ImageFile imageFile;
    static const bool withFsck = qEnvironmentVariableIsSet("TOBRA_FUZZ_FSCK");
    static const QList<FileToWrite> files = filesToWrite();

    const QByteArray head = inputBytes(data, size).left(imageBytes);
    imageFile.reset(head);
    FatImage image;
    if (!image.open(imageFile.path()))
        return 0;
    const FatGeometry geo = image.geometry();
    const quint64 begin = geo.partitionOffset;
    const quint64 end = geo.volumeEnd;
    require(begin < end && end <= quint64(imageBytes), "the volume lies inside the image");
    const bool checked = withFsck && fsckAccepts(imageFile.read(begin, end - begin));

    bool written = false;
    for (const FileToWrite &file : files) {
        if (!image.writeFile(file.dir, file.name, file.data))
            continue;
        written = true;
        QByteArray content;
        if (checked)
            require(readBack(image, file.dir, file.name, &content) && content == file.data,
                    "a written file reads back");
    }
    if (written)
        checkReopened(image, imageFile.path());
    image.close();

    require(imageFile.size() == imageBytes, "the image keeps its size");
    require(unchangedRange(imageFile, head, 0, begin), "nothing is written before the volume");
    require(unchangedRange(imageFile, head, end, imageBytes), "nothing is written after the volume");
    require(reservedAreaKept(imageFile, head, geo), "the reserved area keeps all but the FSInfo hints");
    if (checked && written)
        require(fsckAccepts(imageFile.read(begin, end - begin)),
                "fsck.fat accepts the volume after a successful write");
    return 0;
}
