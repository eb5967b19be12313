// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "imagesink.h"

#include <QFile>
#include <QString>

// The image file being written, at most a given number of bytes. Runs of zeros become holes,
// which read back as zeros but take no disk space or write time. Opened on one thread, it may be
// written on another, one thread at a time.
class ImageOutput : public ImageSink
{
public:
    // A negative limit means none.
    explicit ImageOutput(qint64 maxBytes) : limit(maxBytes) {}
    Q_DISABLE_COPY(ImageOutput)

    // Creates or truncates path; on failure error receives "Datei kann nicht angelegt werden: …".
    bool open(const QString &path, QString *error = nullptr);
    // Opens or creates path keeping its bytes: every offset then counts from its end, and the
    // limit includes them.
    bool openToContinue(const QString &path, QString *error = nullptr);
    // The bytes the file held before the first write, which the writes follow.
    qint64 continuesFrom() const { return base; }
    // Empties the file, so that the writes start at its beginning after all. Only before the first write.
    bool startAfresh();
    bool write(qint64 offset, const char *data, qint64 size) override;
    // Sets the file's length to the end of the last write and closes it.
    bool finish() override;
    // Closes the file with every byte written so far, also after a failure, so that a later run
    // can continue it.
    void keep();
    // Closes and removes the file.
    void discard();

    Failure failure() const override { return failed; }
    qint64 maxBytes() const { return limit; }

private:
    bool openFile(const QString &path, QIODevice::OpenMode mode, QString *error);
    bool fail(Failure failure);

    QFile file;
    qint64 limit;
    qint64 base = 0; // the bytes kept from before
    qint64 end = 0;  // behind the last byte written, from base
    Failure failed = Failure::None;
};
