// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QObject>

class QSocketNotifier;

// Turns SIGTERM and SIGINT into a Qt signal on the event loop (a self-pipe written by the
// handler, read by a notifier), so that a front end can end a running installation in order.
// Until instance() is first called, both signals keep their default action.
class StopSignals : public QObject
{
    Q_OBJECT

public:
    // The one bridge of the process, made on first use and owned by the application object.
    static StopSignals *instance();
    // Restores the default action of both signals.
    ~StopSignals() override;
    Q_DISABLE_COPY(StopSignals)

Q_SIGNALS:
    // SIGTERM or SIGINT arrived; signalNumber tells which.
    void received(int signalNumber);

private:
    explicit StopSignals(QObject *parent);
    void onReadable();

    QSocketNotifier *notifier = nullptr;
};
