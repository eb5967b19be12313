// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "bytesource.h"

#include <QByteArray>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>

// A bounded queue of pieces from one producing thread to the unpacking thread, so the two work
// side by side while memory stays flat.
class PieceQueue : public ByteSource
{
public:
    // onRoomAgain runs on the unpacking thread when a producer that was refused may go on.
    PieceQueue(qint64 maxQueuedBytes, std::function<void()> onRoomAgain);
    Q_DISABLE_COPY(PieceQueue)

    // Whether the producer may push more; when not, roomAgain follows once it may.
    bool acceptsMore();
    // Takes the piece whether or not the queue is full.
    void push(QByteArray piece);
    // The end of the input: the pieces queued so far are all that come.
    void close();

    bool next(QByteArrayView *piece) override;
    void stop() override;
    bool stopRequested() const override { return stopped; }

private:
    const qint64 capacity;
    const std::function<void()> roomAgain;
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<QByteArray> pieces;
    QByteArray current; // the piece handed out last, kept alive until the next call
    qint64 queuedBytes = 0;
    bool closed = false;
    bool producerWaiting = false;
    std::atomic<bool> stopped{false};
};
