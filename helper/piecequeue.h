// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QString>
#include <condition_variable>
#include <deque>
#include <mutex>

// The bytes on their way from the reader of the image to one card's writer thread: pieces shared
// with the other cards' queues (QByteArray's reference count is thread-safe), bounded by bytes, and
// ended by the reader (go-ahead or a reason) or given up by the writer, which wakes a waiting reader.
class PieceQueue
{
public:
    explicit PieceQueue(qint64 maxBytes) : limit(maxBytes) {}
    Q_DISABLE_COPY(PieceQueue)

    // Waits while the queue is full; false (nothing queued) once the writer has given up.
    bool push(const QByteArray &piece);
    // No more pieces: goAhead tells whether the image may be used, reason why not.
    void end(bool goAhead, const QString &reason);
    // The writer takes no more: the reader never waits for it again.
    void giveUp();

    struct Item
    {
        QByteArray piece; // empty at the end
        bool goAhead = false;
        QString reason;
    };
    // Waits up to the time for the next piece or the end: false if neither came.
    bool pop(Item *item, int milliseconds);

private:
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<QByteArray> pieces;
    qint64 limit;
    qint64 queued = 0;
    bool ended = false;
    bool givenUp = false;
    bool endGoAhead = false;
    QString endReason;
};
