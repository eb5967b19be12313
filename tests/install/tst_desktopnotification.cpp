#include "desktopnotification.h"

#include <QDBusConnection>
#include <QProcess>
#include <QStandardPaths>
#include <QTest>

namespace {

// Stands in for the desktop's notification service and keeps what it was asked to show.
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

} // namespace

// Against a private session bus: first without a notification service, then with one.
class TestDesktopNotification : public QObject
{
    Q_OBJECT

private:
    QProcess bus;
    QString address;

private Q_SLOTS:
    void initTestCase()
    {
        const QString daemon = QStandardPaths::findExecutable(QStringLiteral("dbus-daemon"));
        if (daemon.isEmpty())
            QSKIP("dbus-daemon fehlt (Paket dbus)");
        bus.start(daemon, {"--session", "--nofork", "--print-address"});
        QVERIFY(bus.waitForReadyRead(10000));
        address = QString::fromLocal8Bit(bus.readLine()).trimmed();
        QVERIFY(!address.isEmpty());
        qputenv("DBUS_SESSION_BUS_ADDRESS", address.toLocal8Bit());
    }

    void cleanupTestCase()
    {
        bus.terminate();
        bus.waitForFinished();
    }

    void withoutServiceNothingIsShown() { QVERIFY(!notifyDesktop("Fertig", "Die Karte ist bereit.")); }

    void serviceShowsTheNotification()
    {
        QDBusConnection fakeBus = QDBusConnection::connectToBus(address, QStringLiteral("fake"));
        QVERIFY(fakeBus.isConnected());
        FakeNotifications fake;
        QVERIFY(
            fakeBus.registerObject("/org/freedesktop/Notifications", &fake, QDBusConnection::ExportAllSlots));
        QVERIFY(fakeBus.registerService("org.freedesktop.Notifications"));

        QVERIFY(notifyDesktop("Fertig", "Die Karte ist bereit."));
        QTRY_COMPARE(fake.shown, QStringList({"Tobra Installer", "Fertig", "Die Karte ist bereit."}));
        QDBusConnection::disconnectFromBus(QStringLiteral("fake"));
    }
};

QTEST_GUILESS_MAIN(TestDesktopNotification)
#include "tst_desktopnotification.moc"
