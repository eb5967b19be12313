// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QDBusUnixFileDescriptor>
#include <QObject>
#include <QString>

class QDBusPendingCallWatcher;

// Keeps the computer from going to sleep while a card is written: asks the login manager on the
// system bus for a blocking "sleep:idle" inhibitor and holds the descriptor it hands out, which
// is the lock; closing it lets go. Where there is no login manager (no system bus, no service),
// nothing is held and nothing else changes. The request does not wait for the answer.
class SleepInhibitor : public QObject
{
    Q_OBJECT

public:
    explicit SleepInhibitor(QObject *parent = nullptr);
    ~SleepInhibitor() override;
    Q_DISABLE_COPY(SleepInhibitor)

    // Asks for the inhibitor, why being the reason the desktop shows; does nothing while one is
    // held or asked for.
    void acquire(const QString &why);
    // Lets go of the inhibitor, or of the request for it.
    void release();
    bool isHeld() const { return lock.isValid(); }

Q_SIGNALS:
    // The login manager has answered a request; held says whether the inhibitor is now held.
    void answered(bool held);

private:
    void onAnswer(QDBusPendingCallWatcher *call);

    QDBusPendingCallWatcher *pending = nullptr;
    QDBusUnixFileDescriptor lock;
};
