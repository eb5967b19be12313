// SPDX-License-Identifier: GPL-3.0-or-later
#include "heldbytes.h"

#include "imagesink.h"

#include <cstring>

namespace {
constexpr qint64 releasePiece = 1024 * 1024;
} // namespace

HeldBytes::HeldBytes(qint64 memoryLimit, const QString &spillPath)
    : memoryBound(memoryLimit), spillFolder(spillPath)
{}

void HeldBytes::restart(qint64 offset)
{
    first = offset;
    memory.clear();
    file.reset();
    spilled = 0;
}

bool HeldBytes::append(const char *data, qint64 size)
{
    const qint64 inMemory = spilled > 0 ? 0 : qMin(size, memoryBound - memory.size());
    memory.append(data, inMemory);
    return inMemory == size || spill(data + inMemory, size - inMemory);
}

bool HeldBytes::spill(const char *data, qint64 size)
{
    if (!file) {
        file = std::make_unique<QTemporaryFile>(spillFolder + QStringLiteral("/held-XXXXXX"));
        if (!file->open())
            return false;
    }
    if (!file->seek(spilled) || file->write(data, size) != size)
        return false;
    spilled += size;
    return true;
}

bool HeldBytes::read(qint64 offset, char *target, qint64 size)
{
    const qint64 at = offset - first;
    if (at < 0 || size < 0 || at + size > end() - first)
        return false;
    const qint64 fromMemory = qBound<qint64>(0, memory.size() - at, size);
    std::memcpy(target, memory.constData() + at, size_t(fromMemory));
    if (fromMemory == size)
        return true;
    const qint64 spillAt = at + fromMemory - memory.size();
    return file->seek(spillAt) && file->read(target + fromMemory, size - fromMemory) == size - fromMemory;
}

bool HeldBytes::overwrite(qint64 offset, const QByteArray &bytes)
{
    const qint64 at = offset - first;
    if (at < 0 || at + bytes.size() > end() - first)
        return false;
    const qint64 inMemory = qBound<qint64>(0, memory.size() - at, bytes.size());
    memory.replace(at, inMemory, bytes.constData(), inMemory);
    if (inMemory == bytes.size())
        return true;
    const qint64 spillAt = at + inMemory - memory.size();
    return file->seek(spillAt) &&
           file->write(bytes.constData() + inMemory, bytes.size() - inMemory) == bytes.size() - inMemory;
}

// What stays is at most the memory bound plus a spill file; it is held on as a fresh stretch.
bool HeldBytes::releaseBefore(qint64 offset, ImageSink &next)
{
    const qint64 until = qBound(first, offset, end());
    if (!copyOut(first, until - first, next))
        return false;
    const qint64 keep = end() - until;
    QByteArray rest(keep, Qt::Uninitialized);
    if (!read(until, rest.data(), keep))
        return false;
    restart(until);
    return append(rest.constData(), rest.size());
}

bool HeldBytes::copyOut(qint64 offset, qint64 size, ImageSink &next)
{
    QByteArray piece;
    for (qint64 done = 0; done < size; done += piece.size()) {
        piece.resize(qMin(releasePiece, size - done));
        if (!read(offset + done, piece.data(), piece.size()) ||
            !next.write(offset + done, piece.constData(), piece.size()))
            return false;
    }
    return true;
}
