// SPDX-License-Identifier: GPL-3.0-or-later
#include "cardwrite.h"
#include "descriptor.h"
#include "fail.h"
#include "germannumber.h"
#include "imagestream.h"
#include "streamwriter.h"
#include "writehelper.h"

#include <QByteArray>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>
#include <vector>
#include <xxhash.h>

namespace {

bool sameDigest(const XXH128_hash_t &a, const XXH128_hash_t &b)
{
    return XXH128_isEqual(a, b) != 0;
}

// A second open of the very file the descriptor holds, for reading: no name is looked up again.
int reopenForReading(int fd)
{
    return ::open(QByteArray("/proc/self/fd/" + QByteArray::number(fd)).constData(), O_RDONLY | O_CLOEXEC);
}

// Reads up to length bytes at the offset; fewer only where the file ends. -1 on an error.
qint64 readFully(int fd, char *data, qint64 length, qint64 offset)
{
    qint64 done = 0;
    while (done < length) {
        const ssize_t count = readRetrying(fd, data + done, length - done, offset + done);
        if (count <= 0)
            return count < 0 ? -1 : done;
        done += count;
    }
    return done;
}

} // namespace

QString cardStateText(bool touched)
{
    return touched ? QStringLiteral(
                         "Die Karte hat jetzt keinen nutzbaren Datenträger und muss neu beschrieben werden.")
                   : QStringLiteral("Die Karte wurde nicht verändert.");
}

// The first image byte: from here on the card is changed, and its first MiB is zero until the end.
// What the card held there stays behind an image smaller than that, as in the file form.
bool StreamWriter::begin()
{
    if (events.writing)
        events.writing();
    head = QByteArray(headSize, '\0');
    XXH3_128bits_reset(chunkDigest.get());
    const Descriptor reader(reopenForReading(card));
    cardHeadSize = reader.isOpen() ? readFully(reader.get(), head.data(), headSize, 0) : -1;
    if (cardHeadSize < 0)
        return fail(error, deviceError("Lesefehler auf %1: %2", devicePath, errno));
    const QByteArray zeros(cardHeadSize, '\0');
    int errorNumber = 0;
    if (!writeAll(card, zeros.constData(), cardHeadSize, 0, &errorNumber))
        return failedWrite(errorNumber);
    if (::fdatasync(card) != 0)
        return failedWrite(errno);
    return true;
}

bool StreamWriter::add(QByteArrayView data)
{
    if (!touched() && !begin())
        return false;
    while (!data.isEmpty()) {
        const qint64 taken = qMin(qint64(data.size()), chunkSize - filled);
        if (!place(data.first(taken)))
            return false;
        data = data.sliced(taken);
        if (filled == chunkSize && !endChunk())
            return false;
    }
    return true;
}

// A piece within one chunk: its part inside the first MiB goes to memory, the card keeps zeros there.
bool StreamWriter::place(QByteArrayView piece)
{
    XXH3_128bits_update(chunkDigest.get(), piece.data(), size_t(piece.size()));
    const qint64 offset = chunkStart + filled;
    const qint64 inHead = qBound(qint64(0), headSize - offset, qint64(piece.size()));
    if (inHead > 0)
        std::memcpy(head.data() + offset, piece.data(), size_t(inHead));
    filled += piece.size();
    return writeBlocks(piece.sliced(inHead));
}

// Writes whole blocks only, each at its place behind the first MiB: an unaligned end waits for the
// next piece, so the kernel never has to read a block from the card to complete it.
bool StreamWriter::writeBlocks(QByteArrayView data)
{
    if (!partialBlock.isEmpty()) {
        const qint64 taken = qMin(qint64(data.size()), blockSize - partialBlock.size());
        partialBlock.append(data.first(taken));
        data = data.sliced(taken);
        if (partialBlock.size() < blockSize)
            return true;
        if (!writeOut(partialBlock))
            return false;
        partialBlock.clear();
    }
    const qint64 whole = data.size() / blockSize * blockSize;
    if (whole > 0 && !writeOut(data.first(whole)))
        return false;
    partialBlock.append(data.sliced(whole));
    return true;
}

bool StreamWriter::writeOut(QByteArrayView bytes)
{
    int errorNumber = 0;
    if (!writeAll(card, bytes.data(), bytes.size(), writtenEnd, &errorNumber))
        return failedWrite(errorNumber);
    writtenEnd += bytes.size();
    return true;
}

// A whole chunk is in: its digest is kept, and it starts on its way to the medium while the one
// before it is waited for.
bool StreamWriter::endChunk()
{
    digests.push_back(XXH3_128bits_digest(chunkDigest.get()));
    XXH3_128bits_reset(chunkDigest.get());
    int errorNumber = 0;
    if (!writeBack(card, previousStart, chunkStart, chunkStart + filled, &errorNumber))
        return failedWrite(errorNumber);
    previousStart = chunkStart;
    chunkStart += filled;
    filled = 0;
    if (events.progress)
        events.progress("write", chunkStart, qMax(announcedSize, qint64(0)));
    return true;
}

// A pulled card fails its writes too: that is said as such, not as a fault of the medium.
bool StreamWriter::failedWrite(int errorNumber)
{
    if (blockDevice && !cardAnswers(card, devicePath, error))
        return false;
    return fail(error, deviceError("Schreibfehler auf %1: %2", devicePath, errorNumber));
}

bool StreamWriter::forceOut()
{
    if (::fdatasync(card) == 0)
        return true;
    return fail(error, deviceError("Zurückschreiben auf %1 fehlgeschlagen: %2", devicePath, errno));
}

bool StreamWriter::finish()
{
    if (!partialBlock.isEmpty() && !writeOut(partialBlock))
        return false;
    if (filled > 0 && !endChunk())
        return false;
    if (!forceOut())
        return false;
    int errorNumber = 0;
    if (!writeAll(card, head.constData(), qMax(qMin(chunkStart, headSize), cardHeadSize), 0, &errorNumber))
        return failedWrite(errorNumber);
    if (!forceOut())
        return false;
    if (blockDevice)
        ::ioctl(card, BLKFLSBUF, 0);
    return true;
}

// Reads each chunk back in pieces of the size of the first MiB, whose buffer is free by now.
bool StreamWriter::verify()
{
    const Descriptor reader(reopenForReading(card));
    if (!reader.isOpen())
        return fail(error, deviceError("Zum Prüfen kann %1 nicht geöffnet werden: %2", devicePath, errno));
    if (blockDevice) {
        // Read from the medium, not from what the kernel still holds in memory.
        ::ioctl(reader.get(), BLKFLSBUF, 0);
        ::posix_fadvise(reader.get(), 0, 0, POSIX_FADV_DONTNEED);
    }
    const qint64 size = chunkStart;
    for (size_t index = 0; index < digests.size(); ++index) {
        const qint64 start = qint64(index) * chunkSize;
        const qint64 end = qMin(start + chunkSize, size);
        if (!readBackChunk(reader.get(), start, end))
            return false;
        if (!sameDigest(XXH3_128bits_digest(chunkDigest.get()), digests[index]))
            return fail(error, QStringLiteral(
                                   "Prüfung fehlgeschlagen: Die Daten auf der Karte stimmen ab %1 nicht mit "
                                   "dem Image überein (Karte defekt?)")
                                   .arg(germanSize(start)));
        if (events.progress)
            events.progress("verify", end, size);
    }
    return true;
}

// Reads the card from start to end into the chunk's digest.
bool StreamWriter::readBackChunk(int reader, qint64 start, qint64 end)
{
    XXH3_128bits_reset(chunkDigest.get());
    for (qint64 offset = start; offset < end;) {
        const qint64 length = qMin(qint64(head.size()), end - offset);
        const qint64 read = readFully(reader, head.data(), length, offset);
        if (read < 0) {
            const int errorNumber = errno; // before building the text, which may allocate
            return fail(error,
                        QStringLiteral("Lesefehler beim Prüfen: %1").arg(systemErrorText(errorNumber)));
        }
        if (read < length)
            return fail(error,
                        QStringLiteral("Das Gerät liefert beim Prüfen weniger Daten als geschrieben wurden"));
        XXH3_128bits_update(chunkDigest.get(), head.constData(), size_t(length));
        offset += length;
    }
    return true;
}

bool receiveImage(ImageStreamReader &reader, const std::function<bool(QByteArrayView data)> &take,
                  QString *error)
{
    for (;;) {
        QByteArrayView data;
        switch (reader.next(&data, error)) {
        case ImageStreamReader::Data:
            if (!take(data))
                return false;
            break;
        case ImageStreamReader::GoAhead:
            return true;
        case ImageStreamReader::Abort:
            return fail(error,
                        QStringLiteral("Das Schreiben wurde abgebrochen, das Image wird nicht verwendet."));
        case ImageStreamReader::Failed:
            return false;
        }
    }
}

bool writeStream(int input, const QString &devicePath, bool verify, const DriveIdentity &expected,
                 qint64 announcedSize, const StreamEvents &events, QString *error)
{
    struct stat status;
    DriveIdentity identity;
    const Descriptor target(
        openTarget(devicePath, qMax(announcedSize, qint64(0)), expected, &status, &identity, error));
    if (!target.isOpen())
        return false;
    const bool blockDevice = S_ISBLK(status.st_mode);
    if (events.ready)
        events.ready();

    // A card pulled while the image comes is noticed within a second or two, not only at its next
    // write.
    QString cardFault;
    CardWatch watch(target.get(), devicePath, blockDevice);
    const auto readInput = [input, &watch, &cardFault](char *buffer, qint64 length) {
        if (!watch.waitForInput(input, &cardFault)) {
            errno = EIO;
            return qint64(-1);
        }
        return qint64(::read(input, buffer, size_t(length)));
    };
    ImageStreamReader reader(readInput, blockDevice && identity.sizeBytes > 0 ? identity.sizeBytes : -1,
                             announcedSize);
    QString reason;
    StreamWriter writer(target.get(), blockDevice, announcedSize, devicePath, events, &reason);
    const bool received = receiveImage(
        reader, [&writer](QByteArrayView data) { return writer.add(data); }, &reason);
    if (!cardFault.isEmpty())
        reason = cardFault;
    const bool written = received && writer.finish();
    const bool verified = written && (!verify || writer.verify());
    // The exclusive descriptor stayed open until here, so nothing could mount the new partitions
    // before they were read back; now the kernel reads the table that is on the card.
    if (blockDevice && writer.touched())
        ::ioctl(target.get(), BLKRRPART, 0);
    if (verified)
        return true;
    if (!written)
        reason += QLatin1Char(' ') + cardStateText(writer.touched());
    return fail(error, reason);
}
