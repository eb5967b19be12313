#include "sha256.h"
#include "writehelper.h"

#include <QFile>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

const char HARDWARE_HINT[] =
    "\nDas Gerät meldet einen Hardwarefehler. Bitte prüfen: Schreibschutzschalter am SD-Adapter, einen "
    "anderen USB-Anschluss (direkt am Rechner, ohne Hub), einen anderen Kartenleser oder eine andere Karte. "
    "Eine defekte oder gefälschte Karte kann diesen Fehler ebenfalls auslösen.";

namespace {

const quint64 BYTES_PER_MB = 1000000;

// Owns one file descriptor and closes it when it goes out of scope.
class Descriptor
{
public:
    explicit Descriptor(int fd) : fd(fd) {}
    ~Descriptor()
    {
        if (fd >= 0)
            ::close(fd);
    }
    Q_DISABLE_COPY(Descriptor)

    bool isOpen() const { return fd >= 0; }
    int get() const { return fd; }

private:
    int fd;
};

bool fail(QString *error, const QString &text)
{
    if (error)
        *error = text;
    return false;
}

// Fills a text whose %1 is the target path and %2 the system's text for the error number.
QString deviceError(const char *text, const QString &devicePath, int errorNumber)
{
    return QString(text).arg(devicePath, systemErrorText(errorNumber));
}

// Everything the two loops share.
struct Transfer
{
    int image;
    qint64 imageSize;
    const QString &devicePath;
    QByteArray &buffer;
    const ProgressCallback &progress;
    QString *error;

    char *data() { return buffer.data(); }
    qint64 nextChunk(qint64 done) const { return qMin(imageSize - done, CHUNK_SIZE); }
    void report(const char *phase, qint64 done) const
    {
        if (progress)
            progress(phase, done, imageSize);
    }
};

// Writes all bytes, continuing after short writes and signals. On failure *errorNumber is set.
bool writeAll(int fd, const char *data, qint64 length, int *errorNumber)
{
    while (length > 0) {
        const ssize_t written = ::write(fd, data, size_t(length));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0) {
            // A device that accepts nothing more (its end reached) would otherwise loop forever.
            *errorNumber = written < 0 ? errno : ENOSPC;
            return false;
        }
        data += written;
        length -= written;
    }
    return true;
}

bool checkDeviceSize(int fd, qint64 imageSize, QString *error)
{
    quint64 deviceSize = 0;
    if (::ioctl(fd, BLKGETSIZE64, &deviceSize) != 0 || deviceSize >= quint64(imageSize))
        return true;
    const quint64 neededMb = (quint64(imageSize) + BYTES_PER_MB - 1) / BYTES_PER_MB;
    return fail(error, QString("Die Karte ist zu klein: %1 MB statt mindestens %2 MB")
                           .arg(QString::number(deviceSize / BYTES_PER_MB), QString::number(neededMb)));
}

// Starts writing the chunk just written out to the medium and waits until the one before it has
// arrived there. The medium then works while the next chunk is read and hashed, at most two chunks
// wait in memory, and progress follows the card instead of the page cache. An error found here
// is reported here: once waited for, fsync would not report it again.
bool writeBack(int fd, qint64 previousStart, qint64 chunkStart, qint64 chunkEnd, int *errorNumber)
{
    const unsigned waitForAll =
        SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER;
    // A length of 0 would mean "to the end of the device": the first chunk has no predecessor.
    const bool hasPrevious = chunkStart > previousStart;
    if (::sync_file_range(fd, chunkStart, chunkEnd - chunkStart, SYNC_FILE_RANGE_WRITE) != 0 ||
        (hasPrevious && ::sync_file_range(fd, previousStart, chunkStart - previousStart, waitForAll) != 0)) {
        *errorNumber = errno;
        return false;
    }
    return true;
}

ssize_t readRetrying(int fd, char *data, qint64 length)
{
    ssize_t count;
    do {
        count = ::read(fd, data, size_t(length));
    } while (count < 0 && errno == EINTR);
    return count;
}

// Copies the image to the target in chunks, adding every chunk to the digest.
bool copyImage(Transfer &transfer, int fd, Sha256 &digest)
{
    for (qint64 previous = 0, done = 0; done < transfer.imageSize;) {
        const qint64 read = readRetrying(transfer.image, transfer.data(), transfer.nextChunk(done));
        if (read <= 0)
            return fail(transfer.error, "Lesefehler im Image");
        digest.addData(transfer.data(), read);
        int errorNumber = 0;
        if (!writeAll(fd, transfer.data(), read, &errorNumber) ||
            !writeBack(fd, previous, done, done + read, &errorNumber))
            return fail(transfer.error,
                        deviceError("Schreibfehler auf %1: %2", transfer.devicePath, errorNumber));
        previous = done;
        done += read;
        transfer.report("write", done);
    }
    return true;
}

// Reads the image's length back from the target and compares it with the digest of what was written.
bool verifyTarget(Transfer &transfer, bool blockDevice, const QByteArray &writtenDigest)
{
    const Descriptor target(::open(QFile::encodeName(transfer.devicePath).constData(), O_RDONLY | O_CLOEXEC));
    if (!target.isOpen())
        return fail(transfer.error,
                    deviceError("Zum Prüfen kann %1 nicht geöffnet werden: %2", transfer.devicePath, errno));
    if (blockDevice) {
        // Read from the medium, not from what the kernel still holds in memory.
        ::ioctl(target.get(), BLKFLSBUF, 0);
        ::posix_fadvise(target.get(), 0, 0, POSIX_FADV_DONTNEED);
    }
    Sha256 digest;
    for (qint64 done = 0; done < transfer.imageSize;) {
        const ssize_t read = readRetrying(target.get(), transfer.data(), transfer.nextChunk(done));
        if (read < 0) {
            const int errorNumber = errno; // before building the text, which may allocate
            return fail(transfer.error,
                        QString("Lesefehler beim Prüfen: %1").arg(systemErrorText(errorNumber)));
        }
        if (read == 0)
            return fail(transfer.error, "Das Gerät liefert beim Prüfen weniger Daten als geschrieben wurden");
        digest.addData(transfer.data(), read);
        done += read;
        transfer.report("verify", done);
    }
    if (digest.result() != writtenDigest)
        return fail(transfer.error, "Prüfung fehlgeschlagen: Die Daten auf der Karte stimmen nicht mit dem "
                                    "Image überein (Karte defekt?)");
    return true;
}

} // namespace

QString systemErrorText(int errorNumber)
{
    QString text = QString::fromLocal8Bit(std::strerror(errorNumber));
    if (errorNumber == EIO)
        text += QString::fromUtf8(HARDWARE_HINT);
    return text;
}

bool writeImage(const QString &imagePath, const QString &devicePath, bool verify,
                const ProgressCallback &progress, QString *error)
{
    const Descriptor image(openImageFile(imagePath, error));
    if (!image.isOpen())
        return false;
    struct stat imageStatus;
    const qint64 imageSize = ::fstat(image.get(), &imageStatus) == 0 ? imageStatus.st_size : 0;
    if (imageSize <= 0)
        return fail(error, "Das Image ist leer");

    const QByteArray nativePath = QFile::encodeName(devicePath);
    struct stat status;
    if (::stat(nativePath.constData(), &status) != 0)
        return fail(error, QString("Zielgerät nicht gefunden: %1").arg(devicePath));
    const bool blockDevice = S_ISBLK(status.st_mode);
    if (blockDevice && !unmountTarget(devicePath, error))
        return false;

    // O_EXCL fails with EBUSY while anything still has the disk or one of its partitions mounted.
    // A regular file is neither created nor truncated.
    const Descriptor target(
        ::open(nativePath.constData(), O_WRONLY | O_CLOEXEC | (blockDevice ? O_EXCL : 0)));
    if (!target.isOpen())
        return fail(error, deviceError("Zielgerät kann nicht geöffnet werden (%1): %2", devicePath, errno));
    if (blockDevice && !checkDeviceSize(target.get(), imageSize, error))
        return false;

    QByteArray buffer(CHUNK_SIZE, '\0');
    Transfer transfer{image.get(), imageSize, devicePath, buffer, progress, error};
    Sha256 written;
    if (!copyImage(transfer, target.get(), written))
        return false;
    if (::fsync(target.get()) != 0)
        return fail(error, deviceError("Zurückschreiben auf %1 fehlgeschlagen: %2", devicePath, errno));
    if (blockDevice)
        ::ioctl(target.get(), BLKFLSBUF, 0);

    // The exclusive descriptor stays open while verifying, so nothing can mount the new partitions
    // (and change them) before they are read back; only then does the kernel rescan the table.
    const bool verified = !verify || verifyTarget(transfer, blockDevice, written.result());
    if (blockDevice)
        ::ioctl(target.get(), BLKRRPART, 0);
    return verified;
}
