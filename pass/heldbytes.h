// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QString>
#include <QTemporaryFile>
#include <memory>

class ImageSink;

// A stretch of the image held back while the ROM write is planned: in memory up to a bound, the
// rest in a file in the working folder, removed with this object.
class HeldBytes
{
public:
    HeldBytes(qint64 memoryLimit, const QString &spillPath);
    Q_DISABLE_COPY(HeldBytes)

    // Drops what is held and holds from offset on.
    void restart(qint64 offset);
    qint64 begin() const { return first; }
    qint64 end() const { return first + memory.size() + spilled; }

    // Adds bytes at end(); false when the spill file fails.
    bool append(const char *data, qint64 size);
    // Copies [offset, offset + size), which must lie inside what is held, to target.
    bool read(qint64 offset, char *target, qint64 size);
    // Replaces bytes inside what is held.
    bool overwrite(qint64 offset, const QByteArray &bytes);
    // Hands everything held before offset to next, in order, and holds the rest from offset on.
    bool releaseBefore(qint64 offset, ImageSink &next);

private:
    bool spill(const char *data, qint64 size);
    bool copyOut(qint64 offset, qint64 size, ImageSink &next);

    const qint64 memoryBound;
    const QString spillFolder;
    qint64 first = 0;
    QByteArray memory;                    // from first on
    std::unique_ptr<QTemporaryFile> file; // after memory
    qint64 spilled = 0;
};
