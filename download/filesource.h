// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "bytesource.h"

#include <QByteArray>
#include <QFile>
#include <QString>
#include <atomic>
#include <functional>

// A local file read in pieces on the unpacking thread, reporting the bytes read so far.
class FileSource : public ByteSource
{
public:
    // onBytesRead runs on the unpacking thread after every piece with the bytes read and the size.
    explicit FileSource(std::function<void(qint64, qint64)> onBytesRead);
    Q_DISABLE_COPY(FileSource)

    // Opens path; on failure error receives "Die Image-Datei kann nicht gelesen werden: …".
    bool open(const QString &path, QString *error = nullptr);
    // Why the last read failed.
    QString readError() const { return failure; }

    bool next(QByteArrayView *piece) override;
    void stop() override { stopped = true; }
    bool stopRequested() const override { return stopped; }

private:
    QFile file;
    QByteArray buffer;
    qint64 size = 0;
    qint64 done = 0;
    QString failure;
    const std::function<void(qint64, qint64)> bytesRead;
    std::atomic<bool> stopped{false};
};
