// SPDX-License-Identifier: GPL-3.0-or-later
#include "piecequeue.h"

bool PieceQueue::push(const QByteArray &piece)
{
    std::unique_lock lock(mutex);
    // A piece always goes into an empty queue, so one larger than the limit cannot stall.
    changed.wait(lock, [&] { return givenUp || queued == 0 || queued + piece.size() <= limit; });
    if (givenUp)
        return false;
    pieces.push_back(piece);
    queued += piece.size();
    changed.notify_all();
    return true;
}

void PieceQueue::end(bool goAhead, const QString &reason)
{
    const std::lock_guard lock(mutex);
    ended = true;
    endGoAhead = goAhead;
    endReason = reason;
    // An image that must not be used is not written any further.
    if (!goAhead) {
        pieces.clear();
        queued = 0;
    }
    changed.notify_all();
}

void PieceQueue::giveUp()
{
    const std::lock_guard lock(mutex);
    givenUp = true;
    pieces.clear();
    queued = 0;
    changed.notify_all();
}

bool PieceQueue::pop(Item *item, int milliseconds)
{
    std::unique_lock lock(mutex);
    if (!changed.wait_for(lock, std::chrono::milliseconds(milliseconds),
                          [&] { return !pieces.empty() || ended; }))
        return false;
    *item = Item();
    if (pieces.empty()) {
        item->goAhead = endGoAhead;
        item->reason = endReason;
        return true;
    }
    item->piece = pieces.front();
    pieces.pop_front();
    queued -= item->piece.size();
    changed.notify_all();
    return true;
}
