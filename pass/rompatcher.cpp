// SPDX-License-Identifier: GPL-3.0-or-later
#include "rompatcher.h"

#include "fatimage.h"
#include "fatlayout.h"

#include <cstring>

namespace {
// While the image's length is unknown the plan takes it as this long; its real end is checked
// when it has arrived.
constexpr qint64 unknownLength = qint64(1) << 50;
constexpr qint64 gapPiece = 64 * 1024;
const QString romFolder = QStringLiteral("Rom");
} // namespace

RomPatcher::RomPatcher(ImageSink &sink, const QList<RomFile> &romFiles, const QString &spillFolder,
                       const QDateTime &timeStamp, qint64 imageSize)
    : next(sink), files(romFiles), stamp(timeStamp), imageBytes(imageSize), held(memoryBound, spillFolder)
{}

bool RomPatcher::write(qint64 offset, const char *data, qint64 size)
{
    if (failed != Failure::None)
        return false;
    if (offset < position)
        return failWith(Failure::WriteFailed);
    return fillGap(offset) && take(data, size);
}

// Bytes the unpacking skipped are zeros.
bool RomPatcher::fillGap(qint64 offset)
{
    const QByteArray zeros(qMin(gapPiece, offset - position), '\0');
    while (position < offset) {
        if (!take(zeros.constData(), qMin(qint64(zeros.size()), offset - position)))
            return false;
    }
    return true;
}

bool RomPatcher::take(const char *data, qint64 size)
{
    if (planned) {
        const bool passed = pass(data, size);
        position += size;
        return passed;
    }
    if (!hold(data, size))
        return false;
    return position < FatLayout::sectorSize || position < retryAt || tryPlan(false);
}

// The first sector is kept for every try of the plan; what lies before the partition passes on.
bool RomPatcher::hold(const char *data, qint64 size)
{
    const qint64 headPart = qBound<qint64>(0, FatLayout::sectorSize - firstSector.size(), size);
    firstSector.append(data, headPart);
    const qint64 before = holdFrom < 0 ? 0 : qBound<qint64>(0, holdFrom - position, size);
    if (before > 0 && !pass(data, before))
        return false;
    position += before;
    if (!held.append(data + before, size - before))
        return failWith(
            Failure::WriteFailed,
            QStringLiteral("Im Arbeitsordner ist kein Platz, um den Anfang der FAT-Partition zu halten."));
    position += size - before;
    return true;
}

// Plans the whole ROM write on what has arrived. A plan that needed bytes still to come is tried
// again once they are there; by then the partition's start is known.
bool RomPatcher::tryPlan(bool complete)
{
    PlanningImage image(firstSector, held,
                        complete          ? position
                        : imageBytes >= 0 ? imageBytes
                                          : unknownLength);
    FatImage fat;
    fat.setStampTime(stamp);
    QString error;
    bool written = fat.open(&image, &error);
    for (const RomFile &file : files)
        written = written && fat.writeFile(romFolder, file.name, file.data, &error);
    const FatGeometry geometry = fat.geometry();
    fat.close();
    if (image.missedBytes() && !complete) {
        retryAt = image.arrivalNeeded();
        if (holdFrom >= 0)
            return true;
        holdFrom = qint64(geometry.partitionOffset);
        if (!held.releaseBefore(holdFrom, next))
            return failWith(next.failure());
        if (held.end() < holdFrom)
            held.restart(holdFrom);
        return true;
    }
    if (!written)
        return failWith(Failure::WriteFailed, error);
    volumeEnd = qint64(geometry.volumeEnd);
    return applyPlan(image.patches());
}

// The writes into what is held go there at once; the rest waits for its offsets to pass.
bool RomPatcher::applyPlan(const QList<ImagePatch> &patches)
{
    for (const ImagePatch &patch : patches) {
        const qint64 inHeld = qBound<qint64>(0, position - patch.offset, patch.bytes.size());
        if (inHeld > 0 && !held.overwrite(patch.offset, patch.bytes.left(inHeld)))
            return failWith(Failure::WriteFailed);
        if (inHeld < patch.bytes.size())
            ahead.append(ImagePatch{patch.offset + inHeld, patch.bytes.mid(inHeld)});
    }
    planned = true;
    return held.releaseBefore(position, next) || failWith(next.failure());
}

// Writes at position, with the planned writes laid over the bytes they cover.
bool RomPatcher::pass(const char *data, qint64 size)
{
    if (ahead.isEmpty())
        return next.write(position, data, size) || failWith(next.failure());
    QByteArray piece(data, size);
    for (const ImagePatch &patch : std::as_const(ahead)) {
        const qint64 from = qMax(position, patch.offset);
        const qint64 to = qMin(position + size, patch.offset + patch.bytes.size());
        if (from < to)
            std::memcpy(piece.data() + (from - position), patch.bytes.constData() + (from - patch.offset),
                        size_t(to - from));
    }
    const qint64 end = position + size;
    ahead.removeIf([end](const ImagePatch &patch) { return patch.offset + patch.bytes.size() <= end; });
    return next.write(position, piece.constData(), size) || failWith(next.failure());
}

bool RomPatcher::finish()
{
    if (failed != Failure::None || (!planned && !tryPlan(true)))
        return false;
    if (position < volumeEnd)
        return failWith(Failure::WriteFailed,
                        QStringLiteral("Das Image ist kürzer als die Partition (beschädigt?)"));
    return next.finish() || failWith(next.failure());
}

bool RomPatcher::failWith(Failure failure, const QString &text)
{
    failed = failure == Failure::None ? Failure::WriteFailed : failure;
    if (problem.isEmpty())
        problem = text;
    return false;
}
