// SPDX-License-Identifier: GPL-3.0-or-later
#include "imagepass.h"

#include "unpackjob.h"

ImagePass::ImagePass(ByteSource &source, ImageSink &sink, const QList<RomFile> &roms,
                     const QString &workFolder, const QDateTime &stamp, qint64 imageBytes,
                     qint64 imageByteLimit, QObject *parent)
    : QObject(parent), tap(source), patcher(sink, roms, workFolder, stamp, imageBytes),
      maxImageBytes(imageByteLimit)
{}

ImagePass::~ImagePass() = default;

void ImagePass::start()
{
    job = std::make_unique<UnpackJob>(tap, patcher, this,
                                      [this](const UnpackResult &result) { onUnpacked(result); });
}

void ImagePass::stop()
{
    disconnect(this, &ImagePass::finished, nullptr, nullptr);
    job.reset();
}

void ImagePass::onUnpacked(const UnpackResult &result)
{
    job.reset();
    using Status = UnpackResult::Status;
    damaged = result.status == Status::Corrupt || result.status == Status::NoFileInZip ||
              result.status == Status::SeveralFilesInZip;
    QString imageError;
    if (result.status == UnpackResult::Status::WriteFailed)
        imageError = patcher.error();
    else if (!result.ok() && result.status != UnpackResult::Status::InputEnded)
        imageError = unpackFailureText(result, maxImageBytes);
    Q_EMIT finished(result.ok(), imageError, tap.sha256Hex());
}
