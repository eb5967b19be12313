// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QDBusConnection>
#include <QDBusUnixFileDescriptor>
#include <QObject>
#include <QStringList>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

// Stands in for the login manager's inhibitors: each Inhibit call hands out the write end of a
// pipe, as the real one hands out its lock, and keeps the read end, which shows whether the
// holder has let go (closed every copy).
class FakeLogin1 : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.login1.Manager")

public:
    QStringList calls; // what, who, why and mode of each call

    ~FakeLogin1() override
    {
        for (int end : readEnds)
            ::close(end);
    }

    // How many of the inhibitors handed out are still held.
    int held() const
    {
        int count = 0;
        for (int end : readEnds) {
            pollfd state{end, POLLIN, 0};
            count += ::poll(&state, 1, 0) == 0;
        }
        return count;
    }

    // Offers this object on the bus at address under connection name; false where it cannot.
    bool serve(const QString &address, const QString &name)
    {
        QDBusConnection bus = QDBusConnection::connectToBus(address, name);
        return bus.isConnected() &&
               bus.registerObject("/org/freedesktop/login1", this, QDBusConnection::ExportAllSlots) &&
               bus.registerService("org.freedesktop.login1");
    }

public Q_SLOTS:
    QDBusUnixFileDescriptor Inhibit(const QString &what, const QString &who, const QString &why,
                                    const QString &mode)
    {
        calls << what << who << why << mode;
        int ends[2];
        if (::pipe2(ends, O_CLOEXEC) != 0)
            return QDBusUnixFileDescriptor();
        readEnds << ends[0];
        const QDBusUnixFileDescriptor handedOut(ends[1]); // a copy of its own
        ::close(ends[1]);
        return handedOut;
    }

private:
    QList<int> readEnds;
};
