// SPDX-License-Identifier: GPL-3.0-or-later
#include "planningimage.h"

#include "heldbytes.h"

#include <cstring>

PlanningImage::PlanningImage(const QByteArray &sectorZero, HeldBytes &heldBytes, qint64 size)
    : firstSector(sectorZero), held(heldBytes), length(size)
{
    open(QIODevice::ReadWrite | QIODevice::Unbuffered);
}

// A read answers with the bytes as the writes so far left them, or fails as a whole when any of
// them is missing.
qint64 PlanningImage::readData(char *data, qint64 maxSize)
{
    const qint64 offset = pos();
    const qint64 size = qMin(maxSize, length - offset);
    if (size <= 0)
        return size == 0 ? 0 : -1;
    QByteArray known(size, 0);
    readArrived(offset, data, size, &known);
    for (const ImagePatch &patch : writes) {
        const qint64 from = qMax(offset, patch.offset);
        const qint64 to = qMin(offset + size, patch.offset + patch.bytes.size());
        if (from >= to)
            continue;
        std::memcpy(data + (from - offset), patch.bytes.constData() + (from - patch.offset),
                    size_t(to - from));
        std::memset(known.data() + (from - offset), 1, size_t(to - from));
    }
    if (!known.contains('\0'))
        return size;
    if (missingEnd < 0 || offset + size < missingEnd)
        missingEnd = offset + size;
    return -1;
}

// Marks in known the bytes of [offset, offset + size) that are at hand.
void PlanningImage::readArrived(qint64 offset, char *data, qint64 size, QByteArray *known)
{
    const qint64 headEnd = qMin(offset + size, qint64(firstSector.size()));
    if (offset < headEnd) {
        std::memcpy(data, firstSector.constData() + offset, size_t(headEnd - offset));
        std::memset(known->data(), 1, size_t(headEnd - offset));
    }
    const qint64 from = qMax(offset, held.begin());
    const qint64 to = qMin(offset + size, held.end());
    if (from < to && held.read(from, data + (from - offset), to - from))
        std::memset(known->data() + (from - offset), 1, size_t(to - from));
}

qint64 PlanningImage::writeData(const char *data, qint64 maxSize)
{
    writes.append(ImagePatch{pos(), QByteArray(data, maxSize)});
    return maxSize;
}
