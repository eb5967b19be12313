// SPDX-License-Identifier: GPL-3.0-or-later
#include "stopsignals.h"

#include <QCoreApplication>
#include <QPointer>
#include <QSocketNotifier>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

int pipeEnds[2] = {-1, -1};

// Only async-signal-safe work: one byte with the signal's number into the pipe.
void onStopSignal(int signalNumber)
{
    const int savedErrno = errno;
    const char byte = char(signalNumber);
    [[maybe_unused]] const ssize_t written = ::write(pipeEnds[1], &byte, 1);
    errno = savedErrno;
}

void setHandler(void (*handler)(int))
{
    struct sigaction action = {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);
}

} // namespace

StopSignals *StopSignals::instance()
{
    static QPointer<StopSignals> bridge;
    if (!bridge)
        bridge = new StopSignals(QCoreApplication::instance());
    return bridge;
}

StopSignals::StopSignals(QObject *parent) : QObject(parent)
{
    if (::pipe2(pipeEnds, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    notifier = new QSocketNotifier(pipeEnds[0], QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &StopSignals::onReadable);
    setHandler(onStopSignal);
}

StopSignals::~StopSignals()
{
    if (!notifier)
        return;
    setHandler(SIG_DFL);
    delete notifier;
    ::close(pipeEnds[0]);
    ::close(pipeEnds[1]);
    pipeEnds[0] = pipeEnds[1] = -1;
}

void StopSignals::onReadable()
{
    char byte = 0;
    while (::read(pipeEnds[0], &byte, 1) == 1)
        Q_EMIT received(int(byte));
}
