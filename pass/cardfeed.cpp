// SPDX-License-Identifier: GPL-3.0-or-later
#include "cardfeed.h"

#include <QElapsedTimer>

CardFeed::CardFeed(std::function<bool(const QByteArray &)> sendPiece, std::function<bool()> cardHasRoom,
                   qint64 byteLimit, QObject *parent)
    : QObject(parent), send(std::move(sendPiece)), hasRoom(std::move(cardHasRoom)), maxBytes(byteLimit)
{}

bool CardFeed::write(qint64 offset, const char *data, qint64 size)
{
    if (maxBytes >= 0 && offset + size > maxBytes)
        return failWith(Failure::TooLarge);
    QElapsedTimer clock;
    clock.start();
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait(lock, [this] { return stopped || queued < capacity; });
    waited += clock.elapsed();
    if (stopped || offset != received)
        return failWith(Failure::WriteFailed);
    pieces.emplace_back(data, size);
    queued += size;
    received += size;
    if (!moveOnPending) {
        moveOnPending = true;
        QMetaObject::invokeMethod(this, &CardFeed::moveOn, Qt::QueuedConnection);
    }
    return true;
}

bool CardFeed::finish()
{
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait(lock, [this] { return stopped || queued == 0; });
    return !stopped || failWith(Failure::WriteFailed);
}

void CardFeed::stop()
{
    std::lock_guard<std::mutex> lock(mutex);
    stopped = true;
    changed.notify_all();
}

void CardFeed::moveOn()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        moveOnPending = false;
    }
    QByteArray piece;
    while (hasRoom() && takePiece(&piece)) {
        if (!send(piece))
            return stop();
        handedOn += piece.size();
    }
}

bool CardFeed::takePiece(QByteArray *piece)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (pieces.empty() || stopped)
        return false;
    *piece = std::move(pieces.front());
    pieces.pop_front();
    queued -= piece->size();
    changed.notify_all();
    return true;
}

bool CardFeed::failWith(Failure failure)
{
    failed = failure;
    return false;
}
