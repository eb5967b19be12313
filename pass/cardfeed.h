// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "imagesink.h"

#include <QByteArray>
#include <QObject>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>

// The last stage of a pass: takes the image on the unpacking thread and hands it to a card's
// write job on the thread that owns this object, through a bounded queue. The unpacking waits
// while the queue is full, so a slow card slows the pass; stop() wakes it. Several feeds behind
// one splitting sink would serve several cards from one source.
class CardFeed : public QObject, public ImageSink
{
    Q_OBJECT

public:
    // sendPiece hands a piece on (false: the card's run has ended); cardHasRoom tells whether the job takes
    // more now; when it did not, call moveOn() once it does. byteLimit: the card's size, or -1.
    CardFeed(std::function<bool(const QByteArray &)> sendPiece, std::function<bool()> cardHasRoom,
             qint64 byteLimit, QObject *parent = nullptr);
    Q_DISABLE_COPY(CardFeed)

    // On the unpacking thread: blocks while the queue is full; finish() until all is handed on.
    bool write(qint64 offset, const char *data, qint64 size) override;
    bool finish() override;
    Failure failure() const override { return failed; }

    // From any thread: ends the feed; a waiting write or finish returns false.
    void stop();
    // Milliseconds the unpacking has waited for the card so far.
    qint64 waitedMs() const { return waited; }
    qint64 bytesHandedOn() const { return handedOn; }

    static constexpr qint64 capacity = 4 * 1024 * 1024;

public Q_SLOTS:
    // On the owner's thread: hands queued pieces on while the job takes them.
    void moveOn();

private:
    bool takePiece(QByteArray *piece);
    bool failWith(Failure failure);

    const std::function<bool(const QByteArray &)> send;
    const std::function<bool()> hasRoom;
    const qint64 maxBytes;
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<QByteArray> pieces;
    qint64 queued = 0;
    qint64 received = 0; // offset of the next byte expected
    bool moveOnPending = false;
    bool stopped = false;
    std::atomic<Failure> failed{Failure::None};
    std::atomic<qint64> waited{0};
    std::atomic<qint64> handedOn{0};
};
