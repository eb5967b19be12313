// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArrayView>

// The packed image as it comes in, read piece by piece on the unpacking thread. stop() may be
// called from any thread; it ends the input early, but never once the input is complete, for
// then nothing is left to stop.
class ByteSource
{
public:
    virtual ~ByteSource() = default;

    // The next piece, valid until the following call, and empty at the end of the input.
    // False when the input ended early: stopped, or a read failed.
    virtual bool next(QByteArrayView *piece) = 0;
    virtual void stop() = 0;
    // Whether stop() was called, also after the input was complete.
    virtual bool stopRequested() const = 0;
};
