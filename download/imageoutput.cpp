// SPDX-License-Identifier: GPL-3.0-or-later
#include "imageoutput.h"

#include <cstring>

namespace {
bool isAllZero(const char *data, qint64 size)
{
    return size > 0 && data[0] == 0 && std::memcmp(data, data + 1, size_t(size - 1)) == 0;
}
} // namespace

bool ImageOutput::open(const QString &path, QString *error)
{
    return openFile(path, QIODevice::WriteOnly | QIODevice::Truncate, error);
}

bool ImageOutput::openToContinue(const QString &path, QString *error)
{
    if (!openFile(path, QIODevice::ReadWrite, error))
        return false;
    base = file.size();
    return true;
}

// Unbuffered, so that every write reports what reached the disk; a buffered write would only fail
// at close, where a full disk went unnoticed.
bool ImageOutput::openFile(const QString &path, QIODevice::OpenMode mode, QString *error)
{
    base = 0;
    end = 0;
    failed = Failure::None;
    file.setFileName(path);
    if (file.open(mode | QIODevice::Unbuffered))
        return true;
    if (error)
        *error = QStringLiteral("Datei kann nicht angelegt werden: %1").arg(file.errorString());
    return false;
}

bool ImageOutput::startAfresh()
{
    base = 0;
    return file.resize(0) || fail(Failure::WriteFailed);
}

bool ImageOutput::write(qint64 offset, const char *data, qint64 size)
{
    if (failed != Failure::None)
        return false;
    const qint64 at = base + offset;
    if (limit >= 0 && at + size > limit)
        return fail(Failure::TooLarge);
    // Zeros become a hole, yet the file grows by them at once: a reader that follows the file
    // while it is written takes them as they come, not only at the next bytes that are not zero.
    const bool zeros = isAllZero(data, size);
    if (!zeros && ((file.pos() != at && !file.seek(at)) || file.write(data, size) != size))
        return fail(Failure::WriteFailed);
    if (zeros && offset + size > end && !file.resize(at + size))
        return fail(Failure::WriteFailed);
    end = qMax(end, offset + size);
    return true;
}

bool ImageOutput::finish()
{
    if (failed != Failure::None)
        return false;
    if (!file.resize(base + end))
        return fail(Failure::WriteFailed);
    file.close();
    return true;
}

// Cut to what was written in full: a failed write may have left a part.
void ImageOutput::keep()
{
    if (file.isOpen())
        file.resize(base + end);
    file.close();
}

void ImageOutput::discard()
{
    file.close();
    file.remove();
}

bool ImageOutput::fail(Failure failure)
{
    failed = failure;
    return false;
}
