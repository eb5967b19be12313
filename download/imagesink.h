// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QtGlobal>

// Where unpacked image bytes go, in order of their offsets: a file, or the next stage of a pass.
// A stage may block in write() until the next one takes more; a stop of the pass wakes it, and
// the write then fails.
class ImageSink
{
public:
    enum class Failure
    {
        None,
        WriteFailed, // the bytes were not taken (disk full, I/O error, the pass stopped)
        TooLarge,    // a write would pass the limit; nothing beyond it is written
    };

    virtual ~ImageSink() = default;

    // Puts size bytes at offset; false once anything has failed.
    virtual bool write(qint64 offset, const char *data, qint64 size) = 0;
    // The image is complete: the end of the last write is its end.
    virtual bool finish() = 0;
    virtual Failure failure() const = 0;
};
