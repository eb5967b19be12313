// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "unpack.h"

#include <QObject>
#include <functional>
#include <thread>

// Runs unpackImage() on a thread of its own, so unpacking and writing use a core of their own.
class UnpackJob
{
public:
    // Starts at once. done runs on context's thread with the result, also when the job has been
    // destroyed since, but not when context has. Source, output and context must outlive the job.
    UnpackJob(ByteSource &input, ImageSink &output, QObject *context,
              std::function<void(const UnpackResult &)> done, Unpacking unpacking = Unpacking::ByFormat);
    // Stops the source and waits for the thread.
    ~UnpackJob();
    Q_DISABLE_COPY(UnpackJob)

private:
    ByteSource &source;
    std::thread thread;
};
