// SPDX-License-Identifier: GPL-3.0-or-later
#include "streampipe.h"

#include <QSocketNotifier>
#include <cerrno>
#include <sys/socket.h>
#include <unistd.h>

StreamPipe::StreamPipe(qint64 lowWaterBytes, QObject *parent) : QObject(parent), lowWater(lowWaterBytes)
{}

StreamPipe::~StreamPipe()
{
    close();
}

bool StreamPipe::open(int *childEnd)
{
    close();
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0)
        return false;
    // The helper only reads; nothing it might write comes back to us.
    ::shutdown(ends[0], SHUT_RD);
    fd = ends[0];
    *childEnd = ends[1];
    notifier = new QSocketNotifier(fd, QSocketNotifier::Write, this);
    notifier->setEnabled(false);
    connect(notifier, &QSocketNotifier::activated, this, &StreamPipe::onWritable);
    paused = true;
    finishing = false;
    return true;
}

void StreamPipe::resume()
{
    paused = false;
    flush();
}

bool StreamPipe::write(const QByteArray &piece)
{
    if (!isAccepting())
        return false;
    if (piece.isEmpty())
        return true;
    pieces.append(piece);
    queuedBytes += piece.size();
    aboveLowWater = aboveLowWater || queuedBytes > lowWater;
    flush();
    // Never from inside write(): a producer that writes again on drained() would run twice at once.
    if (aboveLowWater && queuedBytes <= lowWater)
        QMetaObject::invokeMethod(this, &StreamPipe::reportDrained, Qt::QueuedConnection);
    return true;
}

void StreamPipe::reportDrained()
{
    if (!aboveLowWater || queuedBytes > lowWater)
        return;
    aboveLowWater = false;
    Q_EMIT drained();
}

void StreamPipe::dropUntaken()
{
    const qsizetype keep = frontTaken > 0 ? 1 : 0;
    while (pieces.size() > keep) {
        queuedBytes -= pieces.constLast().size();
        pieces.removeLast();
    }
}

void StreamPipe::finish()
{
    if (!isAccepting())
        return;
    finishing = true;
    flush();
}

// The notifier may be the sender of the running slot: it goes later, and is switched off now.
void StreamPipe::close()
{
    if (notifier) {
        notifier->setEnabled(false);
        notifier->deleteLater();
        notifier = nullptr;
    }
    if (fd >= 0)
        ::close(fd);
    fd = -1;
    pieces.clear();
    frontTaken = 0;
    queuedBytes = 0;
    aboveLowWater = false;
}

// Writes until the queue is empty or the helper's side is full; then waits for it to take more.
void StreamPipe::flush()
{
    if (!isOpen() || paused)
        return;
    while (!pieces.isEmpty()) {
        const QByteArray &front = pieces.constFirst();
        const ssize_t sent = ::send(fd, front.constData() + frontTaken, size_t(front.size() - frontTaken),
                                    MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        if (sent < 0) {
            close(); // the helper has gone; its end arrives through its process
            return;
        }
        frontTaken += sent;
        queuedBytes -= sent;
        if (frontTaken == front.size()) {
            pieces.removeFirst();
            frontTaken = 0;
        }
    }
    notifier->setEnabled(!pieces.isEmpty());
    if (pieces.isEmpty() && finishing)
        close();
}

void StreamPipe::onWritable()
{
    flush();
    reportDrained();
}
