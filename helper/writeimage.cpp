// SPDX-License-Identifier: GPL-3.0-or-later
#include "cardwrite.h"
#include "descriptor.h"
#include "fail.h"
#include "writehelper.h"

#include <QFile>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <xxhash.h>

const char hardwareHint[] =
    "\nDas Gerät meldet einen Hardwarefehler. Bitte prüfen: Schreibschutzschalter am SD-Adapter, einen "
    "anderen USB-Anschluss (direkt am Rechner, ohne Hub), einen anderen Kartenleser oder eine andere Karte. "
    "Eine defekte oder gefälschte Karte kann diesen Fehler ebenfalls auslösen.";

namespace {

constexpr quint64 bytesPerMb = 1000000;

} // namespace

QString deviceError(const char *text, const QString &devicePath, int errorNumber)
{
    return QString::fromUtf8(text).arg(devicePath, systemErrorText(errorNumber));
}

namespace {

QString cardChanged(const QString &devicePath)
{
    return QStringLiteral(
               "Die Karte unter %1 wurde gewechselt oder verändert, seit sie ausgewählt wurde. Es wurde "
               "nichts geschrieben. Bitte die Auswahl prüfen.")
        .arg(devicePath);
}

// XXH3-128 of everything written, and of everything read back. Both digests stay inside the
// helper, so they need no cryptographic strength, only to catch changed data, and this one runs at
// memory speed where SHA-256 would set the pace on a small processor.
class Digest
{
public:
    Digest() : state(XXH3_createState())
    {
        if (!state)
            ::abort(); // out of memory, as Qt ends on it
        XXH3_128bits_reset(state);
    }
    ~Digest() { XXH3_freeState(state); }
    Q_DISABLE_COPY(Digest)

    void addData(const char *data, qint64 length) { XXH3_128bits_update(state, data, size_t(length)); }
    QByteArray result() const
    {
        XXH128_canonical_t canonical;
        XXH128_canonicalFromHash(&canonical, XXH3_128bits_digest(state));
        return QByteArray(reinterpret_cast<const char *>(canonical.digest), sizeof canonical.digest);
    }

private:
    XXH3_state_t *state;
};

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
    qint64 nextChunk(qint64 done) const { return qMin(imageSize - done, chunkSize); }
    void report(const char *phase, qint64 done) const
    {
        if (progress)
            progress(phase, done, imageSize);
    }
};

} // namespace

bool writeAll(int fd, const char *data, qint64 length, qint64 offset, int *errorNumber)
{
    while (length > 0) {
        const ssize_t written = ::pwrite(fd, data, size_t(length), offset);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0) {
            // A device that accepts nothing more (its end reached) would otherwise loop forever.
            *errorNumber = written < 0 ? errno : ENOSPC;
            return false;
        }
        data += written;
        length -= written;
        offset += written;
    }
    return true;
}

namespace {

// The identity of the disk behind the descriptor: the disk sequence number of the device number
// the descriptor itself carries (not of whatever has the name now), and its size; 0 where unknown.
DriveIdentity identityOf(int fd, dev_t device)
{
    DriveIdentity identity;
    QFile sequence(QStringLiteral("/sys/dev/block/%1:%2/diskseq").arg(major(device)).arg(minor(device)));
    if (sequence.open(QIODevice::ReadOnly))
        identity.diskseq = sequence.readLine(32).trimmed().toULongLong();
    quint64 size = 0;
    if (::ioctl(fd, BLKGETSIZE64, &size) == 0 && size <= quint64(std::numeric_limits<qint64>::max()))
        identity.sizeBytes = qint64(size);
    return identity;
}

bool hasExpectedIdentity(const DriveIdentity &found, const DriveIdentity &expected)
{
    return (expected.diskseq == 0 || found.diskseq == expected.diskseq) &&
           (expected.sizeBytes == 0 || found.sizeBytes == expected.sizeBytes);
}

bool checkDeviceSize(qint64 deviceSize, qint64 imageSize, QString *error)
{
    // A size of 0: the device did not tell, and the write goes ahead.
    if (deviceSize == 0 || deviceSize >= imageSize)
        return true;
    const quint64 neededMb = (quint64(imageSize) + bytesPerMb - 1) / bytesPerMb;
    return fail(error, QStringLiteral("Die Karte ist zu klein: %1 MB statt mindestens %2 MB")
                           .arg(QString::number(deviceSize / bytesPerMb), QString::number(neededMb)));
}

} // namespace

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

ssize_t readRetrying(int fd, char *data, qint64 length, qint64 offset)
{
    ssize_t count;
    do {
        count = ::pread(fd, data, size_t(length), offset);
    } while (count < 0 && errno == EINTR);
    return count;
}

namespace {

// Copies the image to the target in chunks, adding every chunk to the digest. Zeros stand in for
// the head, which writeHead puts in place last.
bool copyImage(Transfer &transfer, int fd, Digest &digest)
{
    for (qint64 previous = 0, done = 0; done < transfer.imageSize;) {
        const qint64 read = readRetrying(transfer.image, transfer.data(), transfer.nextChunk(done), done);
        if (read <= 0)
            return fail(transfer.error, QStringLiteral("Lesefehler im Image"));
        digest.addData(transfer.data(), read);
        if (done < headSize)
            std::memset(transfer.data(), 0, size_t(qMin(read, headSize - done)));
        int errorNumber = 0;
        if (!writeAll(fd, transfer.data(), read, done, &errorNumber) ||
            !writeBack(fd, previous, done, done + read, &errorNumber))
            return fail(transfer.error,
                        deviceError("Schreibfehler auf %1: %2", transfer.devicePath, errorNumber));
        previous = done;
        done += read;
        transfer.report("write", done);
    }
    return true;
}

// Once everything behind it has reached the medium, writes the image's real head over the zeros.
bool writeHead(Transfer &transfer, int fd)
{
    if (::fdatasync(fd) != 0)
        return fail(transfer.error,
                    deviceError("Zurückschreiben auf %1 fehlgeschlagen: %2", transfer.devicePath, errno));
    const qint64 imageHeadSize = qMin(transfer.imageSize, headSize);
    if (readRetrying(transfer.image, transfer.data(), imageHeadSize, 0) != imageHeadSize)
        return fail(transfer.error, QStringLiteral("Lesefehler im Image"));
    int errorNumber = 0;
    if (!writeAll(fd, transfer.data(), imageHeadSize, 0, &errorNumber))
        return fail(transfer.error,
                    deviceError("Schreibfehler auf %1: %2", transfer.devicePath, errorNumber));
    return true;
}

// Reads the image's length back from the target and compares it with the digest of what was
// written. A block device must still be the disk that was written (device number and identity).
bool verifyTarget(Transfer &transfer, const struct stat &written, const DriveIdentity &writtenIdentity,
                  const QByteArray &writtenDigest)
{
    const Descriptor target(::open(QFile::encodeName(transfer.devicePath).constData(), O_RDONLY | O_CLOEXEC));
    if (!target.isOpen())
        return fail(transfer.error,
                    deviceError("Zum Prüfen kann %1 nicht geöffnet werden: %2", transfer.devicePath, errno));
    const bool blockDevice = S_ISBLK(written.st_mode);
    struct stat status;
    if (blockDevice &&
        (::fstat(target.get(), &status) != 0 || status.st_mode != written.st_mode ||
         status.st_rdev != written.st_rdev || identityOf(target.get(), status.st_rdev) != writtenIdentity))
        return fail(transfer.error,
                    QStringLiteral("Prüfung fehlgeschlagen: Unter %1 ist nicht mehr die Karte, die "
                                   "beschrieben wurde. Bitte die Auswahl prüfen und die Karte neu "
                                   "beschreiben.")
                        .arg(transfer.devicePath));
    if (blockDevice) {
        // Read from the medium, not from what the kernel still holds in memory.
        ::ioctl(target.get(), BLKFLSBUF, 0);
        ::posix_fadvise(target.get(), 0, 0, POSIX_FADV_DONTNEED);
    }
    Digest digest;
    for (qint64 done = 0; done < transfer.imageSize;) {
        const ssize_t read = readRetrying(target.get(), transfer.data(), transfer.nextChunk(done), done);
        if (read < 0) {
            const int errorNumber = errno; // before building the text, which may allocate
            return fail(transfer.error,
                        QStringLiteral("Lesefehler beim Prüfen: %1").arg(systemErrorText(errorNumber)));
        }
        if (read == 0)
            return fail(transfer.error,
                        QStringLiteral("Das Gerät liefert beim Prüfen weniger Daten als geschrieben wurden"));
        digest.addData(transfer.data(), read);
        done += read;
        transfer.report("verify", done);
    }
    if (digest.result() != writtenDigest)
        return fail(transfer.error,
                    QStringLiteral("Prüfung fehlgeschlagen: Die Daten auf der Karte stimmen nicht mit dem "
                                   "Image überein (Karte defekt?)"));
    return true;
}

int openFailed(QString *error, const QString &text)
{
    fail(error, text);
    return -1;
}

} // namespace

bool prepareTarget(const QString &devicePath, struct stat *status, QString *error)
{
    if (::stat(QFile::encodeName(devicePath).constData(), status) != 0)
        return fail(error, QStringLiteral("Zielgerät nicht gefunden: %1").arg(devicePath));
    return !S_ISBLK(status->st_mode) || unmountTarget(devicePath, error);
}

int openTarget(const QString &devicePath, qint64 imageSize, const DriveIdentity &expected,
               struct stat *status, DriveIdentity *identity, QString *error)
{
    return prepareTarget(devicePath, status, error)
               ? openPreparedTarget(devicePath, imageSize, expected, status, identity, error)
               : -1;
}

int openPreparedTarget(const QString &devicePath, qint64 imageSize, const DriveIdentity &expected,
                       struct stat *status, DriveIdentity *identity, QString *error)
{
    const QByteArray nativePath = QFile::encodeName(devicePath);
    const bool blockDevice = S_ISBLK(status->st_mode);
    // O_EXCL fails with EBUSY while anything still has the disk or one of its partitions mounted.
    // A regular file is neither created nor truncated.
    Descriptor target(::open(nativePath.constData(), O_WRONLY | O_CLOEXEC | (blockDevice ? O_EXCL : 0)));
    if (!target.isOpen())
        return openFailed(error,
                          deviceError("Zielgerät kann nicht geöffnet werden (%1): %2", devicePath, errno));
    // From here on only the descriptor counts: the name may belong to another disk by now.
    if (::fstat(target.get(), status) != 0 || S_ISBLK(status->st_mode) != blockDevice)
        return openFailed(error, cardChanged(devicePath));
    if (!blockDevice)
        return target.release();
    *identity = identityOf(target.get(), status->st_rdev);
    if (!hasExpectedIdentity(*identity, expected))
        return openFailed(error, cardChanged(devicePath));
    if (!checkDeviceSize(identity->sizeBytes, imageSize, error) ||
        !checkRealCapacity(target.get(), identity->sizeBytes, devicePath, error))
        return -1;
    return target.release();
}

QString systemErrorText(int errorNumber)
{
    QString text = QString::fromLocal8Bit(std::strerror(errorNumber));
    if (errorNumber == EIO)
        text += QString::fromUtf8(hardwareHint);
    return text;
}

bool writeImage(const QString &imagePath, const QString &devicePath, bool verify,
                const DriveIdentity &expected, const ProgressCallback &progress, QString *error)
{
    const Descriptor image(openImageFile(imagePath, error));
    if (!image.isOpen())
        return false;
    struct stat imageStatus;
    const qint64 imageSize = ::fstat(image.get(), &imageStatus) == 0 ? imageStatus.st_size : 0;
    if (imageSize <= 0)
        return fail(error, QStringLiteral("Das Image ist leer"));

    struct stat written;
    DriveIdentity identity;
    const Descriptor target(openTarget(devicePath, imageSize, expected, &written, &identity, error));
    if (!target.isOpen())
        return false;
    const bool blockDevice = S_ISBLK(written.st_mode);

    QByteArray buffer(chunkSize, '\0');
    Transfer transfer{image.get(), imageSize, devicePath, buffer, progress, error};
    Digest digest;
    if (!copyImage(transfer, target.get(), digest) || !writeHead(transfer, target.get()))
        return false;
    if (::fsync(target.get()) != 0)
        return fail(error, deviceError("Zurückschreiben auf %1 fehlgeschlagen: %2", devicePath, errno));
    if (blockDevice)
        ::ioctl(target.get(), BLKFLSBUF, 0);

    // The exclusive descriptor stays open while verifying, so nothing can mount the new partitions
    // (and change them) before they are read back; only then does the kernel rescan the table.
    const bool verified = !verify || verifyTarget(transfer, written, identity, digest.result());
    if (blockDevice)
        ::ioctl(target.get(), BLKRRPART, 0);
    return verified;
}
