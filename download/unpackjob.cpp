// SPDX-License-Identifier: GPL-3.0-or-later
#include "unpackjob.h"

#include "bytesource.h"

UnpackJob::UnpackJob(ByteSource &source, ImageSink &output, QObject *context,
                     std::function<void(const UnpackResult &)> done, Unpacking unpacking)
    : source(source)
{
    thread = std::thread([&source, &output, context, done = std::move(done), unpacking] {
        const UnpackResult result = unpackImage(source, output, unpacking);
        QMetaObject::invokeMethod(
            context, [done, result] { done(result); }, Qt::QueuedConnection);
    });
}

UnpackJob::~UnpackJob()
{
    source.stop();
    thread.join();
}
