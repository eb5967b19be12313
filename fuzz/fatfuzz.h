// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Shared by the FAT fuzz targets: the image file in memory, fsck.fat, reading a file back.

#include "fatimage.h"
#include "fatlayout.h"
#include "fuzzcheck.h"

#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryFile>
#include <cerrno>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

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

inline bool fsckAccepts(const QByteArray &volume)
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

// Reads dir/name back through its directory entry and FAT chain; false if it is not found.
inline bool readBack(FatImage &image, const QString &dir, const QString &name, QByteArray *content)
{
    quint32 dirCluster = 0;
    QByteArray shortName;
    QByteArray entry;
    if (!image.resolveDir(dir, &dirCluster) || !FatImage::toShortName(name, &shortName) ||
        !image.findEntry(dirCluster, shortName, nullptr, &entry))
        return false;
    content->clear();
    for (const quint32 cluster : image.chain(FatLayout::firstCluster(entry)))
        *content += image.readCluster(cluster);
    content->truncate(FatLayout::u32(entry, FatLayout::Dir::fileSize));
    return true;
}
