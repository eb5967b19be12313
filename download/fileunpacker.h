// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "unpack.h"

#include <QObject>
#include <QString>
#include <memory>

class FileSource;
class ImageOutput;
class UnpackJob;

// Puts a local image file into imagePath on a thread of its own: a packed image (xz, zstd, gzip,
// bzip2 or a ZIP archive with one file, told by its first bytes) unpacked, anything else copied
// byte for byte. A caller that copies raw images its own way asks detectImageFormat() first.
class FileUnpacker : public QObject
{
    Q_OBJECT

public:
    explicit FileUnpacker(QObject *parent = nullptr);
    // A running unpack is abandoned without finished(); its partial file is removed.
    ~FileUnpacker() override;
    Q_DISABLE_COPY(FileUnpacker)

    // Unpacks sourcePath into imagePath, replacing its content; an image larger than
    // maxImageBytes (when not negative) ends it at once. Emits exactly one finished() per call,
    // already before returning when a file cannot be opened. Call only while idle.
    void start(const QString &sourcePath, const QString &imagePath, qint64 maxImageBytes = -1);
    // Ends the running unpack with "Abgebrochen" and removes its file; once the whole source has
    // been read only the unpacking of a packed image is left to stop. While idle it does nothing.
    void cancel();

Q_SIGNALS:
    // Bytes of the source file read so far and its size.
    void progress(qint64 read, qint64 total);
    // ok, or a German message; on failure the image file has been removed.
    void finished(bool ok, const QString &error);

private:
    void onUnpacked(const UnpackResult &result);
    QString failureText(const UnpackResult &result) const;

    bool cancelled = false;
    std::unique_ptr<FileSource> source;
    std::unique_ptr<ImageOutput> output;
    std::unique_ptr<UnpackJob> job; // declared last: it uses source and output until it is gone
};
