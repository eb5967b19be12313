// SPDX-License-Identifier: GPL-3.0-or-later
#include "filesource.h"

namespace {
// Large enough that a read costs little next to unpacking it, small enough for prompt progress.
constexpr qint64 readSize = 1024 * 1024;
} // namespace

FileSource::FileSource(std::function<void(qint64, qint64)> onBytesRead) : bytesRead(std::move(onBytesRead))
{}

bool FileSource::open(const QString &path, QString *error)
{
    file.setFileName(path);
    if (file.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        size = file.size();
        buffer.resize(readSize);
        return true;
    }
    if (error)
        *error = QStringLiteral("Die Image-Datei kann nicht gelesen werden: %1").arg(file.errorString());
    return false;
}

bool FileSource::next(QByteArrayView *piece)
{
    // Once every byte has been read, there is nothing left to stop.
    if (stopped && done < size)
        return false;
    const qint64 length = file.read(buffer.data(), buffer.size());
    if (length < 0) {
        failure = file.errorString();
        return false;
    }
    done += length;
    if (length > 0)
        bytesRead(done, size);
    *piece = QByteArrayView(buffer.constData(), length);
    return true;
}
