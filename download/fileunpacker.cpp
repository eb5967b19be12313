// SPDX-License-Identifier: GPL-3.0-or-later
#include "fileunpacker.h"

#include "filesource.h"
#include "imageoutput.h"
#include "unpackjob.h"

FileUnpacker::FileUnpacker(QObject *parent) : QObject(parent)
{}

FileUnpacker::~FileUnpacker()
{
    job.reset();
    if (output)
        output->discard();
}

void FileUnpacker::start(const QString &sourcePath, const QString &imagePath, qint64 maxImageBytes)
{
    cancelled = false;
    source = std::make_unique<FileSource>([this](qint64 read, qint64 total) {
        QMetaObject::invokeMethod(
            this, [this, read, total] { Q_EMIT progress(read, total); }, Qt::QueuedConnection);
    });
    output = std::make_unique<ImageOutput>(maxImageBytes);
    QString error;
    if (!source->open(sourcePath, &error) || !output->open(imagePath, &error)) {
        source.reset();
        output.reset();
        Q_EMIT finished(false, error);
        return;
    }
    job = std::make_unique<UnpackJob>(*source, *output, this,
                                      [this](const UnpackResult &result) { onUnpacked(result); });
}

void FileUnpacker::cancel()
{
    cancelled = true;
    if (source)
        source->stop();
}

void FileUnpacker::onUnpacked(const UnpackResult &result)
{
    job.reset();
    const QString error = failureText(result);
    source.reset();
    if (error.isEmpty()) {
        output.reset();
        Q_EMIT finished(true, QString());
        return;
    }
    output->discard();
    output.reset();
    Q_EMIT finished(false, error);
}

// A complete image counts, even when a cancel came too late to stop anything.
QString FileUnpacker::failureText(const UnpackResult &result) const
{
    switch (result.status) {
    case UnpackResult::Status::Done:
        return QString();
    case UnpackResult::Status::InputEnded:
        if (cancelled)
            return QStringLiteral("Abgebrochen");
        return QStringLiteral("Lesen der Image-Datei fehlgeschlagen: %1").arg(source->readError());
    case UnpackResult::Status::WriteFailed:
        return QStringLiteral("Schreiben des Images fehlgeschlagen (Platz im Arbeitsordner?)");
    default:
        return unpackFailureText(result, output->maxBytes());
    }
}
