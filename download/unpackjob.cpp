#include "unpackjob.h"

#include "bytesource.h"

UnpackJob::UnpackJob(ByteSource &source, ImageOutput &output, QObject *context,
                     std::function<void(const UnpackResult &)> done)
    : source(source)
{
    thread = std::thread([&source, &output, context, done = std::move(done)] {
        const UnpackResult result = unpackImage(source, output);
        QMetaObject::invokeMethod(
            context, [done, result] { done(result); }, Qt::QueuedConnection);
    });
}

UnpackJob::~UnpackJob()
{
    source.stop();
    thread.join();
}
