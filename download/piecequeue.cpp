// SPDX-License-Identifier: GPL-3.0-or-later
#include "piecequeue.h"

PieceQueue::PieceQueue(qint64 maxQueuedBytes, std::function<void()> onRoomAgain)
    : capacity(maxQueuedBytes), roomAgain(std::move(onRoomAgain))
{}

bool PieceQueue::acceptsMore()
{
    std::lock_guard<std::mutex> lock(mutex);
    producerWaiting = queuedBytes >= capacity;
    return !producerWaiting;
}

void PieceQueue::push(QByteArray piece)
{
    std::lock_guard<std::mutex> lock(mutex);
    queuedBytes += piece.size();
    pieces.push_back(std::move(piece));
    changed.notify_one();
}

void PieceQueue::close()
{
    std::lock_guard<std::mutex> lock(mutex);
    closed = true;
    changed.notify_one();
}

bool PieceQueue::next(QByteArrayView *piece)
{
    bool wakeProducer = false;
    {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [this] { return !pieces.empty() || closed || stopped; });
        if (stopped && !closed)
            return false;
        current = pieces.empty() ? QByteArray() : std::move(pieces.front());
        if (!pieces.empty())
            pieces.pop_front();
        queuedBytes -= current.size();
        // Half empty before the producer goes on, so it is not woken for every piece.
        wakeProducer = producerWaiting && queuedBytes <= capacity / 2;
        if (wakeProducer)
            producerWaiting = false;
    }
    if (wakeProducer)
        roomAgain();
    *piece = current;
    return true;
}

void PieceQueue::stop()
{
    std::lock_guard<std::mutex> lock(mutex);
    stopped = true;
    changed.notify_one();
}
