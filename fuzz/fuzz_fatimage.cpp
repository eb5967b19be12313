// Disk images come from the download and may be corrupt or hostile. Whatever the boot sector,
// the FAT and the directories say, opening and writing files must stay inside the volume. With
// TOBRA_FUZZ_FSCK set (slow; scripts/fuzz.sh runs a sample of the corpus that way) a volume
// that fsck.fat accepted must also be accepted after a successful write, and the written
// files must read back.
#include "fatimage.h"
#include "fatlayout.h"
#include "fuzzcheck.h"

#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryFile>
#include <cerrno>
#include <cstring>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The input is the head of an image; the rest, up to this size, is a hole (zeros). The checks
// read only the parts of the file that hold data, so the size costs nothing.
constexpr qint64 imageBytes = 64 << 20;

// The image lives in memory and is opened by FatImage through its /proc path.
class ImageFile
{
public:
    ImageFile() : fd(::memfd_create("fuzz-image", 0)) { require(fd >= 0, "memfd_create works"); }
    ~ImageFile() { ::close(fd); }
    Q_DISABLE_COPY(ImageFile)

    QString path() const { return QStringLiteral("/proc/self/fd/%1").arg(fd); }

    void reset(const QByteArray &head)
    {
        require(::ftruncate(fd, 0) == 0 &&
                    ::pwrite(fd, head.constData(), size_t(head.size()), 0) == head.size() &&
                    ::ftruncate(fd, imageBytes) == 0,
                "the image file can be written");
    }

    QByteArray read(quint64 offset, quint64 length) const
    {
        QByteArray bytes(qsizetype(length), Qt::Uninitialized);
        const ssize_t n = ::pread(fd, bytes.data(), size_t(length), off_t(offset));
        require(n >= 0, "the image file can be read");
        bytes.truncate(n);
        return bytes;
    }

    qint64 size() const
    {
        struct stat status;
        require(::fstat(fd, &status) == 0, "the image file can be examined");
        return status.st_size;
    }

    // True when [from, to) holds only zeros; reads just the parts the file has data for.
    bool isZero(quint64 from, quint64 to) const
    {
        for (quint64 at = from; at < to;) {
            const off_t data = ::lseek(fd, off_t(at), SEEK_DATA);
            if (data < 0 && errno == ENXIO)
                return true;
            require(data >= 0, "the image file can be searched");
            if (quint64(data) >= to)
                return true;
            const quint64 stop = qMin(quint64(::lseek(fd, data, SEEK_HOLE)), to);
            const QByteArray bytes = read(quint64(data), stop - quint64(data));
            if (bytes.count('\0') != bytes.size())
                return false;
            at = stop;
        }
        return true;
    }

private:
    int fd;
};

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

bool fsckAccepts(const QByteArray &volume)
{
    static const QString fsck = QStandardPaths::findExecutable(
        QStringLiteral("fsck.fat"), {QStringLiteral("/usr/sbin"), QStringLiteral("/sbin")});
    require(!fsck.isEmpty(), "fsck.fat is installed (package dosfstools)");
    QTemporaryFile copy;
    require(copy.open() && copy.write(volume) == volume.size() && copy.flush(), "the volume can be copied");
    QProcess process;
    process.start(fsck, {QStringLiteral("-n"), copy.fileName()});
    require(process.waitForFinished(60000), "fsck.fat finishes");
    return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

// Reads the file back through the directory entry and the FAT chain.
bool readsBack(FatImage &image, const FileToWrite &file)
{
    quint32 dirCluster = 0;
    QByteArray shortName;
    QByteArray entry;
    if (!image.resolveDir(file.dir, &dirCluster) || !FatImage::toShortName(file.name, &shortName) ||
        !image.findEntry(dirCluster, shortName, nullptr, &entry))
        return false;
    QByteArray content;
    for (const quint32 cluster : image.chain(FatLayout::firstCluster(entry)))
        content += image.readCluster(cluster);
    return content.left(FatLayout::u32(entry, FatLayout::Dir::fileSize)) == file.data;
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
        if (checked)
            require(readsBack(image, file), "a written file reads back");
    }
    if (written)
        checkReopened(image, imageFile.path());
    image.close();

    require(imageFile.size() == imageBytes, "the image keeps its size");
    require(unchangedRange(imageFile, head, 0, begin), "nothing is written before the volume");
    require(unchangedRange(imageFile, head, end, imageBytes), "nothing is written after the volume");
    require(reservedAreaKept(imageFile, head, geo), "the reserved area keeps all but the FSInfo hints");
    if (checked)
        std::fprintf(stderr, "checked with fsck.fat\n");
    if (checked && written)
        require(fsckAccepts(imageFile.read(begin, end - begin)),
                "fsck.fat accepts the volume after a successful write");
    return 0;
}
