// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QProcess>
#include <QStandardPaths>
#include <QStringList>
#include <QVariantMap>

// Stands in for the desktop's notification service and keeps what it was asked to show:
// application, summary and body of each notification.
class FakeNotifications : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")

public:
    QStringList shown;

public Q_SLOTS:
    uint Notify(const QString &application, uint, const QString &, const QString &summary,
                const QString &body, const QStringList &, const QVariantMap &, int)
    {
        shown << application << summary << body;
        return 1;
    }
};

// A session bus of the test's own, which this process then uses; started before the first use
// of the session bus. Given "DBUS_SYSTEM_BUS_ADDRESS", it stands in for the system bus instead.
// error() says why there is none.
class PrivateSessionBus
{
public:
    explicit PrivateSessionBus(const char *addressVariable = "DBUS_SESSION_BUS_ADDRESS")
    {
        const QString daemon = QStandardPaths::findExecutable(QStringLiteral("dbus-daemon"));
        if (daemon.isEmpty()) {
            failure = QStringLiteral("dbus-daemon fehlt (Paket dbus)");
            return;
        }
        process.start(daemon, {"--session", "--nofork", "--print-address"});
        if (process.waitForReadyRead(10000))
            busAddress = QString::fromLocal8Bit(process.readLine()).trimmed();
        if (busAddress.isEmpty())
            failure = QStringLiteral("dbus-daemon gibt keine Adresse an");
        else
            qputenv(addressVariable, busAddress.toLocal8Bit());
    }
    ~PrivateSessionBus()
    {
        process.terminate();
        process.waitForFinished();
    }
    Q_DISABLE_COPY(PrivateSessionBus)

    QString error() const { return failure; }
    QString address() const { return busAddress; }

    // Offers fake as the notification service under connection name; false where it cannot.
    bool serveNotifications(FakeNotifications &fake, const QString &name) const
    {
        QDBusConnection bus = QDBusConnection::connectToBus(busAddress, name);
        return bus.isConnected() &&
               bus.registerObject("/org/freedesktop/Notifications", &fake, QDBusConnection::ExportAllSlots) &&
               bus.registerService("org.freedesktop.Notifications");
    }

private:
    QProcess process;
    QString busAddress;
    QString failure;
};
