// SPDX-License-Identifier: GPL-3.0-or-later
#include "descriptor.h"
#include "fail.h"
#include "writehelper.h"

#include <QFile>
#include <QList>
#include <QLocale>
#include <QRandomGenerator>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <unistd.h>

namespace {

constexpr qint64 probeSize = 4096;
constexpr qint64 mib = 1 << 20;
// Evenly spaced probes find a card that drops writes to within 1/32 of its size; probes at
// powers of two find the usual fake, whose addresses wrap at a power of two.
constexpr int evenProbes = 32;

// Block-aligned probe offsets across the whole device, ascending, the last block included.
QList<qint64> probeOffsets(qint64 deviceSize)
{
    const qint64 last = deviceSize - probeSize;
    QList<qint64> offsets{0, last};
    for (qint64 power = mib; power < last; power *= 2)
        offsets << power;
    for (int i = 1; i < evenProbes; ++i)
        offsets << deviceSize / evenProbes * i / probeSize * probeSize;
    std::sort(offsets.begin(), offsets.end());
    offsets.erase(std::unique(offsets.begin(), offsets.end()), offsets.end());
    return offsets;
}

// The mark of one probe: every word depends on the probe's offset and on this run's random value,
// so neither another probe's block nor stale data from an earlier run passes for it.
void fillMark(char *block, qint64 offset, quint64 runValue)
{
    quint64 *words = reinterpret_cast<quint64 *>(block);
    for (qint64 i = 0; i < probeSize / qint64(sizeof(quint64)); ++i)
        words[i] = runValue ^ ((quint64(offset) + quint64(i)) * 0x9E3779B97F4A7C15ULL);
}

// One probe block's transfer in full, repeated after a signal; false with *errorNumber set if not.
bool moveProbe(bool write, int fd, char *block, qint64 offset, int *errorNumber)
{
    ssize_t count;
    do {
        count = write ? ::pwrite(fd, block, probeSize, offset) : ::pread(fd, block, probeSize, offset);
    } while (count < 0 && errno == EINTR);
    *errorNumber = count < 0 ? errno : EIO;
    return count == probeSize;
}

// Sizes as the card's packaging states them: MB up to a GB, then GB with one decimal.
QString capacityText(qint64 bytes)
{
    if (bytes < 1000000000)
        return QStringLiteral("%1 MB").arg(bytes / 1000000);
    return QLocale(QLocale::German).toString(double(bytes) / 1e9, 'f', 1) + QLatin1String(" GB");
}

QString fakeCardText(qint64 reported, qint64 firstFailing)
{
    const QString verdict =
        QStringLiteral("Sie ist gefälscht oder defekt und sollte nicht verwendet werden. Das Image wurde "
                       "nicht geschrieben.");
    if (firstFailing == 0)
        return QStringLiteral("Die Karte gibt geschriebene Daten nicht zurück. ") + verdict;
    return QStringLiteral("Die Karte meldet %1, speichert aber nur etwa %2. %3")
        .arg(capacityText(reported), capacityText(firstFailing), verdict);
}

// Keeps what the card holds at each probe, so the check can leave the card as it found it.
bool readOriginals(int fd, char *block, const QList<qint64> &offsets, QByteArray *originals, int *errorNumber)
{
    for (const qint64 offset : offsets) {
        if (!moveProbe(false, fd, block, offset, errorNumber))
            return false;
        originals->append(block, probeSize);
    }
    return true;
}

// Writes one block per probe, highest first, and pushes them to the medium: the marks, or the
// blocks kept before. On a card that wraps, the real blocks at the start are written last and
// keep their own marks, so the first probe that fails later is the first address the card does
// not hold.
bool writeBlocks(int fd, char *block, const QList<qint64> &offsets,
                 const std::function<void(qsizetype)> &fill, int *errorNumber)
{
    for (qsizetype i = offsets.size() - 1; i >= 0; --i) {
        fill(i);
        if (!moveProbe(true, fd, block, offsets.at(i), errorNumber))
            return false;
    }
    if (::fdatasync(fd) == 0)
        return true;
    *errorNumber = errno;
    return false;
}

// Reads the marks back in ascending order; *firstFailing is the first offset whose block does not
// hold its own mark, or -1. False with *errorNumber set if a read fails.
bool readMarks(int fd, char *block, const QList<qint64> &offsets, quint64 runValue, qint64 *firstFailing,
               int *errorNumber)
{
    QByteArray expected(probeSize, '\0');
    *firstFailing = -1;
    for (const qint64 offset : offsets) {
        if (!moveProbe(false, fd, block, offset, errorNumber))
            return false;
        fillMark(expected.data(), offset, runValue);
        if (std::memcmp(block, expected.constData(), probeSize) != 0) {
            *firstFailing = offset;
            return true;
        }
    }
    return true;
}

} // namespace

bool checkRealCapacity(int deviceFd, qint64 deviceSize, const QString &devicePath, QString *error)
{
    if (deviceSize < probeSize)
        return true;
    // A second descriptor on the same open device, past the kernel's cache: what comes back is
    // what the card holds, not what memory still has.
    const Descriptor probe(::open(QStringLiteral("/proc/self/fd/%1").arg(deviceFd).toLatin1().constData(),
                                  O_RDWR | O_DIRECT | O_CLOEXEC));
    int errorNumber = errno;
    if (!probe.isOpen())
        return fail(error, QStringLiteral("Zielgerät kann nicht geöffnet werden (%1): %2")
                               .arg(devicePath, systemErrorText(errorNumber)));
    QByteArray buffer(2 * probeSize, '\0'); // O_DIRECT wants a block-aligned buffer
    char *block = buffer.data() + (probeSize - quintptr(buffer.data()) % probeSize) % probeSize;
    const quint64 runValue = QRandomGenerator::system()->generate64();
    const QList<qint64> offsets = probeOffsets(deviceSize);
    QByteArray originals;
    const auto mark = [&](qsizetype i) { fillMark(block, offsets.at(i), runValue); };
    const auto original = [&](qsizetype i) {
        std::memcpy(block, originals.constData() + i * probeSize, probeSize);
    };
    if (!readOriginals(probe.get(), block, offsets, &originals, &errorNumber))
        return fail(error, QStringLiteral("Lesefehler beim Prüfen: %1").arg(systemErrorText(errorNumber)));
    if (!writeBlocks(probe.get(), block, offsets, mark, &errorNumber))
        return fail(error,
                    QStringLiteral("Schreibfehler auf %1: %2").arg(devicePath, systemErrorText(errorNumber)));
    qint64 firstFailing = -1;
    if (!readMarks(probe.get(), block, offsets, runValue, &firstFailing, &errorNumber))
        return fail(error, QStringLiteral("Lesefehler beim Prüfen: %1").arg(systemErrorText(errorNumber)));
    // Until the image's first byte arrives, the card keeps its own content: a run stopped then
    // leaves it as it was.
    if (!writeBlocks(probe.get(), block, offsets, original, &errorNumber))
        return fail(error,
                    QStringLiteral("Schreibfehler auf %1: %2").arg(devicePath, systemErrorText(errorNumber)));
    return firstFailing < 0 || fail(error, fakeCardText(deviceSize, firstFailing));
}
