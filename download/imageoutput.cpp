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
    end = 0;
    failed = Failure::None;
    file.setFileName(path);
    // Unbuffered, so that every write reports what reached the disk; a buffered write would
    // only fail at close, where a full disk went unnoticed.
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered))
        return true;
    if (error)
        *error = QStringLiteral("Datei kann nicht angelegt werden: %1").arg(file.errorString());
    return false;
}

bool ImageOutput::write(qint64 offset, const char *data, qint64 size)
{
    if (failed != Failure::None)
        return false;
    if (limit >= 0 && offset + size > limit)
        return fail(Failure::TooLarge);
    end = qMax(end, offset + size);
    if (isAllZero(data, size))
        return true;
    if ((file.pos() != offset && !file.seek(offset)) || file.write(data, size) != size)
        return fail(Failure::WriteFailed);
    return true;
}

bool ImageOutput::finish()
{
    if (failed != Failure::None)
        return false;
    if (!file.resize(end))
        return fail(Failure::WriteFailed);
    file.close();
    return true;
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
