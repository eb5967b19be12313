// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "rompatcher.h"
#include "sourcetap.h"
#include "unpack.h"

#include <QObject>
#include <memory>

class UnpackJob;

// One pass of an image from its source to a sink, on a thread of its own: the bytes as sent are
// hashed and counted, unpacked when packed, the ROM files put in, and the image handed to the sink
// (a card's feed). Every stage waits for the next, so the slowest sets the pace and memory stays
// bounded.
class ImagePass : public QObject
{
    Q_OBJECT

public:
    // Source and sink are not owned; the sink must not block any more once the pass is destroyed
    // (stop it first). imageByteLimit: the card's size, for the text when the image is larger.
    ImagePass(ByteSource &source, ImageSink &sink, const QList<RomFile> &roms, const QString &workFolder,
              const QDateTime &stamp, qint64 imageBytes, qint64 imageByteLimit, QObject *parent = nullptr);
    // Stops the source and waits for the thread; no signal follows.
    ~ImagePass() override;
    Q_DISABLE_COPY(ImagePass)

    void start();
    // Stops the source and waits for the thread; no signal follows. The sink must be stopped first.
    void stop();
    qint64 bytesTaken() const { return tap.bytesTaken(); }
    qint64 sourceWaitedMs() const { return tap.waitedMs(); }
    // After finished(): whether the bytes as sent are at fault (a damaged packed stream, not
    // exactly one file in a ZIP archive), so that they can never give an image.
    bool sourceDamaged() const { return damaged; }

Q_SIGNALS:
    // complete: every byte reached the sink. Else imageError says what is wrong with the image
    // itself (damaged, not exactly one file in a ZIP archive, too large, no room for the ROM
    // files), or is empty when the source or the sink ended the pass. The checksum is of the bytes
    // as sent that were taken.
    void finished(bool complete, const QString &imageError, const QString &sha256Hex);

private:
    void onUnpacked(const UnpackResult &result);

    SourceTap tap;
    RomPatcher patcher;
    const qint64 maxImageBytes;
    bool damaged = false;
    std::unique_ptr<UnpackJob> job;
};
