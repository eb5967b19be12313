// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "heldbytes.h"
#include "imagesink.h"
#include "planningimage.h"

#include <QDateTime>
#include <QList>
#include <QString>

// A file to put into the image's Rom folder.
struct RomFile
{
    QString name; // "rom.bin"
    QByteArray data;
};

// Puts the ROM files into the FAT partition of an image that passes through on its way to the
// card, without holding the image back: what lies before the partition passes at once; from the
// partition's start on the bytes are held only until the FAT writer's plan has read everything it
// needs (the boot sector, the FAT, the root and Rom directories, usually the first MiBs). The plan
// runs on those bytes alone, its writes are put into them, they pass on, and the writes further
// on (the files' new clusters) are laid over the image as it passes their offsets.
//
// This keeps the card's stream plain data followed by a go-ahead: the helper writes and reads back
// exactly the final image, memory stays bounded (beyond the bound the held bytes go to a file),
// and no second copy of the image is needed on disk. The result is byte for byte what the FAT
// writer makes of the whole image file.
class RomPatcher : public ImageSink
{
public:
    // timeStamp: the time the files are dated. imageSize: the image's length when known, else -1.
    RomPatcher(ImageSink &sink, const QList<RomFile> &romFiles, const QString &spillFolder,
               const QDateTime &timeStamp, qint64 imageSize = -1);
    Q_DISABLE_COPY(RomPatcher)

    bool write(qint64 offset, const char *data, qint64 size) override;
    bool finish() override;
    Failure failure() const override { return failed; }
    // Why the files could not be put in, as a German text; empty when they could, or when the
    // failure lies further on.
    QString error() const { return problem; }

    static constexpr qint64 memoryBound = 32 * 1024 * 1024;

private:
    bool take(const char *data, qint64 size);
    bool hold(const char *data, qint64 size);
    bool tryPlan(bool complete);
    bool applyPlan(const QList<ImagePatch> &patches);
    bool pass(const char *data, qint64 size);
    bool fillGap(qint64 offset);
    bool failWith(Failure failure, const QString &text = QString());

    ImageSink &next;
    const QList<RomFile> files;
    const QDateTime stamp;
    const qint64 imageBytes;
    QByteArray firstSector;
    HeldBytes held;
    bool planned = false;
    qint64 holdFrom = -1;    // the partition's start, once known
    qint64 retryAt = 0;      // the plan waits until the image has arrived this far
    qint64 position = 0;     // bytes taken so far
    qint64 volumeEnd = 0;    // of the planned volume
    QList<ImagePatch> ahead; // planned writes past what has arrived, in order of offset
    Failure failed = Failure::None;
    QString problem;
};
