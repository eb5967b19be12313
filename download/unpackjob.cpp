// SPDX-License-Identifier: GPL-3.0-or-later
#include "unpackjob.h"

#include "bytesource.h"

UnpackJob::UnpackJob(ByteSource &input, ImageSink &output, QObject *context,
                     std::function<void(const UnpackResult &)> done, Unpacking unpacking)
    : source(input)
{
    thread = std::thread([&input, &output, context, done = std::move(done), unpacking] {
        const UnpackResult result = unpackImage(input, output, unpacking);
        QMetaObject::invokeMethod(
            context, [done, result] { done(result); }, Qt::QueuedConnection);
    });
}

UnpackJob::~UnpackJob()
{
    source.stop();
    thread.join();
}
