// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>

class QSocketNotifier;

// Our end of the write helper's standard input: a queue of whole pieces, written without ever
// blocking as the helper takes them. The channel is a socket pair, so a helper that has gone shows
// as an error on the next write instead of a SIGPIPE that would end the installer.
class StreamPipe : public QObject
{
    Q_OBJECT

public:
    // drained() comes, from the event loop, when the queue falls to lowWaterBytes or below after it
    // was above.
    explicit StreamPipe(qint64 lowWaterBytes, QObject *parent = nullptr);
    ~StreamPipe() override;
    Q_DISABLE_COPY(StreamPipe)

    // Opens a new channel, dropping an old one. *childEnd is for the helper (close-on-exec; the
    // caller closes it once the helper has it). Nothing is written before resume().
    bool open(int *childEnd);
    void resume();
    // Queues one piece; false (and nothing queued) once the channel is closed or finishing.
    bool write(const QByteArray &piece);
    // Drops every queued piece the helper has not started to take, so a piece is never cut.
    void dropUntaken();
    // Closes the channel once the queue is empty; the helper then sees its end.
    void finish();
    // Closes the channel at once, dropping the queue.
    void close();

    bool isOpen() const { return fd >= 0; }
    bool isAccepting() const { return isOpen() && !finishing; }
    qint64 queued() const { return queuedBytes; }

Q_SIGNALS:
    void drained();

private:
    void flush();
    void onWritable();
    void reportDrained();

    const qint64 lowWater;
    int fd = -1;
    QSocketNotifier *notifier = nullptr;
    QList<QByteArray> pieces;
    qint64 frontTaken = 0; // bytes of the first piece already taken
    qint64 queuedBytes = 0;
    bool aboveLowWater = false; // the queue was above lowWater since the last drained()
    bool paused = true;
    bool finishing = false;
};
